// End to end: the built magsync in a scratch directory, its console output,
// standard error, exit status and every file compared byte for byte.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/run_magsync.h"

namespace {

using Files = std::map<std::string, std::string>;
constexpr const char* kDir = "<dir>";

//                       1         2         3         4
//              1234567890123456789012345678901234567890
const std::string kK = "2612081201070536N3000120W1530 12.023";
const std::string kS = "2612081201205036N3120120W1400 11.819  PARKFIELD  quarry check: no";
const std::string kKValues = "        43267.05           36.5        120.255            2.3\n";
const std::string kSValues = "         43280.5          36.52      120.23333            1.9\n";

struct Case {
  const char* name;
  Files given;
  std::string out, err;
  int status;
  Files changed;  // entries that differ afterwards
};

TEST(Run, FollowsTheWrittenFlowAndItsFailures) {
  const std::string names = names_line("k.txt", "s.txt");
  const std::string start = names + " Starting\n";
  const Files ok = {{"mp", "k.txt\ns.txt\n"}, {"k.txt", kK + "\n"}, {"s.txt", kS + "\n"}};
  auto with = [&](Files f, const std::string& name, const std::string& bytes) {
    f[name] = bytes;
    return f;
  };
  const Case cases[] = {
      {"cards echoed", ok,
       start + " " + card_of(kK, 40) + "\n" + kKValues + " " + card_of(kS) + "\n" + kSValues + " Done\n", "", 0, {}},
      {"no control file", {}, "", "magsync: mp: line 1: unexpected end of file\n", 2, {{"mp", ""}}},
      {"control file of one line", {{"mp", "k.txt\n"}}, "",
       "magsync: mp: line 2: unexpected end of file\n", 2, {}},
      {"no K file", {{"mp", "k.txt\ns.txt\n"}}, names,
       "magsync: k.txt: No such file or directory\n", 2, {}},
      {"S file cannot be created", {{"mp", "k.txt\nno/s.txt\n"}, {"k.txt", kK}},
       names_line("k.txt", "no/s.txt"), "magsync: no/s.txt: No such file or directory\n", 2, {}},
      {"empty K file", with(ok, "k.txt", ""), start,
       "magsync: k.txt: line 1: unexpected end of file\n", 2, {}},
      {"missing S file created and left empty", {{"mp", "k.txt\ns.txt"}, {"k.txt", kK}}, start,
       "magsync: s.txt: line 1: unexpected end of file\n", 2, {{"s.txt", ""}}},
      {"K name is a directory", with(ok, "k.txt", kDir), start + " Done\n",
       "magsync: k.txt: Is a directory\n", 3, {}},
      {"S name is a directory", with(ok, "s.txt", kDir), names,
       "magsync: s.txt: Is a directory\n", 2, {}},
      {"empty K name", with(ok, "mp", "  \ns.txt\n"), names_line("  ", "s.txt"),
       "magsync: mp: line 1: empty file name\n", 2, {}},
      {"empty S name", with(ok, "mp", "k.txt\n\n"), names_line("k.txt", ""),
       "magsync: mp: line 2: empty file name\n", 2, {}},
      {"name cut to 18 characters, with a warning",
       {{"mp", "k.txt\ns.txt-and-then-some-more\n"}, {"k.txt", kK}, {"s.txt-and-then-som", kS}},
       names_line("k.txt", "s.txt-and-then-som") + " Starting\n " + card_of(kK, 40) + "\n" + kKValues + " " +
           card_of(kS) + "\n" + kSValues + " Done\n",
       "magsync: mp: line 2: warning: name longer than 18 characters; using \"s.txt-and-then-som\"\n",
       0, {}},
      {"leading blanks stay in a name, trailing ones go",
       {{"mp", " k.txt     \r\ns.txt\r\nextra line\n"}, {" k.txt", kK}, {"s.txt", kS}},
       names_line(" k.txt", "s.txt") + " Starting\n " + card_of(kK, 40) + "\n" + kKValues + " " +
           card_of(kS) + "\n" + kSValues + " Done\n",
       "", 0, {}},
      {"K line beyond 40 characters is not read", with(ok, "k.txt", kK + std::string(200, 'x') + "\nmore\n"),
       start + " " + card_of(kK + "xxxxx", 40) + "\n" + kKValues + " " + card_of(kS) + "\n" + kSValues + " Done\n", "", 0, {}},
      {"undecodable K card: the S card is not echoed",
       with(ok, "k.txt", "2612081201 7a536N3000120W1530 12.023\n"),
       start + " " + card_of("2612081201 7a536N3000120W1530 12.023") + "\n",
       "magsync: k.txt: line 1, columns 11-14: cannot read \" 7a5\" as a number\n", 2, {}},
      {"undecodable S card, bytes shown safely",
       with(ok, "s.txt", kS.substr(0, 34) + std::string("\0\xe9", 2) + "\n"),
       start + " " + card_of(kK, 40) + "\n" + kKValues + " " +
           card_of(kS.substr(0, 34) + std::string("\0\xe9", 2)) + "\n",
       "magsync: s.txt: line 1, columns 35-36: cannot read \"\\x00\\xe9\" as a number\n", 2, {}},
      {"value beyond single precision", with(ok, "k.txt", "2612081201070536N3000120W9E99"),
       start + " " + card_of("2612081201070536N3000120W9E99") + "\n",
       "magsync: k.txt: line 1, columns 26-29: \"9E99\" is beyond the range of single precision\n", 2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch work;
    for (const auto& [name, bytes] : c.given) {
      if (bytes == kDir)
        std::filesystem::create_directory(work / name);
      else
        work.write(name, bytes);
    }
    Outcome r = run_magsync(work);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    Files want = c.given;
    for (const auto& [name, bytes] : c.changed) want[name] = bytes;
    EXPECT_EQ(work.entries(), want);
  }
}

TEST(Run, FailedWriteToStandardOutputFails) {
  Scratch work;
  work.write("mp", "k.txt\ns.txt\n");
  Outcome r = run_magsync(work, [] {
    int full = ::open("/dev/full", O_WRONLY);
    ::dup2(full, 1);
  });
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "magsync: standard output: No space left on device\n");
}

}  // namespace
