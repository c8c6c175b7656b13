#include "recordio/console.h"
#include "recordio/unit.h"
#include "recordio/update.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>

#include <bit>
#include <charconv>
#include <random>
#include <string>

#include "tests/scratch.h"

namespace {

using recordio::Error;
using recordio::testing::Fault;
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

// An S file opened and its first line read as the run does; then updated,
// with system calls made to fail or another program acting between them.
struct SFile {
  Scratch dir;
  Unit u;
  std::string card = std::string(115, ' ');
  explicit SFile(const std::string& bytes, void (*prepare)(const char* path) = nullptr) {
    dir.write("s.txt", bytes);
    if (prepare) prepare((dir / "s.txt").c_str());
    EXPECT_FALSE(u.open(dir / "s.txt", Need::update));
    EXPECT_FALSE(u.read_field(card, 115));
  }
  recordio::Status update(const std::vector<Fault>& faults = {}) {
    recordio::testing::inject(faults);
    auto e = recordio::update(u, card, std::string(115, 'N'));
    made = recordio::testing::calls();
    recordio::testing::inject({});
    return e;
  }
  int made = 0;  // system calls the update made
};

struct UpdateCase {
  const char* name;
  std::string before, after;
  std::vector<Fault> first;  // faults that choose the path
};
const std::string kNew(115, 'N'), kRest = "second line\nthird, no line end";
constexpr int kOpenNameless = 4;  // the call that opens the nameless new file
const UpdateCase kPaths[] = {
    {"same length, in place", std::string(115, 'o') + "\n" + kRest, kNew + "\n" + kRest, {}},
    {"length change, nameless new file", "old\r\n" + kRest, kNew + "\r\n" + kRest, {}},
    {"length change, named new file", "old", kNew + "\n", {{kOpenNameless, EOPNOTSUPP}}},
};
using Entries = std::map<std::string, std::string>;

TEST(Update, AnyFailedCallIsWorkedAroundOrLeavesTheFileAsItWas) {
  for (const auto& c : kPaths) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(c.name) + ", call " + std::to_string(n));
      SFile s(c.before);
      auto faults = c.first;
      faults.push_back({n, EIO, n % 2 == 0});
      auto e = s.update(faults);
      if (!e) {  // past the last call, or a failure worked around
        EXPECT_EQ(s.dir.entries(), (Entries{{"s.txt", c.after}}));
        if (n > s.made) break;
        continue;
      }
      const std::string text(e->text());
      if (text.find("failed too") != text.npos) continue;  // says line 1 may be damaged
      const bool done = text.ends_with("; the S file has been rewritten");
      auto entries = s.dir.entries();
      EXPECT_EQ(entries["s.txt"], done ? c.after : c.before) << text;
      EXPECT_EQ(entries.size(), 1u + (text.find("what it held is now") != text.npos)) << text;
      if (!done) {
        EXPECT_EQ(text, "magsync: " + (s.dir / "s.txt") + ": cannot rewrite: Input/output error; the file is unchanged");
      }
    }
  }
}

// What another program does to the S file, just before one of the update's calls.
std::string g_path;
void append_line() { std::ofstream(g_path, std::ios::app) << "appended\n"; }
void rename_over() {
  std::ofstream(g_path + ".other") << "other\n";
  std::filesystem::rename(g_path + ".other", g_path);
}

TEST(Update, AnotherProgramsChangeIsNeverLost) {
  const std::string changed = ": changed by another program while magsync ran; not rewritten";
  for (const auto& c : kPaths) {
    for (auto action : {append_line, rename_over}) {
      for (int n = 1;; ++n) {
        SCOPED_TRACE(std::string(c.name) + ", call " + std::to_string(n));
        SFile s(c.before);
        g_path = s.dir / "s.txt";
        auto e = s.update({c.first.empty() ? Fault{0} : c.first[0], {n, 0, false, action}});
        if (n > s.made) break;
        const bool appended = action == append_line;
        if (e) {
          EXPECT_EQ(e->text(), "magsync: " + g_path + changed);
        }
        const std::string want = !appended ? "other\n" : (e ? c.before : c.after) + "appended\n";
        EXPECT_EQ(s.dir.entries(), (Entries{{"s.txt", want}}));
      }
    }
  }
}

TEST(Update, ASignalAtAnyMomentLeavesNoNewFile) {
  for (const auto& c : kPaths) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(c.name) + ", call " + std::to_string(n));
      SFile s(c.before);
      pid_t pid = ::fork();
      if (pid == 0) {
        auto e = s.update({c.first.empty() ? Fault{0} : c.first[0], {n, 0, false, [] { ::raise(SIGTERM); }}});
        ::_exit(e ? 1 : 0);
      }
      int ws = 0;
      ::waitpid(pid, &ws, 0);
      const auto entries = s.dir.entries();
      EXPECT_EQ(entries.size(), 1u);
      EXPECT_TRUE(entries.at("s.txt") == c.before || entries.at("s.txt") == c.after);
      if (WIFEXITED(ws)) {
        EXPECT_EQ(WEXITSTATUS(ws), 0);
        break;
      }
      EXPECT_EQ(WTERMSIG(ws), SIGTERM);
    }
  }
}

TEST(Update, ExtendedAttributesAndACLsStay) {
  for (const auto& c : kPaths) {
    SCOPED_TRACE(c.name);
    SFile s(c.before, [](const char* path) {
      ASSERT_EQ(std::system(("setfacl -m u:4321:rw,m::r " + std::string(path)).c_str()), 0);
      ASSERT_EQ(::setxattr(path, "user.origin", "k", 1, 0), 0);
    });
    const std::string path = s.dir / "s.txt";
    auto attributes = [&path] {
      char acl[256], origin[8];
      ssize_t a = ::getxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
      ssize_t o = ::getxattr(path.c_str(), "user.origin", origin, sizeof origin);
      struct stat st;
      ::stat(path.c_str(), &st);
      return std::string(acl, a > 0 ? a : 0) + "|" + std::string(origin, o > 0 ? o : 0) + "|" +
             std::to_string(st.st_mode);
    };
    const std::string before = attributes();
    EXPECT_GT(before.find('|'), 0u);  // an ACL is there to keep
    auto e = s.update(c.first);
    ASSERT_FALSE(e) << e->text();
    EXPECT_EQ(attributes(), before);
  }
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
