#include "recordio/console.h"
#include "recordio/unit.h"
#include "recordio/update.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <charconv>
#include <random>
#include <string>

#include "tests/scratch.h"

namespace {

using recordio::Error;
using recordio::Need;
using recordio::Unit;

struct FieldCase {
  const char* name;
  std::string bytes;  // the file
  std::size_t w, n;   // field width, buffer length
  std::vector<std::string> lines;  // what successive reads give
};

TEST(ReadField, PadsCutsAndEndsLines) {
  const FieldCase cases[] = {
      {"short line padded", "ab\n", 4, 6, {"ab    "}},
      {"long line cut", "abcdefgh\nxy\n", 4, 6, {"abcd  ", "xy    "}},
      {"width then blanks", "abcdefgh\n", 4, 8, {"abcd    "}},
      {"exact width", "abcd\nef\n", 4, 4, {"abcd", "ef  "}},
      {"empty line", "\nx\n", 3, 3, {"   ", "x  "}},
      {"crlf is a line end", "ab\r\ncd\r\n", 4, 4, {"ab  ", "cd  "}},
      {"crlf after a cut", "abcdef\r\ncd\r\n", 4, 4, {"abcd", "cd  "}},
      {"lone cr is data", "a\rb\n", 4, 4, {"a\rb "}},
      {"cr at end of file is data", "ab\r", 4, 4, {"ab\r "}},
      {"no final line feed", "ab\ncd", 4, 4, {"ab  ", "cd  "}},
      {"crlf right after w-1 characters", "abc\r\nd\n", 4, 4, {"abc ", "d   "}},
      {"crlf across the buffer's edge", std::string(4095, 'a') + "\r\nb", 4100, 4100,
       {std::string(4095, 'a') + "     ", "b" + std::string(4099, ' ')}},
      {"cr at the buffer's edge is data", std::string(4095, 'a') + "\rb\n", 4100, 4100,
       {std::string(4095, 'a') + "\rb   "}},
      {"nul and high bytes kept", std::string("a\0\xff", 3) + "\n", 4, 4, {std::string("a\0\xff ", 4)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch dir;
    dir.write("f", c.bytes);
    Unit u;
    ASSERT_FALSE(u.open(dir / "f", Need::old));
    for (const auto& want : c.lines) {
      std::string got(c.n, '?');
      ASSERT_FALSE(u.read_field(got, c.w));
      EXPECT_EQ(got, want);
    }
    std::string rest(c.n, '?');
    auto e = u.read_field(rest, c.w);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), Error::Kind::end_of_file);
  }
}

TEST(ReadField, EndOfFileNamesTheLine) {
  Scratch dir;
  dir.write("mp", "k.txt\n");
  Unit u;
  ASSERT_FALSE(u.open((dir / "mp") + "   ", Need::any));  // trailing blanks dropped
  std::string buf(18, ' ');
  ASSERT_FALSE(u.read_field(buf, 18));
  auto e = u.read_field(buf, 18);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->text(), "magsync: " + (dir / "mp") + ": line 2: unexpected end of file");
}

TEST(ReadField, LongerTellsWhetherTheRestHoldsAnything) {
  Scratch dir;
  dir.write("f", "abc\nabcd   \r\nabcde\nab");
  Unit u;
  ASSERT_FALSE(u.open(dir / "f", Need::old));
  std::string buf(4, ' ');
  for (bool want : {false, false, true, false}) {
    bool longer = !want;
    ASSERT_FALSE(u.read_field(buf, 4, &longer));
    EXPECT_EQ(longer, want);
  }
}

TEST(ReadField, PassesOverTheRestOfALineLazily) {
  Scratch dir;
  dir.write("big", std::string(1 << 20, 'x') + "\nnext\n");
  Unit u;
  ASSERT_FALSE(u.open(dir / "big", Need::old));
  std::string buf(40, ' ');
  ASSERT_FALSE(u.read_field(buf, 40));
  EXPECT_LE(::lseek(u.fd(), 0, SEEK_CUR), 4096);  // one buffer, not the whole line
  ASSERT_FALSE(u.read_field(buf, 4));
  EXPECT_EQ(buf.substr(0, 5), "next ");
}

TEST(ReadField, SystemErrorIsAReadError) {
  Scratch dir;
  Unit u;
  ASSERT_FALSE(u.open(dir.path(), Need::old));  // a directory opens, but does not read
  std::string buf(4, ' ');
  auto e = u.read_field(buf, 4);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->kind(), Error::Kind::read);
  EXPECT_EQ(e->text(), "magsync: " + dir.path() + ": Is a directory");
}

TEST(Open, OldNeedsTheFileAnyCreatesIt) {
  Scratch dir;
  Unit k, s;
  auto e = k.open(dir / "k.txt", Need::old);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->text(), "magsync: " + (dir / "k.txt") + ": No such file or directory");
  ASSERT_FALSE(s.open(dir / "s.txt", Need::update));
  EXPECT_EQ(dir.entries().at("s.txt"), "");
}

TEST(Rewrite, ReplacesTheLineLastRead) {
  Scratch dir;
  dir.write("f", "one\ntwo is long\r\nthree\n");
  Unit u;
  ASSERT_FALSE(u.open(dir / "f", Need::update));
  std::string buf(3, ' ');
  ASSERT_FALSE(u.read_field(buf, 3));
  ASSERT_FALSE(u.read_field(buf, 3));
  ASSERT_FALSE(recordio::update(u, buf, "2"));
  EXPECT_EQ(dir.entries(), (std::map<std::string, std::string>{{"f", "one\n2\r\nthree\n"}}));
}

TEST(Rewrite, RefusesWhatIsNotARegularFile) {
  Unit u;
  ASSERT_FALSE(u.open("/dev/zero", Need::update));
  std::string buf(4, ' ');
  ASSERT_FALSE(u.read_field(buf, 4));
  auto e = recordio::update(u, buf, "x");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->text(), "magsync: /dev/zero: not a regular file; not rewritten");
}

TEST(Error, QuotesUnprintableBytes) {
  Error e("k.txt");
  e.add("columns ").add(-11L).add(" ").add_quoted(std::string("a\"\\\0\x80", 5));
  EXPECT_EQ(e.text(), R"(magsync: k.txt: columns -11 "a\x22\x5c\x00\x80")");
}

TEST(FormatReal, ReadsBackToTheSameFloat) {
  const std::pair<float, const char*> known[] = {
      {70.0f, "70.0"}, {3723.05f, "3723.05"}, {-2.5f, "-2.5"}, {0.3f, "0.3"},
      {0.0f, "0.0"}, {-0.0f, "-0.0"}, {36.5f, "36.5"}, {1e-45f, nullptr},
      {3.4028235e38f, nullptr}, {1.17549435e-38f, nullptr}};
  std::mt19937 rng(7);
  std::vector<float> all;
  for (auto [x, text] : known) {
    char buf[64];
    if (text) {
      EXPECT_EQ(std::string(buf, recordio::format_real(x, buf)), text);
    }
    all.push_back(x);
  }
  for (int i = 0; i < 200000; ++i) {
    float x = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    if (std::isfinite(x)) all.push_back(x);
  }
  for (float x : all) {
    char buf[64];
    std::size_t n = recordio::format_real(x, buf);
    float back = 0;
    auto [p, ec] = std::from_chars(buf, buf + n, back);
    ASSERT_EQ(ec, std::errc{}) << std::string(buf, n);
    ASSERT_EQ(p, buf + n);
    ASSERT_EQ(std::bit_cast<std::uint32_t>(back), std::bit_cast<std::uint32_t>(x)) << std::string(buf, n);
  }
}

}  // namespace
