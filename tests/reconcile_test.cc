#include "reconcile/reconcile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

card::Values at(float time, float xlat, float xlon) { return {time, xlat, xlon, 0.0f}; }

struct MatchCase {
  const char* name;
  card::Values k, s;
  bool same;
};

TEST(SameEvent, BoundsMatchAndBeyondThemRejects) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float deg18 = 18.0f / 60.0f;  // 18.00 minutes, as a card gives 0.3 degrees
  const MatchCase cases[] = {
      {"equal", at(100, 36.5f, 120.5f), at(100, 36.5f, 120.5f), true},
      {"30 s later, on the bound", at(100, 0, 0), at(70, 0, 0), true},
      {"30 s earlier, on the bound", at(70, 0, 0), at(100, 0, 0), true},
      {"30.01 s later", at(100.01f, 0, 0), at(70, 0, 0), false},
      {"30.01 s earlier", at(70, 0, 0), at(100.01f, 0, 0), false},
      {"across midnight is almost a day apart", at(86390, 0, 0), at(10, 0, 0), false},
      {"latitude 18.00 minutes north", at(0, 36 + deg18, 0), at(0, 36, 0), true},
      {"latitude 18.00 minutes south", at(0, 36, 0), at(0, 36 + deg18, 0), true},
      {"latitude 18.01 minutes off", at(0, 36 + 18.01f / 60.0f, 0), at(0, 36, 0), false},
      {"longitude 18.00 minutes off", at(0, 0, 120 + deg18), at(0, 0, 120), true},
      {"longitude 18.01 minutes off", at(0, 0, 120), at(0, 0, 120 + 18.01f / 60.0f), false},
      {"the bound is the S value plus 0.3 in single precision", at(0, 0.3f, 0), at(0, 0, 0), true},
      {"just past it", at(0, std::nextafter(0.3f, 1.0f), 0), at(0, 0, 0), false},
      {"a time that is not a number never rejects", at(nan, 0, 0), at(0, 0, 0), true},
      {"nor a coordinate", at(0, 0, 0), at(0, nan, nan), true},
      {"the first test that rejects decides", at(1000, nan, 0), at(0, 0, 0), false},
  };
  for (const MatchCase& c : cases) EXPECT_EQ(reconcile::same_event(c.k, c.s), c.same) << c.name;
}

TEST(Magout, NearestTenthsHalvesAwayFromZero) {
  const std::pair<float, std::optional<int>> cases[] = {
      {0.5f, 5},   {2.3f, 23},  {9.9f, 99},  {-0.9f, -9}, {0.0f, 0},    {-0.0f, 0},
      {5.0f, 50},  {0.25f, 3},  {-0.25f, -3}, {0.35f, 4},  {9.94f, 99},  {-0.94f, -9},
      {9.95f, std::nullopt}, {-0.95f, std::nullopt}, {10.0f, std::nullopt},
      {std::numeric_limits<float>::quiet_NaN(), std::nullopt},
      {std::numeric_limits<float>::infinity(), std::nullopt},
  };
  for (auto [xmag, want] : cases) EXPECT_EQ(reconcile::magout(xmag), want) << xmag;
}

// Every magnitude field that decodes gives back its own value in tenths.
TEST(Magout, EveryDecodableMagnitudeFieldFits) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const char text[2] = {static_cast<char>(a), static_cast<char>(b)};
      card::RealField f = card::decode_real({text, 2}, 1);
      if (f.fault != card::Fault::none) continue;
      std::optional<int> m = reconcile::magout(f.value);
      ASSERT_TRUE(m) << a << " " << b;
      EXPECT_EQ(static_cast<float>(*m) / 10.0f, f.value) << a << " " << b;
    }
  }
}

TEST(Rewritten, PutsTheMagnitudeInColumns35And36Only) {
  card::Card s;
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>('!' + i % 90);
  const std::pair<int, const char*> cases[] = {{5, " 5"}, {23, "23"}, {-9, "-9"}, {0, " 0"}, {99, "99"},
                                               {10, "10"}, {9, " 9"}, {-1, "-1"}};
  for (auto [magout, field] : cases) {
    card::Card out = reconcile::rewritten(s, magout);
    EXPECT_EQ(std::string(out.data() + 34, 2), field);
    for (std::size_t i = 0; i < s.size(); ++i)
      if (i != 34 && i != 35) {
        ASSERT_EQ(out[i], s[i]);
      }
  }
}

}  // namespace
