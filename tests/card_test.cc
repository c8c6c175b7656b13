#include "card/card.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using card::Fault;

struct RealCase {
  const char* text;
  int decimals;
  float value;
  Fault fault = Fault::none;
};

TEST(DecodeReal, FollowsTheFieldRules) {
  constexpr Fault bad = Fault::not_a_number, range = Fault::out_of_range;
  const RealCase cases[] = {
      // implied decimals, and a decimal point that overrides them
      {" 305", 2, 3.05f}, {" 95 ", 2, 0.95f}, {"12  ", 2, 0.12f}, {" 9 5", 2, 0.95f},
      {"30.9", 2, 30.9f}, {"5.", 1, 5.0f}, {"23", 1, 2.3f}, {".5", 1, 0.5f}, {"1234", 2, 12.34f},
      {"    ", 2, 0.0f}, {"  00", 2, 0.0f}, {"", 2, 0.0f}, {"0000", 0, 0.0f},
      // signs
      {"-305", 2, -3.05f}, {"+305", 2, 3.05f}, {"- 5 ", 2, -0.05f}, {"-9", 1, -0.9f},
      // exponents: E or D and a signed integer, or a sign and an integer
      {"1E2 ", 2, 1.0f}, {"1D2", 2, 1.0f}, {"1E+2", 2, 1.0f}, {"1E-2", 2, 1e-4f},
      {"1+2", 2, 1.0f}, {"1-2", 2, 1e-4f}, {"1.E1", 2, 10.0f}, {".5E1", 2, 5.0f},
      {"3E38", 0, 3e38f}, {"1-45", 0, 1e-45f}, {"1 E 2", 2, 1.0f},
      // refused forms
      {"+", 2, 0, bad}, {"-  ", 2, 0, bad}, {".", 2, 0, bad}, {"-.", 1, 0, bad},
      {"E2", 2, 0, bad}, {".E2", 2, 0, bad}, {"+E2", 2, 0, bad}, {"1E", 2, 0, bad},
      {"1E+", 2, 0, bad}, {"1D-", 2, 0, bad}, {"1+", 2, 0, bad}, {"1e2", 2, 0, bad},
      {"1d2", 2, 0, bad}, {"1.2.", 2, 0, bad}, {"12a4", 2, 0, bad}, {"1E2E", 2, 0, bad},
      {"--1", 2, 0, bad}, {"1E1.", 2, 0, bad}, {"N", 1, 0, bad}, {"\t1", 1, 0, bad},
      {"1E2+", 2, 0, bad}, {".-5", 1, 0, bad},
      // beyond single precision, either way
      {"9E99", 2, 0, range}, {"4E38", 0, 0, range}, {"1-99", 2, 0, range}, {"1-47", 0, 0, range},
  };
  for (const RealCase& c : cases) {
    SCOPED_TRACE(std::string("[") + c.text + "]");
    card::RealField f = card::decode_real(c.text, c.decimals);
    EXPECT_EQ(f.fault, c.fault);
    if (c.fault == Fault::none) {
      EXPECT_EQ(f.value, c.value);
    }
  }
  EXPECT_EQ(card::decode_real(std::string("1\0", 2), 1).fault, bad);
}

TEST(DecodeReal, BlanksAnywhereAreIgnored) {
  for (const std::string digits : {"305", "3.5", "-35", "1E2", "3-1"}) {
    const card::RealField plain = card::decode_real(digits, 2);
    ASSERT_EQ(plain.fault, Fault::none) << digits;  // so that two refusals cannot agree
    for (std::size_t at = 0; at <= digits.size(); ++at) {
      const std::string text = digits.substr(0, at) + " " + digits.substr(at);
      const card::RealField f = card::decode_real(text, 2);
      EXPECT_EQ(f.fault, Fault::none) << text;
      EXPECT_EQ(f.value, plain.value) << text;
    }
  }
}

// Digits and an exponent, around where the digits and the power of ten stop
// being exact in single precision, read as from_chars reads them (correctly
// rounded), to the bit.
TEST(DecodeReal, ReadsAsCorrectlyRoundedToTheBit) {
  std::mt19937 rng(7);
  std::vector<long> mantissas = {0, 1, 3, 7, 9999999, 16777215, 16777216, 16777217, 33554431, 99999999, 123456789};
  for (int i = 0; i < 300; ++i) mantissas.push_back(static_cast<long>(rng() % 100000000));
  for (long m : mantissas)
    for (int e = -14; e <= 14; ++e)
      for (int decimals = 0; decimals <= 3; ++decimals)
        for (const char* sign : {"", "-"}) {
          const std::string digits = sign + std::to_string(m);
          // At 10^0, half the time with no exponent at all: the form cards hold.
          std::string text = digits;
          if (e != 0 || decimals % 2 == 0) text.append("E").append(std::to_string(e));
          const std::string exact = digits + "e" + std::to_string(e - decimals);
          float want = 0;
          std::from_chars(exact.data(), exact.data() + exact.size(), want);
          const card::RealField f = card::decode_real(text, decimals);
          ASSERT_EQ(f.fault, Fault::none) << text;
          ASSERT_EQ(std::bit_cast<std::uint32_t>(f.value), std::bit_cast<std::uint32_t>(want)) << text << " " << decimals;
        }
}

TEST(DecodeInt, FollowsTheFieldRules) {
  const std::tuple<const char*, int, Fault> cases[] = {
      {" 5", 5, Fault::none},   {"5 ", 5, Fault::none},  {"-3", -3, Fault::none},
      {"+7", 7, Fault::none},   {"  ", 0, Fault::none},  {"120", 120, Fault::none},
      {"- 3", -3, Fault::none}, {"-", 0, Fault::not_a_number}, {"1a", 0, Fault::not_a_number},
      {"1.", 0, Fault::not_a_number}, {"1E1", 0, Fault::not_a_number}, {"+-1", 0, Fault::not_a_number},
      {"2147483647", 2147483647, Fault::none}, {"-2147483648", -2147483647 - 1, Fault::none},
      {"2147483648", 0, Fault::out_of_range}, {"5-", 0, Fault::not_a_number},
  };
  for (const auto& [text, value, fault] : cases) {
    card::IntField f = card::decode_int(text);
    EXPECT_EQ(f.fault, fault) << text;
    EXPECT_EQ(f.value, value) << text;
  }
}

// Every two-byte magnitude field: those that decode give their value in
// tenths, correctly rounded; every other one is refused.
TEST(DecodeReal, EveryTwoColumnMagnitudeField) {
  int decoded = 0;
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const char text[2] = {static_cast<char>(a), static_cast<char>(b)};
      std::string s;
      for (char c : text)
        if (c != ' ') s += c;
      auto digit = [](char c) { return c >= '0' && c <= '9'; };
      int tenths = 0;
      bool ok = true;
      if (s.empty()) tenths = 0;
      else if (s.size() == 1 && digit(s[0])) tenths = s[0] - '0';
      else if (s.size() == 2 && digit(s[0]) && digit(s[1])) tenths = (s[0] - '0') * 10 + s[1] - '0';
      else if (s.size() == 2 && (s[0] == '-' || s[0] == '+') && digit(s[1]))
        tenths = (s[0] == '-' ? -1 : 1) * (s[1] - '0');
      else if (s.size() == 2 && digit(s[0]) && s[1] == '.') tenths = (s[0] - '0') * 10;
      else if (s.size() == 2 && s[0] == '.' && digit(s[1])) tenths = s[1] - '0';
      else ok = false;
      card::RealField f = card::decode_real({text, 2}, 1);
      ASSERT_EQ(f.fault == Fault::none, ok) << a << " " << b;
      if (ok) {
        ASSERT_EQ(f.value, static_cast<float>(tenths) / 10.0f) << a << " " << b;
        ++decoded;
      }
    }
  }
  EXPECT_EQ(decoded, 1 + 10 + 10 + 100 + 20 + 10 + 10 - 1 + 1);  // blanks in either place counted once
}

card::Card make_card(const std::string& text) {
  card::Card c;
  c.fill(' ');
  for (std::size_t i = 0; i < text.size() && i < c.size(); ++i) c[i] = text[i];
  return c;
}

struct CardCase {
  const char* name;
  const char* text;
  card::Values want;
};

TEST(Card, DecodesAndDerivesTheFourValues) {
  //                 1         2         3
  //        123456789012345678901234567890123456
  const CardCase cases[] = {
      {"midnight", "      0000  0036 3000120 3000     23", {0.0f, 36.5f, 120.5f, 2.3f}},
      {"blank fields read zero", "", {0.0f, 0.0f, 0.0f, 0.0f}},
      {"short line: missing columns blank", "      0130", {5400.0f, 0.0f, 0.0f, 0.0f}},
      {"minutes keep their sign apart from the degrees", "      2359 050-3 3000-12 3000     -9",
       {86340.5f, -2.5f, -11.5f, -0.9f}},
      {"hemisphere marks and unread columns ignored", "XXXXXX0000  0036N3000120W3000XXXXX5.",
       {0.0f, 36.5f, 120.5f, 5.0f}},
      {"hours above 23 used as they stand", "      99999999 0 0000  0 0000     99",
       {99.0f * 3600 + 99 * 60 + 99.99f, 0.0f, 0.0f, 9.9f}},
      // Every step rounds to single precision: the seconds before they are
      // added to the hours and minutes combined, the minutes / 60 before the
      // degrees are. Rounding each sum only once would give 68.0199966,
      // 1.12583339 and 1.13066661; adding the hours last, 4140.03027.
      {"single precision at every step", "      0001 802 1N0755  1E0784     23",
       {68.0200043f, 1.12583327f, 1.13066673f, 2.3f}},
      {"single precision at every step, again", "      0001 848 1S0795  1W0775     23",
       {68.4799957f, 1.13249993f, 1.1291666f, 2.3f}},
      {"hours and minutes combined before the seconds", "      0109   3", {4140.02979f, 0.0f, 0.0f, 0.0f}},
      {"1/60 of the minutes formed before the degrees are added", "      1201070536 3000120 1530",
       {43267.05f, 36.5f, 120.255f, 0.0f}},
  };
  for (const CardCase& c : cases) {
    SCOPED_TRACE(c.name);
    card::Decoded d = card::decode(make_card(c.text));
    ASSERT_FALSE(d.bad);
    card::Values v = card::derive(d.fields);
    EXPECT_EQ(v.time, c.want.time);
    EXPECT_EQ(v.xlat, c.want.xlat);
    EXPECT_EQ(v.xlon, c.want.xlon);
    EXPECT_EQ(v.xmag, c.want.xmag);
  }
}

TEST(Card, NamesTheFirstBadField) {
  const std::tuple<const char*, int, const char*> cases[] = {
      {"      1a00", 7, "1a"},
      {"      1a00 12a4", 7, "1a"},  // two bad fields: the first is named
      {"      0000 12a4", 11, " 12a"},
      {"      000000001X", 15, "1X"},
      {"      0000000000 0000 1A", 22, " 1A"},
      {"      0000000000 0000  0 00X0", 26, "00X0"},
      {"      0000000000 0000  0 0000     M4", 35, "M4"},
      {"      0000000000 0000  0 0000     1E", 35, "1E"},
  };
  for (const auto& [text, first, field] : cases) {
    card::Decoded d = card::decode(make_card(text));
    ASSERT_TRUE(d.bad) << text;
    EXPECT_EQ(d.bad->column->first, first);
    EXPECT_EQ(d.bad->text(), field);
    EXPECT_EQ(d.bad->fault, Fault::not_a_number);
  }
}

// Random cards: each field is what its own rule gives for its columns, and
// a card that does not decode names its first field that does not.
TEST(Card, DecodesEachFieldFromItsOwnColumns) {
  std::mt19937 rng(12345);
  const std::string alphabet = "       0123456789+-.EDx";
  for (int i = 0; i < 20000; ++i) {
    card::Card c;
    for (char& ch : c) ch = alphabet[rng() % alphabet.size()];
    const card::Decoded d = card::decode(c);
    for (const card::Column& col : card::kLayout) {
      const std::string_view text(c.data() + col.first - 1, static_cast<std::size_t>(col.width));
      const Fault fault = col.integer ? card::decode_int(text).fault : card::decode_real(text, col.decimals).fault;
      if (fault != Fault::none) {
        ASSERT_TRUE(d.bad);
        ASSERT_EQ(d.bad->column, &col) << std::string(c.data(), 36);
        ASSERT_EQ(d.bad->fault, fault);
        break;
      }
      if (col.integer) {
        ASSERT_EQ(d.fields.*col.integer, card::decode_int(text).value);
      } else {
        ASSERT_EQ(d.fields.*col.real, card::decode_real(text, col.decimals).value);
      }
    }
  }
}

}  // namespace
