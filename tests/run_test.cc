// End to end: the built magsync in a scratch directory, its console output,
// standard error, exit status and every file compared byte for byte.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <poll.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <csignal>
#include <cstddef>
#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <fstream>
#include <sstream>
#include <map>
#include <regex>
#include <string>

#include "recordio/detail/sys.h"
#include "tests/run_magsync.h"

namespace {

using Files = std::map<std::string, std::string>;
constexpr const char* kDir = "<dir>";
constexpr const char* kFifo = "<fifo>";

//                       1         2         3         4
//              1234567890123456789012345678901234567890
const std::string kK = "2612081201070536N3000120W1530 12.023";
const std::string kS = "2612081201205036N3120120W1400 11.819  PARKFIELD  quarry check: no";
const std::string kKValues = "        43267.05           36.5        120.255            2.3\n";
const std::string kSValues = "         43280.5          36.52      120.23333            1.9\n";
const std::string kOut = card_of(kS.substr(0, 34) + "23" + kS.substr(36));  // the K magnitude
const std::string kFar = kS.substr(0, 6) + "13" + kS.substr(8);             // an hour later
const std::string kFarValues = "         46880.5          36.52      120.23333            1.9\n";

// Console output up to the end of the S card's values line.
std::string echoed(const std::string& k = kK, const std::string& s = kS,
                   const std::string& s_values = kSValues, const std::string& names = names_line("k.txt", "s.txt")) {
  return names + " Starting\n " + card_of(k, 40) + "\n" + kKValues + " " + card_of(s) + "\n" + s_values;
}

struct Case {
  const char* name;
  Files given;
  std::string out, err;
  int status;
  Files changed;  // entries that differ afterwards
  void (*before)() = nullptr;  // in magsync's process, just before it starts
  const char* arg = nullptr;   // magsync's one argument
};
const std::string kUsage = "<usage>";  // as out: the usage text, whatever its wording
const std::string kUnknown = "magsync: unrecognized option '--force'\nTry 'magsync --help' for more information.\n";
const std::string kUnknownH = "magsync: invalid option -- 'h'\nTry 'magsync --help' for more information.\n";
const std::string kVersion = "magsync " MAGSYNC_VERSION "\nCopyright (C) 2026 the magsync developers.\n"
                             "License MIT: <https://opensource.org/licenses/MIT>.\n"
                             "This is free software: you are free to change and redistribute it.\n"
                             "There is NO WARRANTY, to the extent permitted by law.\n";
const std::string kWide = kK.substr(0, 6) + "00003E38" + kK.substr(14);  // seconds 3e38
const std::string kTab36 = kK.substr(0, 35) + "\t";  // a tab in the magnitude field
const std::string kTab = kK.substr(0, 29) + "\t" + kK.substr(30);  // a tab in column 30, which is not read

void check(const Case& c, const std::function<void()>& before = {}) {
  SCOPED_TRACE(c.name);
  Scratch work;
  for (const auto& [name, bytes] : c.given) {
    if (bytes == kDir)
      std::filesystem::create_directory(work / name);
    else if (bytes == kFifo)
      ::mkfifo((work / name).c_str(), 0666);
    else if (bytes.starts_with("-> "))
      std::filesystem::create_symlink(bytes.substr(3), work / name);
    else
      work.write(name, bytes);
  }
  Outcome r = run_magsync(work, before ? before : c.before, MAGSYNC_EXE, c.arg);
  if (c.out == kUsage) {
    EXPECT_TRUE(r.out.starts_with("Usage: magsync [--check] [--help | --version]\n")) << r.out;
    EXPECT_NE(r.out.find("See magsync(1)."), r.out.npos) << r.out;
  } else {
    EXPECT_EQ(r.out, c.out);
  }
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, c.status);
  Files want = c.given;
  for (const auto& [name, bytes] : c.changed) want[name] = bytes;
  EXPECT_EQ(work.entries(), want);
}

Files with(Files f, const std::string& name, const std::string& bytes) {
  f[name] = bytes;
  return f;
}

const Files kOk = {{"mp", "k.txt\ns.txt\n"}, {"k.txt", kK + "\n"}, {"s.txt", kS + "\n"}};

// Another program writes BYTES into the FIFO s.txt, then closes it; the run
// must end then, and within ten seconds in any case.
template <const std::string* bytes>
void fifo_writer() {
  if (::fork() == 0) {
    int fd = ::open("s.txt", O_WRONLY);
    ::_exit(fd < 0 || ::write(fd, bytes->data(), bytes->size()) < 0);
  }
  ::alarm(10);
}
const std::string kFarLine = kFar + "\n", kNothing;
template <rlim_t bytes>
void file_size_limit() {
  const rlimit lim{bytes, bytes};
  ::setrlimit(RLIMIT_FSIZE, &lim);
}
// A stack of KIB KiB, all of it the run's: no environment, and its start
// not moved at random, which takes up to 8 KiB of it (where that cannot be
// turned off, in a container, those 8 KiB are added). A run needs 16.
template <rlim_t kib>
void small_stack() {
  const rlim_t size = (::personality(ADDR_NO_RANDOMIZE) < 0 ? kib + 8 : kib) << 10;
  const rlimit lim{size, size};
  if (::clearenv() != 0 || ::setrlimit(RLIMIT_STACK, &lim) != 0) ::_exit(125);
}
const std::string kLong(250, 'l');  // its replacement's temporary name must be cut to fit
const std::string kLongest(255, 'm');  // as long as a name may be

TEST(Run, FollowsTheWrittenFlowAndItsFailures) {
  const std::string names = names_line("k.txt", "s.txt");
  const std::string start = names + " Starting\n";
  const std::string done = kOut + "\n Done\n";
  const std::string big = kS + "\n" + std::string(200000, 'r') + "\n";
  const Case cases[] = {
      {"matching cards", kOk, echoed() + done, "", 0, {{"s.txt", kOut + "\n"}}},
      {"cards that do not match", with(kOk, "s.txt", kFar), echoed(kK, kFar, kFarValues) + " Done\n",
       "", 0, {}},
      {"no control file", {}, "",
       "magsync: mp: the file is empty: there was no such file, and this run created it; line 1 of mp names "
       "the K file, line 2 the S file\n",
       2, {{"mp", ""}}},
      {"control file of one line", {{"mp", "k.txt\n"}}, "",
       "magsync: mp: line 2: unexpected end of file; line 1 of mp names the K file, line 2 the S file\n",
       2, {}},
      {"no K file", {{"mp", "k.txt\ns.txt\n"}}, names,
       "magsync: k.txt: No such file or directory\n", 2, {}},
      {"S file cannot be created", {{"mp", "k.txt\nno/s.txt\n"}, {"k.txt", kK}},
       names_line("k.txt", "no/s.txt"), "magsync: no/s.txt: No such file or directory\n", 2, {}},
      {"empty K file", with(kOk, "k.txt", ""), start,
       "magsync: k.txt: the file is empty\n", 2, {}},
      {"missing S file created and left empty", {{"mp", "k.txt\ns.txt"}, {"k.txt", kK}}, start,
       "magsync: s.txt: the file is empty: there was no such file, and this run created it\n",
       2, {{"s.txt", ""}}},
      {"empty S file", with(kOk, "s.txt", ""), start, "magsync: s.txt: the file is empty\n", 2, {}},
      {"K name is a directory", with(kOk, "k.txt", kDir), start + " Done\n",
       "magsync: k.txt: Is a directory\n", 3, {}},
      {"S name is a directory", with(kOk, "s.txt", kDir), start + " Done\n",
       "magsync: s.txt: Is a directory\n", 3, {}},
      {"empty K name", with(kOk, "mp", "  \ns.txt\n"), names_line("  ", "s.txt"),
       "magsync: mp: line 1: empty file name\n", 2, {}},
      {"a NUL byte in a name", with(kOk, "mp", std::string("k\0.txt\ns.txt\n", 13)),
       names_line(std::string("k\0.txt", 6), "s.txt"), "magsync: mp: line 1: file name holds a NUL byte\n", 2, {}},
      {"empty S name", with(kOk, "mp", "k.txt\n\n"), names_line("k.txt", ""),
       "magsync: mp: line 2: empty file name\n", 2, {}},
      {"name cut to 18 characters, with a warning",
       {{"mp", "k.txt\ns.txt-and-then-some-more\n"}, {"k.txt", kK}, {"s.txt-and-then-som", kFar}},
       echoed(kK, kFar, kFarValues, names_line("k.txt", "s.txt-and-then-som")) + " Done\n",
       "magsync: mp: line 2: warning: name longer than 18 characters; using \"s.txt-and-then-som\"\n",
       0, {}},
      {"leading blanks stay in a name, trailing ones go",
       {{"mp", " k.txt     \r\ns.txt\r\nextra line\n"}, {" k.txt", kK}, {"s.txt", kFar}},
       echoed(kK, kFar, kFarValues, names_line(" k.txt", "s.txt")) + " Done\n", "", 0, {}},
      {"K line beyond 40 characters is not read",
       with(with(kOk, "k.txt", kK + std::string(200, 'x') + "\nmore\n"), "s.txt", kFar),
       echoed(kK + "xxxxx", kFar, kFarValues) + " Done\n", "", 0, {}},
      {"undecodable K card: the S card is not echoed",
       with(kOk, "k.txt", "2612081201 7a536N3000120W1530 12.023\n"),
       start + " " + card_of("2612081201 7a536N3000120W1530 12.023") + "\n",
       "magsync: k.txt: line 1, columns 11-14: cannot read \" 7a5\" as a number\n", 2, {}},
      {"undecodable S card, bytes shown safely",
       with(kOk, "s.txt", kS.substr(0, 34) + std::string("\0\xe9", 2) + "\n"),
       start + " " + card_of(kK, 40) + "\n" + kKValues + " " +
           card_of(kS.substr(0, 34) + std::string("\0\xe9", 2)) + "\n",
       "magsync: s.txt: line 1, columns 35-36: cannot read \"\\x00\\xe9\" as a number\n", 2, {}},
      {"S file is a dangling symbolic link", with(kOk, "s.txt", "-> missing"), names,
       "magsync: s.txt: symbolic link to a missing file; nothing created\n", 2, {}},
      {"S file is a FIFO whose writer sends a line", with(kOk, "s.txt", kFifo),
       echoed(kK, kFar, kFarValues) + " Done\n", "", 0, {}, fifo_writer<&kFarLine>},
      {"S file is a FIFO whose writer sends nothing", with(kOk, "s.txt", kFifo), start,
       "magsync: s.txt: the file is empty\n", 2, {}, fifo_writer<&kNothing>},
      {"closed standard output: mp is not written", kOk, "", "", 0, {{"s.txt", kOut + "\n"}},
       [] { ::close(1); }},
      {"a full standard output", {{"mp", "k.txt\ns.txt\n"}}, "", "magsync: standard output: No space left on device\n",
       2, {}, [] { ::dup2(::open("/dev/full", O_WRONLY), 1); }},
      // A file size limit makes the copy fail part way through; a smaller
      // one lets the S file be rewritten, then cuts the echo short.
      {"write fails part way", with(kOk, "s.txt", big), echoed(),
       "magsync: s.txt: cannot rewrite: write of the new file: File too large; the file is unchanged\n", 2, {},
       file_size_limit<64 << 10>},
      {"echo fails after the rewrite", kOk, (echoed() + kOut).substr(0, 450),
       "magsync: standard output: File too large; the S file has been rewritten\n", 2, {{"s.txt", kOut + "\n"}},
       file_size_limit<450>},
      {"closed standard error: mp is not written", with(kOk, "k.txt", ""), start, "", 2, {},
       [] { ::close(2); }},
      {"--help changes nothing", kOk, kUsage, "", 0, {}, nullptr, "--help"},
      {"--help creates nothing", {}, kUsage, "", 0, {}, nullptr, "--help"},
      {"--version changes nothing", kOk, kVersion, "", 0, {}, nullptr, "--version"},
      {"--version creates nothing", {}, kVersion, "", 0, {}, nullptr, "--version"},
      {"an argument is ignored, with a warning", kOk, echoed() + kOut + "\n Done\n",
       "magsync: warning: arguments are ignored; mp names the K file and the S file\n", 0, {{"s.txt", kOut + "\n"}},
       nullptr, "k.txt"},
#ifndef MAGSYNC_SANITIZED  // whose runtime reads its options and ends its leak check through /proc
      {"no /proc (a chroot, a minimal container): the length change takes a named new file", kOk,
       echoed() + kOut + "\n Done\n", "", 0, {{"s.txt", kOut + "\n"}},
       [] {  // a mount namespace of its own, a bare tmpfs over /proc (root only, as CI runs)
         if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
           ::_exit(125);
       }},
#endif
      {"an unknown option changes nothing", kOk, "", kUnknown, 2, {}, nullptr, "--force"},
      {"an unknown option creates nothing", {}, "", kUnknownH, 2, {}, nullptr, "-h"},
      {"-0 run together with an unknown short option", kOk, "",
       "magsync: invalid option -- 'x'\nTry 'magsync --help' for more information.\n", 2, {}, nullptr, "-0x"},
      {"--slice without its value", kOk, "",
       "magsync: option '--slice' requires an argument\nTry 'magsync --help' for more information.\n", 2, {}, nullptr,
       "--slice"},
      {"--help with a value", kOk, "",
       "magsync: option '--help' doesn't allow an argument\nTry 'magsync --help' for more information.\n", 2, {},
       nullptr, "--help=x"},
      {"--null without --batch changes nothing", kOk, "",
       "magsync: --null goes with --batch\nTry 'magsync --help' for more information.\n", 2, {}, nullptr, "--null"},
      {"--slice=I/N without --batch changes nothing", kOk, "",
       "magsync: --slice goes with --batch\nTry 'magsync --help' for more information.\n", 2, {}, nullptr,
       "--slice=1/2"},
      {"a tab in column 36 warns, then the field cannot be read", with(kOk, "k.txt", kTab36 + "\n"),
       start + " " + card_of(kTab36, 40) + "\n",
       "magsync: k.txt: line 1, column 36: warning: a tab; columns count characters, not tab stops\n"
       "magsync: k.txt: line 1, columns 35-36: cannot read \"2\\x09\" as a number\n",
       2, {}},
      {"mp naming one file twice writes nothing", with(kOk, "mp", "k.txt\nk.txt\n"), names_line("k.txt", "k.txt"),
       "magsync: mp: lines 1 and 2 name one file (k.txt, k.txt); the K file is never written\n", 2, {}},
      {"mp naming one file twice, through a link", with(with(kOk, "mp", "k.txt\nl.txt\n"), "l.txt", "-> k.txt"),
       names_line("k.txt", "l.txt"),
       "magsync: mp: lines 1 and 2 name one file (k.txt, l.txt); the K file is never written\n", 2, {}},
      {"a tab among the columns read warns", with(kOk, "k.txt", kTab + "\n"), echoed(kTab) + kOut + "\n Done\n",
       "magsync: k.txt: line 1, column 30: warning: a tab; columns count characters, not tab stops\n", 0,
       {{"s.txt", kOut + "\n"}}},

      {"a name with a byte-order mark is quoted", with(kOk, "mp", "\xEF\xBB\xBFk.txt\ns.txt\n"),
       names_line("\xEF\xBB\xBFk.txt", "s.txt"), "magsync: \"\\xef\\xbb\\xbfk.txt\": No such file or directory\n", 2, {}},
      {"a name with a blank is quoted", with(kOk, "mp", "k .txt\ns.txt\n"), names_line("k .txt", "s.txt"),
       "magsync: \"k .txt\": No such file or directory\n", 2, {}},
      {"a value 15 characters or wider keeps a blank before it", with(kOk, "k.txt", kWide),
       names_line("k.txt", "s.txt") + " Starting\n " + card_of(kWide, 40) +
           "\n  3000000043527273764624921987712548864.0           36.5        120.255            2.3\n " +
           card_of(kS) + "\n" + kSValues + " Done\n",
       "", 0, {}},
      {"value beyond single precision", with(kOk, "k.txt", "2612081201070536N3000120W9E99"),
       start + " " + card_of("2612081201070536N3000120W9E99") + "\n",
       "magsync: k.txt: line 1, columns 26-29: \"9E99\" is beyond the range of single precision\n", 2, {}},
  };
  for (const Case& c : cases) check(c);

  // As an ordinary user in a directory that user may not write: no mp, and
  // none can be created there.
  Scratch work;
  const std::string exe = public_exe(work);
  ::chmod(work.path().c_str(), 0555);
  Outcome r = run_magsync(work, [] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(125);
  }, exe);
  EXPECT_EQ(r.err, "magsync: mp: no such file, and it cannot be created in this directory: Permission denied\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(work.entries().empty());
}

TEST(Run, RewritesTheFirstLineAndKeepsTheRest) {
  const std::string done = kOut + "\n Done\n";
  const std::string long_s = kS + std::string(60, '+') + "beyond 115";  // 200 characters
  // A UTF-8 character (e, acute accent) across columns 115 and 116.
  const std::string utf8_s = kS + std::string(49, '+') + "\xc3\xa9 after it";
  const std::string big_line = kS + std::string(100000, 'z');
  const std::string later = "second line\r\nthird line, no line end";
  const Case cases[] = {
      {"S line shorter than 115 comes back padded", kOk, echoed() + done, "", 0, {{"s.txt", kOut + "\n"}}},
      {"S line longer than 115: what follows column 115 is kept", with(kOk, "s.txt", long_s + "\n"),
       echoed(kK, long_s) + card_of(kOut.substr(0, 36) + long_s.substr(36)) + "\n Done\n", "", 0,
       {{"s.txt", kOut.substr(0, 36) + long_s.substr(36) + "\n"}}},
      {"a UTF-8 character across column 115 is kept whole", with(kOk, "s.txt", utf8_s + "\n" + "later\n"),
       echoed(kK, utf8_s) + card_of(kOut.substr(0, 36) + utf8_s.substr(36)) + "\n Done\n", "", 0,
       {{"s.txt", kOut.substr(0, 36) + utf8_s.substr(36) + "\nlater\n"}}},
      {"a longer last line without a line end stays without one", with(kOk, "s.txt", long_s),
       echoed(kK, long_s) + card_of(kOut.substr(0, 36) + long_s.substr(36)) + "\n Done\n", "", 0,
       {{"s.txt", kOut.substr(0, 36) + long_s.substr(36)}}},
      {"further lines kept whole", with(kOk, "s.txt", kS + "\n" + later), echoed() + done, "", 0,
       {{"s.txt", kOut + "\n" + later}}},
      {"a long first line keeps all that follows column 115", with(kOk, "s.txt", big_line + "\n" + later),
       echoed(kK, big_line) + card_of(kOut.substr(0, 36) + big_line.substr(36)) + "\n Done\n", "", 0,
       {{"s.txt", kOut.substr(0, 36) + big_line.substr(36) + "\n" + later}}},
#ifndef MAGSYNC_SANITIZED  // the sanitizers need a larger stack of their own
      {"a long first line with a 20 KiB stack", with(kOk, "s.txt", big_line + "\n" + later),
       echoed(kK, big_line) + card_of(kOut.substr(0, 36) + big_line.substr(36)) + "\n Done\n", "", 0,
       {{"s.txt", kOut.substr(0, 36) + big_line.substr(36) + "\n" + later}}, small_stack<20>},
      {"a replacement with a 20 KiB stack", kOk, echoed() + done, "", 0, {{"s.txt", kOut + "\n"}}, small_stack<20>},
#endif
      {"CRLF stays CRLF", with(kOk, "s.txt", kS + "\r\n" + later), echoed() + done, "", 0,
       {{"s.txt", kOut + "\r\n" + later}}},
      {"a first line without a line end gets one", with(kOk, "s.txt", kS), echoed() + done, "", 0,
       {{"s.txt", kOut + "\n"}}},
      {"a link to a name of 250 characters", with(with(kOk, "s.txt", "-> " + kLong), kLong, kS + "\n"),
       echoed() + done, "", 0, {{kLong, kOut + "\n"}}},
      {"a link to a name of 255 characters", with(with(kOk, "s.txt", "-> " + kLongest), kLongest, kS + "\n"),
       echoed() + done, "", 0, {{kLongest, kOut + "\n"}}},
      {"equal magnitudes: [5.] comes back as [50]",
       with(with(kOk, "k.txt", kK.substr(0, 34) + "5."), "s.txt", kS.substr(0, 34) + "5."),
       names_line("k.txt", "s.txt") + " Starting\n " + card_of(kK.substr(0, 34) + "5.", 40) +
           "\n        43267.05           36.5        120.255            5.0\n " +
           card_of(kS.substr(0, 34) + "5.") + "\n         43280.5          36.52      120.23333            5.0\n" +
           card_of(kS.substr(0, 34) + "50") + "\n Done\n",
       "", 0, {{"s.txt", card_of(kS.substr(0, 34) + "50") + "\n"}}},
      {"a blank K magnitude writes [ 0]", with(kOk, "k.txt", kK.substr(0, 34)),
       names_line("k.txt", "s.txt") + " Starting\n " + card_of(kK.substr(0, 34), 40) +
           "\n        43267.05           36.5        120.255            0.0\n " + card_of(kS) + "\n" +
           kSValues + card_of(kS.substr(0, 34) + " 0" + kS.substr(36)) + "\n Done\n",
       "magsync: k.txt: line 1, columns 35-36: warning: the K card's magnitude is blank; it is written as 0\n", 0,
       {{"s.txt", card_of(kS.substr(0, 34) + " 0" + kS.substr(36)) + "\n"}}},
      // A preview: decided and reported as a run would, nothing created or written.
      {"--check: the rewritten card shown, nothing written", kOk, echoed() + done, "", 0, {}, nullptr, "--check"},
      {"--dry-run: a missing S file said, not created", {{"mp", "k.txt\ns.txt\n"}, {"k.txt", kK + "\n"}},
       names_line("k.txt", "s.txt"),
       "magsync: s.txt: No such file or directory; a run would create it empty, and stop there\n", 2, {}, nullptr,
       "--dry-run"},
      {"--check: a missing mp said, not created", {}, "",
       "magsync: mp: No such file or directory; a run would create it empty, and stop there\n", 2, {}, nullptr,
       "--check"},
      // Warnings of a match: what is written is as before; only standard error tells more.
      {"cards of different days warn", with(kOk, "s.txt", "261209" + kS.substr(6)),
       echoed(kK, "261209" + kS.substr(6)) + card_of("261209" + kOut.substr(6)) + "\n Done\n",
       "magsync: s.txt: line 1, columns 1-6: warning: the cards' columns 1-6 differ (261208, 261209); only the time "
       "of day is compared\n", 0, {{"s.txt", card_of("261209" + kOut.substr(6)) + "\n"}}},
      {"hemisphere letters that differ warn", with(kOk, "s.txt", kS.substr(0, 16) + "S" + kS.substr(17, 7) + "E" + kS.substr(25)),
       echoed(kK, kS.substr(0, 16) + "S" + kS.substr(17, 7) + "E" + kS.substr(25)) +
           card_of(kOut.substr(0, 16) + "S" + kOut.substr(17, 7) + "E" + kOut.substr(25)) + "\n Done\n",
       "magsync: s.txt: line 1, column 17: warning: the cards' hemisphere letters differ (N, S); they are not compared\n"
       "magsync: s.txt: line 1, column 25: warning: the cards' hemisphere letters differ (W, E); they are not compared\n",
       0, {{"s.txt", card_of(kOut.substr(0, 16) + "S" + kOut.substr(17, 7) + "E" + kOut.substr(25)) + "\n"}}},
      {"a K card after a byte-order mark is said to be", with(kOk, "k.txt", "\xef\xbb\xbf" + kK),
       names_line("k.txt", "s.txt") + " Starting\n " + card_of("\xef\xbb\xbf" + kK, 40) + "\n",
       "magsync: k.txt: line 1, columns 18-21: cannot read \"36N3\" as a number; the line begins with a byte-order "
       "mark (EF BB BF), which moves every column\n", 2, {}},
      {"a byte-order mark in place of a card's first columns warns", with(kOk, "k.txt", "\xef\xbb\xbf" + kK.substr(3)),
       names_line("k.txt", "s.txt") + " Starting\n " + card_of("\xef\xbb\xbf" + kK.substr(3), 40) + "\n" + kKValues +
           " " + card_of(kS) + "\n" + kSValues + kOut + "\n Done\n",
       "magsync: k.txt: line 1, columns 1-3: warning: the line begins with a byte-order mark (EF BB BF), which moves "
       "every column\nmagsync: s.txt: line 1, columns 1-6: warning: the cards' columns 1-6 differ (\"\\xef\\xbb\\xbf208\", "
       "261208); only the time of day is compared\n", 0, {{"s.txt", kOut + "\n"}}},
  };
  for (const Case& c : cases) check(c);
}

// Root in a directory another user owns or may write, or with an mp another
// user owns: nothing is opened but mp, nothing created or rewritten.
TEST(Run, RootNeverActsForAnotherUser) {
  if (::geteuid() != 0 && !std::getenv("CI")) GTEST_SKIP() << "needs root";
  ASSERT_EQ(::geteuid(), 0u) << "needs root";
  const std::string refuse = ": root does not act on the names another user may have chosen; run magsync as the "
                             "user the event belongs to, for example: setpriv --reuid=";
  const Files outside = with(kOk, "s.txt", "-> /etc/hostname-of-root");
  const Case cases[] = {
      {"a directory another user owns", outside, "",
       "magsync: .: owned by user 4321" + refuse + "4321 --regid=4242 --clear-groups magsync\n", 2, {},
       [] { ::chown(".", 4321, 4242); }},
      {"a directory its group may write", kOk, "",
       "magsync: .: writable by its group" + refuse + "0 --regid=4242 --init-groups magsync\n", 2, {},
       [] { ::chown(".", 0, 4242), ::chmod(".", 0770); }},
      {"mp owned by another user", kOk, "",
       "magsync: mp: owned by user 4321" + refuse + "4321 --regid=0 --clear-groups magsync\n", 2, {},
       [] { ::chown("mp", 4321, 0); }},
      {"mp anyone may write", kOk, "", "magsync: mp: writable by anyone" + refuse + "0 --regid=0 --init-groups magsync\n",
       2, {}, [] { ::chown("mp", 0, 0), ::chmod("mp", 0666); }},
  };
  for (const Case& c : cases) check(c);

  // A directory of root's own works as before, names outside it included.
  Scratch work;
  for (const auto& [name, bytes] : with(kOk, "s.txt", "-> data/s.txt")) {
    if (name != "s.txt") work.write(name, bytes);
  }
  std::filesystem::create_directory(work / "data");
  work.write("data/s.txt", kS + "\n");
  std::filesystem::create_symlink("data/s.txt", work / "s.txt");
  Outcome r = run_magsync(work);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(work.read("data/s.txt"), kOut + "\n");
}

TEST(Run, SymbolicLinkStaysALinkAndModeIsKept) {
  Scratch work;
  work.write("mp", "k.txt\ns.txt\n");
  work.write("k.txt", kK + "\n");
  std::filesystem::create_directory(work / "data");
  work.write("data/real.txt", kS + "\n");
  ::chmod((work / "data/real.txt").c_str(), 0640);
  std::filesystem::create_symlink("data/real.txt", work / "s.txt");
  Outcome r = run_magsync(work);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(work.entries().at("s.txt"), "-> data/real.txt");
  EXPECT_EQ(work.read("data/real.txt"), kOut + "\n");
  struct stat st;
  ASSERT_EQ(::stat((work / "data/real.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(work / "data"), {}), 1);
}

TEST(Run, HardLinksAndInodeStayWhenTheLengthDoes) {
  const std::string detached =
      "magsync: s.txt: warning: the file had 1 other hard link(s); they keep the old first line\n";
  const std::string shared = "magsync: s.txt: warning: the file has 1 other hard link(s); they show the new line too\n";
  for (bool same : {true, false}) {
    SCOPED_TRACE(same ? "same length" : "length change");
    Scratch work;
    const std::string s = same ? card_of(kS) : kS;
    for (const auto& [name, bytes] : with(kOk, "s.txt", s + "\n")) work.write(name, bytes);
    ASSERT_EQ(::link((work / "s.txt").c_str(), (work / "other.txt").c_str()), 0);
    struct stat before, after;
    ::stat((work / "s.txt").c_str(), &before);
    Outcome r = run_magsync(work);
    ::stat((work / "s.txt").c_str(), &after);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, same ? shared : detached);
    EXPECT_EQ(work.read("s.txt"), kOut + "\n");
    EXPECT_EQ(work.read("other.txt"), same ? kOut + "\n" : s + "\n");
    EXPECT_EQ(after.st_ino == before.st_ino, same);
    EXPECT_EQ(run_magsync(work).err, "");  // again: nothing written, so nothing to warn of
  }
}

// As an unprivileged member of the S file's group, in a directory that
// member may not write (same length) or may (length change): the line is
// rewritten in place, but a replacement, which would change the owner, is
// refused.
TEST(Run, AGroupMemberKeepsOwnerGroupAndMode) {
  if (::geteuid() != 0 && !std::getenv("CI")) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(::geteuid(), 0u) << "needs root to act as another user";
  const auto refused = [](const std::string& owner, const std::string& group) {
    return "magsync: s.txt: line 1 has 65 characters, not 115, so the file must be replaced, which only its owner (" +
           owner + ") or root may do without changing its owner or group (" + group +
           "); once they have run magsync on it, later runs rewrite it in place; the file is unchanged\n";
  };
  const passwd* daemon_user = ::getpwuid(1);  // users by name where they have one
  const group* daemon_group = ::getgrgid(1);
  ASSERT_TRUE(daemon_user && daemon_group) << "no user or group 1";
  const std::string no_room =
      "magsync: s.txt: cannot rewrite: creation of the new file: Permission denied (line 1 has 65 characters, not 115, so the file must be "
      "written anew beside it, in its directory); the file is unchanged\n";
  // The same length, in a directory the member may not write; a length
  // change, in one the member may write (refused, also with a file of user
  // and group 1), and in one it may not.
  for (auto [same, dir_mode, uid, gid, err] :
       {std::tuple{true, 0755, 4321u, 4242u, std::string()}, std::tuple{false, 0777, 4321u, 4242u, refused("4321", "4242")},
        std::tuple{false, 0777, 1u, 1u, refused(daemon_user->pw_name, daemon_group->gr_name)},
        std::tuple{false, 0755, 4321u, 4242u, no_room}}) {
    SCOPED_TRACE(same ? "same length" : "length change");
    Scratch work;
    const std::string s = same ? card_of(kS) : kS;
    for (const auto& [name, bytes] : with(kOk, "s.txt", s + "\n")) work.write(name, bytes);
    const std::string path = work / "s.txt";
    ASSERT_EQ(::chown(path.c_str(), uid, gid), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0664), 0);
    const std::string exe = public_exe(work);
    ::chmod(work.path().c_str(), static_cast<mode_t>(dir_mode));
    Outcome r = run_magsync(work, [] {
      const gid_t groups[] = {4242, 1};
      if (::setgroups(2, groups) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(125);
    }, exe);
    EXPECT_EQ(r.status, same ? 0 : 2);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(work.read("s.txt"), same ? kOut + "\n" : kS + "\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(work.path()), {}), 3);
    struct stat st;
    ::stat(path.c_str(), &st);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_gid, gid);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
  }
}

// A real run, with strace making one of its system calls fail, deliver a
// signal, or stop it (SIGSTOP) while another program acts, then let it go on.
struct Traced {
  const char* name;
  std::vector<std::string> inject;  // strace -e inject=... specifications
  void (*during)(const Scratch&);   // another program, while the run is stopped
  int status;
  std::string s, err;  // s.txt afterwards, and standard error
  mode_t mode = 0644;
  bool ignore_term = false;  // SIGTERM is ignored when magsync starts
};
void chmod_600(const Scratch& w) { ::chmod((w / "s.txt").c_str(), 0600); }
void append(const Scratch& w) { std::ofstream(w / "s.txt", std::ios::app) << "appended\n"; }
// The last byte made 'Z', the size and the times kept (rsync --inplace -t):
// on a filesystem with whole-second times, only the bytes tell.
void rewrite_keeping_times(const Scratch& w) {
  struct stat st;
  ::stat((w / "s.txt").c_str(), &st);
  const int fd = ::open((w / "s.txt").c_str(), O_WRONLY);
  EXPECT_EQ(::pwrite(fd, "Z", 1, st.st_size - 1), 1);
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(fd, times);
  ::close(fd);
}
const std::string kChanged = "magsync: s.txt: changed by another program while magsync ran; not rewritten\n";

#ifndef MAGSYNC_POSIX  // which has no nameless new file
// Which openat of a matching run on an S file holding S makes the call
// that MARKER names, counted by strace (the C library and a sanitizer's
// runtime open files of their own first).
int nth_call(const std::string& s, const std::string& marker) {
  Scratch work, io;
  for (const auto& [name, bytes] : with(kOk, "s.txt", s)) work.write(name, bytes);
  run_magsync(work, {}, MAGSYNC_EXE, nullptr, {"/usr/bin/strace", "-f", "-qq", "-o", io / "trace", "-e", "trace=openat"});
  std::istringstream trace(io.read("trace"));
  int n = 0;
  for (std::string line; std::getline(trace, line);)
    if (line.find("openat(") != line.npos && (++n, line.find(marker) != line.npos)) return n;
  ADD_FAILURE() << "no " << marker << " in a traced run";
  return 0;
}
#endif

TEST(Run, SignalsFailuresAndChangesDuringTheRun) {
  const std::string rest = "phase line\n";
  const std::string old = kS + "\n" + rest, now = kOut + "\n" + rest;
  // A chmod made once the new file has its mode, before it takes the old
  // one's place. The rest of the file moves by an odd number of bytes: a
  // buffer copies it, after the new card's write (the first pwrite64).
  const std::string copy = "pwrite64";
#ifdef MAGSYNC_POSIX  // always a named new file, put in place by rename
  const std::string exchange = "renameat", named = "";
#else  // the openat that makes the nameless new file, counted in a run like these
  const std::string exchange = "renameat2", named = "openat:error=EOPNOTSUPP:when=" + std::to_string(nth_call(old, "O_TMPFILE"));
#endif
  const Traced cases[] = {
      {"SIGTERM as the new file is given its mode", {"fchmod:signal=SIGTERM"}, nullptr, 128 + SIGTERM, old, ""},
      {"SIGTERM as the exchange fails", {exchange + ":error=EPERM:signal=SIGTERM"}, nullptr, 128 + SIGTERM, old, ""},
      {"SIGTERM ignored at the start stays ignored", {"fchmod:signal=SIGTERM"}, nullptr, 0, now, "", 0644, true},
      {"SIGTERM as the exchange fails, a named new file", {named, exchange + ":error=EPERM:signal=SIGTERM"}, nullptr,
       128 + SIGTERM, old, ""},
      {"SIGUSR1 as the exchange is made: the rewrite completes first", {exchange + ":signal=SIGUSR1"}, nullptr,
       128 + SIGUSR1, now, ""},
      {"SIGALRM while the named new file is written", {named, copy + ":signal=SIGALRM"}, nullptr, 128 + SIGALRM, old,
       ""},
      {"a chmod during the run is kept", {"fchmod:signal=SIGSTOP:when=1"}, chmod_600, 2, old, kChanged, 0600},
      {"no exchange (FUSE, NFS)", {"renameat2:error=EINVAL"}, nullptr, 0, now, ""},
      {"no exchange, and a line appended during the copy", {"renameat2:error=EINVAL", copy + ":signal=SIGSTOP:when=1"},
       append, 2, old + "appended\n", kChanged},
      {"a same-size change keeping the times, once copied", {"fsync:signal=SIGSTOP:when=1"},
       rewrite_keeping_times, 2, old.substr(0, old.size() - 1) + "Z", kChanged},
  };
  for (const Traced& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch work;
    for (const auto& [name, bytes] : with(kOk, "s.txt", old)) work.write(name, bytes);
    Scratch io;
    Fifo trace(io);
    std::vector<std::string> strace = {"/usr/bin/strace", "-f", "-qq", "-o", c.during ? trace.path() : "/dev/null"};
    for (const std::string& i : c.inject)
      if (!i.empty()) strace.insert(strace.end(), {"-e", "inject=" + i});
    auto ignore = [] { std::signal(SIGTERM, SIG_IGN); };
    Outcome r = run_magsync(work, c.ignore_term ? ignore : std::function<void()>(), MAGSYNC_EXE, nullptr, strace,
                            [&](pid_t) {
                              if (!c.during) return;
                              const pid_t run = stopped(trace);
                              EXPECT_GT(run, 0) << "magsync never stopped";
                              if (run > 0) c.during(work);
                              resume(trace, run);
                            });
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(work.entries(), with(with(kOk, "s.txt", c.s), "mp", "k.txt\ns.txt\n"));
    struct stat st;
    ::stat((work / "s.txt").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
  }
}

#ifdef MAGSYNC_POSIX
const std::string kLockCall = "inject=flock";
#else
const std::string kLockCall = "inject=fcntl";
#endif
// Two runs on one S file, through links from two event directories: the
// first is stopped just before it writes, holding the lock; the second waits
// its turn and then finds the line changed. Neither magnitude is ever mixed
// with the other.
TEST(Run, TwoRunsOnOneSFileTakeTurns) {
  Scratch data, a, b;
  data.write("s.txt", card_of(kS) + "\n");
  for (auto [dir, mag] : {std::pair{&a, "33"}, std::pair{&b, "21"}}) {
    dir->write("mp", "k.txt\ns.txt\n");
    dir->write("k.txt", kK.substr(0, 34) + mag + "\n");
    std::filesystem::create_symlink(data / "s.txt", *dir / "s.txt");
  }
  Scratch io1, io2;
  Fifo first_trace(io1), second_trace(io2);
  Outcome second;
  Outcome first = run_magsync(a, {}, MAGSYNC_EXE, nullptr,
                              {"/usr/bin/strace", "-f", "-qq", "-o", first_trace.path(), "-P", data / "s.txt", "-e",
                               "inject=pread64:signal=SIGSTOP:when=1"},  // its first read of the S file itself
                              [&](pid_t) {
                                const pid_t holder = stopped(first_trace);
                                EXPECT_GT(holder, 0) << "the first run never stopped";
                                // The second stopped just after its first try at the lock.
                                second = run_magsync(b, {}, MAGSYNC_EXE, nullptr,
                                                     {"/usr/bin/strace", "-f", "-qq", "-o", second_trace.path(), "-P",
                                                      data / "s.txt", "-e", kLockCall + ":signal=SIGSTOP:when=1"},
                                                     [&](pid_t) {
                                                       const pid_t waiter = stopped(second_trace);
                                                       EXPECT_GT(waiter, 0) << "the second never tried the lock";
                                                       resume(first_trace, holder);
                                                       resume(second_trace, waiter);
                                                     });
                              });
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(second.status, 2);
  EXPECT_EQ(second.err, kChanged);
  EXPECT_EQ(data.read("s.txt"), card_of(kS.substr(0, 34) + "33" + kS.substr(36)) + "\n");
}

TEST(Run, ReadOnlySFileIsNeverReplaced) {
  // Run as an ordinary user in a directory that user may write: permission
  // bits do not stop root, so root gives its rights up first.
  const bool root = ::geteuid() == 0;
  auto as_nobody = [root] {
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(125);
  };
  for (bool match : {true, false}) {
    SCOPED_TRACE(match ? "matching" : "not matching");
    Scratch work;
    const std::string s = match ? kS : kFar;
    for (const auto& [name, bytes] : with(kOk, "s.txt", s + "\n")) work.write(name, bytes);
    ::chmod((work / "s.txt").c_str(), 0444);
    const std::string exe = public_exe(work);
    ::chmod(work.path().c_str(), 0777);
    Outcome r = run_magsync(work, as_nobody, exe);
    ASSERT_NE(r.status, 125) << "magsync cannot be run as user nobody";
    if (match) {
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.err, "magsync: s.txt: cannot open for writing: Permission denied; the file is unchanged\n");
      EXPECT_EQ(r.out, echoed());
    } else {
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, echoed(kK, kFar, kFarValues) + " Done\n");
    }
    EXPECT_EQ(work.entries(), with(kOk, "s.txt", s + "\n"));
  }
}

}  // namespace

namespace {

// Event directories for a batch, each given as its files, and its name as
// the report shows it: one-to-one, so that it can be read back.
struct Event {
  std::string dir;
  Files files;
  std::string shown;
};
std::vector<Event> events() {
  const std::string updated = card_of(kOut) + "\n";
  return {
      {"match, length change", kOk, "\"match, length change\""},
      {"match\tsame length", with(kOk, "s.txt", card_of(kS) + "\n"), "\"match\\x09same length\""},
      {"already updated", with(kOk, "s.txt", updated), "\"already updated\""},
      {"no match", with(kOk, "s.txt", kFar + "\n"), "\"no match\""},
      {"two warnings", with(kOk, "k.txt", "261209" + kK.substr(6, 10) + "S" + kK.substr(17) + "\n"), "\"two warnings\""},
      {"no K file", {{"mp", "k.txt\ns.txt\n"}, {"s.txt", kS + "\n"}}, "\"no K file\""},
      {"bad card", with(kOk, "k.txt", "2612081201 7a536N3000120W1530 12.023\n"), "\"bad card\""},
      {"empty S\nfile", with(kOk, "s.txt", ""), "\"empty S\\x0afile\""},
      {"no mp", {{"k.txt", kK + "\n"}}, "\"no mp\""},
      {"tab\\x09name", kOk, "\"tab\\\\x09name\""},  // a backslash, not a tab
      {"\"q\"", with(kOk, "s.txt", kFar + "\n"), "\"\\\"q\\\"\""},
      {"Z\xc3\xbcrich", kOk, "Z\xc3\xbcrich"},            // UTF-8 as it stands
      {"bad\xc3", kOk, "\"bad\\xc3\""},                    // not UTF-8
      {"c1\xc2\x85", kOk, "\"c1\\xc2\\x85\""},             // UTF-8, but a control character
  };
}
std::vector<std::string> dirs(const std::vector<Event>& evs) {
  std::vector<std::string> all;
  for (const Event& e : evs) all.push_back(e.dir);
  return all;
}
void make(const Scratch& root, const std::vector<Event>& evs) {
  for (const Event& e : evs) {
    std::filesystem::create_directory(root / e.dir);
    for (const auto& [name, bytes] : e.files) root.write(e.dir + "/" + name, bytes);
  }
}
Files tree(const Scratch& root, const std::vector<Event>& evs) {
  Files all;
  for (const Event& e : evs)
    for (const auto& entry : std::filesystem::directory_iterator(root / e.dir))
      all[e.dir + "/" + entry.path().filename().string()] = Scratch::slurp(entry.path());
  return all;
}
// Drops the events' files from the cache: a batch reads them from the disk, and reads ahead.
void uncache(const Scratch& root, const std::vector<Event>& evs) {
  for (const auto& [name, bytes] : tree(root, evs)) {
    const int fd = ::open((root / name).c_str(), O_RDONLY);
    if (fd >= 0 && ::fdatasync(fd) == 0) (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    if (fd >= 0) ::close(fd);
  }
}
// Whether FILE is still out of the cache after uncache(): a read that asks
// the cache alone finds nothing, as the batch's does (tmpfs and FUSE cannot
// tell; btrfs keeps a small file's data in its cached metadata). The read
// it starts fills the cache: uncache() again, which waits for that read.
bool uncached(const std::string& file) {
  char c;
  iovec v = {&c, 1};
  const int fd = ::open(file.c_str(), O_RDONLY);
  const bool out = ::preadv2(fd, &v, 1, 0, RWF_NOWAIT) < 0 && errno == EAGAIN;
  ::close(fd);
  return out;
}
// Runs magsync with ARGS in ROOT, the NUL-separated names on standard input.
Outcome batch(const Scratch& root, const std::vector<std::string>& names, const std::vector<std::string>& args,
              const std::vector<std::string>& prefix = {}, char end = '\0', void (*before)() = nullptr,
              const std::function<void(pid_t)>& during = {}) {
  Scratch in;
  std::string input;
  for (const std::string& n : names) input += n + end;
  in.write("names", input);
  const std::string path = in / "names";
  return run_magsync(root, [path, before] {
    const int fd = ::open(path.c_str(), O_RDONLY);
    ::dup2(fd, 0);
    if (before) before();
  }, MAGSYNC_EXE, nullptr, prefix, during, args);
}
// From now on the system call NR fails with ERR in this process and those
// it starts (a seccomp filter).
void fail_call(long nr, int err) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(err)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog = {static_cast<unsigned short>(std::size(filter)), filter};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
    ::_exit(125);
}
// syncfs fails, so that a batch syncs each file by itself, whatever the
// system's dirty data, even where strace traces only one path.
void syncfs_fails() { fail_call(__NR_syncfs, EIO); }
// Report lines by directory.
std::map<std::string, std::string> rows(const std::string& report) {
  std::map<std::string, std::string> r;
  std::istringstream in(report);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "directory\tstatus\toutcome\tbefore\tafter\tdiagnostics");
  while (std::getline(in, line))
    EXPECT_TRUE(r.emplace(line.substr(0, line.find('\t')), line.substr(line.find('\t') + 1)).second) << line;
  return r;
}

}  // namespace

// Each directory's row says what a single run there does, and the batch
// leaves every file as the single runs leave theirs.
TEST(Batch, ReportsWhatSingleRunsDo) {
  const std::vector<Event> evs = events();
  Scratch single, batched;
  make(single, evs);
  make(batched, evs);
  const std::vector<std::string> names = dirs(evs);
  std::map<std::string, std::string> want;
  for (const Event& e : evs) {
    Outcome r = run_magsync(single, [d = single / e.dir] { (void)::chdir(d.c_str()); });
    std::string err = r.err;
    std::replace(err.begin(), err.end(), '\n', ' ');
    if (!err.empty()) err.pop_back();
    const bool matched = r.out.find("\n2612") != r.out.npos;
    const std::string outcome = r.status != 0 ? "failed" : !matched ? "no match"
                                : e.dir == "already updated" ? "unchanged" : "rewritten";
    // The S card's magnitude columns as read and as they are now, where the cards matched.
    const std::string before = matched ? e.files.at("s.txt").substr(34, 2) : "";
    const std::string after = matched && r.status == 0 ? "23" : "";
    want[e.shown] = std::to_string(r.status) + "\t" + outcome + "\t" + before + "\t" + after + "\t" + err;
  }
  // A preview first: the same rows but "would rewrite", a missing mp said
  // rather than created, and nothing opened for writing or created.
  // Files read from the disk are read ahead, by a thread that writes nothing either.
  Scratch previewed, io;
  make(previewed, evs);
  const Files untouched = tree(previewed, evs);
  // The batch must read ahead where most control files wait for the disk
  // when asked (a page busy as it is dropped stays cached: they are dropped
  // up to five times), and must not where none does (the filesystem cannot
  // tell, or keeps them). Whether a read waits is asked of every one.
  std::size_t mps = 0, cold = 0;
  for (const Event& e : evs) mps += e.files.contains("mp");
  for (int tries = 0; tries < 5 && cold * 2 < mps; ++tries) {
    uncache(previewed, evs);
    cold = 0;
    for (const Event& e : evs) cold += e.files.contains("mp") && uncached(previewed / (e.dir + "/mp"));
    uncache(previewed, evs);
  }
  const bool ahead = cold * 2 >= mps;
  // Last, another user's directory, and another user's mp: as root, nothing
  // their mp names is read, not even ahead. The batch waits before them, in
  // "held" (its K file a FIFO), until the trace shows the thread has read
  // ahead past them, in "witness"; only then is the FIFO's writer let in.
  std::vector<std::string> listed = names;
  make(previewed, {{"held", kOk, ""}, {"witness", with(kOk, "mp", "witness.k\n"), ""}});
  std::filesystem::remove(previewed / "held/k.txt");
  ::mkfifo((previewed / "held/k.txt").c_str(), 0600);
  ::mkfifo((previewed / "witness/witness.k").c_str(), 0600);
  listed.push_back("held");
  bool root = true;
  for (const std::string chowned : {"theirs", "their-mp/mp"}) {
    const std::string dir = chowned.substr(0, chowned.find('/'));
    make(previewed, {{dir, with(kOk, "mp", "theirs.k\ntheirs.s\n"), ""}});
    root = ::chown((previewed / chowned).c_str(), 4321, 4242) == 0 && root;
    listed.push_back(dir);
  }
  listed.push_back("witness");
  Fifo trace(io);
  std::string calls;
  Outcome p = batch(previewed, listed, {"--batch", "--null", "--check"},
                    {"/usr/bin/strace", "-f", "-qq", "-o", trace.path(), "-e", "trace=%file,%desc,clone,clone3"}, '\0',
                    nullptr, [&](pid_t) {
                      if (ahead) calls = trace.until("witness.k");
                      std::thread writer([k = previewed / "held/k.txt"] { ::close(::open(k.c_str(), O_WRONLY | O_CLOEXEC)); });
                      calls += trace.until("");
                      writer.join();
                    });
  auto preview = want;
  for (auto& [dir, row] : preview) {
    if (const std::size_t at = row.find("\trewritten\t"); at != row.npos) row.replace(at, 11, "\twould rewrite\t");
    if (dir == "\"no mp\"")
      row = "2\tfailed\t\t\tmagsync: mp: No such file or directory; a run would create it empty, and stop there";
  }
  EXPECT_EQ(p.status, 1) << p.err;
  auto previewed_rows = rows(p.out);
  for (const char* dir : {"held", "theirs", "their-mp", "witness"}) {
    EXPECT_TRUE(previewed_rows.at(dir).starts_with("2\tfailed\t")) << dir;  // refused, or a K file empty or missing
    previewed_rows.erase(dir);
  }
  EXPECT_EQ(previewed_rows, preview);
  EXPECT_EQ(tree(previewed, evs), untouched);
  EXPECT_EQ(calls.find("theirs.k") != calls.npos, !root);
  EXPECT_NE(calls.find("O_RDONLY"), calls.npos);  // the trace holds the run's opens
  if (ahead || cold == 0) {  // and the reading ahead, where runs wait for the disk
    EXPECT_EQ(calls.find("clone") != calls.npos, ahead) << cold << " of " << mps << " control files cold";
  }
  // It opens only regular files: witness's K file is a FIFO (which the batch, its mp short of a line, never opens).
  EXPECT_FALSE(std::regex_search(calls, std::regex(R"(openat\([0-9]+, "witness\.k")"))) << "a FIFO read ahead";
  for (const char* writes : {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TMPFILE", "F_OFD_SETLK", "pwrite", "rename"})
    EXPECT_EQ(calls.find(writes), calls.npos) << writes;

  uncache(batched, evs);
  Outcome b = batch(batched, names, {"--batch", "--null"});
  EXPECT_EQ(b.status, 1) << b.err;
  EXPECT_EQ(b.err, "");
  EXPECT_EQ(rows(b.out), want);
  std::string order = "directory\n";  // rows come in the list's order
  for (const Event& e : evs) order += e.shown + "\n";
  EXPECT_EQ(std::regex_replace(b.out, std::regex("\t.*"), ""), order);
  EXPECT_EQ(tree(batched, evs), tree(single, evs));
  EXPECT_EQ(want.at("\"already updated\""), "0\tunchanged\t23\t23\t");  // the table holds each outcome
  EXPECT_EQ(want.at("\"match\\x09same length\""), "0\trewritten\t19\t23\t");
}

// What must not hold a batch up or fail it: the same S file twice (its
// first write is let go before the second waits for the lock), few open
// files, a small stack, the list in a file; root refuses a listed name
// that is a symbolic link. Each row: the directories listed (a, b, c are
// matching events; "b -> a" lists b as a link to a), the limits, and the
// rows wanted in order.
TEST(Batch, HoldsNothingWhileItWaitsAndKeepsToItsLimits) {
  const std::string rewritten = "0\trewritten\t19\t23\t", unchanged = "0\tunchanged\t23\t23\t";
  std::string twenty;  // a to t, each rewritten
  std::vector<std::string> twenty_rows;
  for (char d = 'a'; d <= 't'; ++d) {
    twenty += std::string(1, d) + "\n";
    twenty_rows.push_back(std::string(1, d) + "\t" + rewritten);
  }
  const bool root = ::geteuid() == 0;
  struct {
    const char* name;
    std::string list;  // the list, as given; "<dir>" for a directory as standard input
    void (*limit)();
    bool from_file;  // FILE --batch (as a script may write it) rather than standard input
    std::vector<std::string> want;
    int status = 0;
    std::string err = "";
    std::string fails = "";   // a file or directory whose syncs strace fails, as INJECT says
    bool replaced = false;    // the S files' first lines change length
    std::string inject = "inject=fdatasync:error=EIO:when=1";
    bool warned = false;      // a's K card is of another day: a warning comes before the failure
  } cases[] = {
      {"one directory twice", "a\na\n", nullptr, false, {"a\t" + rewritten, "a\t" + unchanged}},
      {"one directory twice, its S file replaced", "a\na\n", nullptr, false, {"a\t" + rewritten, "a\t" + unchanged},
       0, "", "", true},
      {"two directories, one S file, replaced", "a\ns-of-a\n", nullptr, false,
       {"a\t" + rewritten, "s-of-a\t" + unchanged}, 0, "", "", true},
      {"two directories, one S file", "a\ns-of-a\nc\n", nullptr, false,
       {"a\t" + rewritten, "s-of-a\t" + unchanged, "c\t" + rewritten}},
      {"16 open files, 20 directories: a group that fits, nothing kept open", twenty, [] {
         rlimit lim{16, 16};
         ::setrlimit(RLIMIT_NOFILE, &lim);
       }, false, twenty_rows},
      {"24 open files, 20 directories: a group that fits", twenty, [] {
         rlimit lim{24, 24};
         ::setrlimit(RLIMIT_NOFILE, &lim);
       }, false, twenty_rows},
#ifndef MAGSYNC_SANITIZED  // the sanitizers need a larger stack of their own
      {"a 20 KiB stack, and replacements", "a\nb\n", small_stack<20>, false, {"a\t" + rewritten, "b\t" + rewritten},
       0, "", "", true},
#endif
      {"the list in a file, named before --batch, its last name without a line end", "a\nb", nullptr, true,
       {"a\t" + rewritten, "b\t" + rewritten}},
      {"names that cannot be entered", std::string("missing\n\na\0x\n", 13), nullptr, false,
       {"missing\t2\tfailed\t\t\tmagsync: missing: No such file or directory",
        "\"\"\t2\tfailed\t\t\tmagsync: : empty directory name",
        "\"a\\x00x\"\t2\tfailed\t\t\tmagsync: \"a\\x00x\": directory name holds a NUL byte"}, 1},
      {"a list that cannot be read", "<dir>", nullptr, false, {}, 2, "magsync: standard input: Is a directory\n"},
      {"the group's sync fails: the old line is put back", "a\nb\n", nullptr, false,
       {"a\t2\tfailed\t19\t19\tmagsync: s.txt: line 1, columns 1-6: warning: the cards' columns 1-6 differ (261209, "
        "261208); only the time of day is compared magsync: s.txt: cannot rewrite: fsync: Input/output error; the file is unchanged",
        "b\t" + rewritten}, 1, "", "a/s.txt", false, "inject=fdatasync:error=EIO:when=1", true},
      {"the group's sync fails, and so does the put-back's", "a\nb\n", nullptr, false,
       {"a\t2\tfailed\t19\t\tmagsync: s.txt: cannot rewrite: fsync: Input/output error; line 1 may hold part of the new card",
        "b\t" + rewritten}, 1, "", "a/s.txt", false, "inject=fdatasync:error=EIO"},
      {"a replacement's directory sync fails", "a\nb\n", nullptr, false,
       {"a\t2\tfailed\t19\t23\tmagsync: s.txt: cannot sync its directory: Input/output error; the S file has been rewritten",
        "b\t" + rewritten}, 1, "", "a", true, "inject=fsync:error=EIO"},
      {"root and a listed link", "a\nlink\n", nullptr, false,
       {"a\t" + rewritten, root ? "link\t2\tfailed\t\t\tmagsync: link: a symbolic link; root enters only the directory named"
                                : "link\t" + unchanged}, root},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch root_dir, in;
    const Scratch& top = root_dir;
    for (char d = 'a'; d <= 't'; ++d)
      make(top, {{std::string(1, d), with(kOk, "s.txt", (c.replaced ? kS : card_of(kS)) + "\n"), ""}});
    if (c.warned) top.write("a/k.txt", "261209" + kK.substr(6) + "\n");
    make(top, {{"s-of-a", with(kOk, "s.txt", ""), ""}});
    std::filesystem::remove(top / "s-of-a/s.txt");
    std::filesystem::create_symlink(top / "a/s.txt", top / "s-of-a/s.txt");
    std::filesystem::create_directory_symlink(top / "a", top / "link");
    const std::string path = c.list == "<dir>" ? in.path() : in / "list";
    if (c.list != "<dir>") in.write("list", c.list);
    const auto limit = c.limit;
    std::vector<std::string> strace;
    // A failed syncfs has each file synced by itself: the failure wanted
    // then comes whichever way the group would have been synced. The
    // files' syncs are made several at once, and strace counts each
    // thread's calls apart: the failure is made to the first file's first
    // sync, which the batch's own thread makes, and then its put-back.
    if (!c.fails.empty())
      strace = {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P", top / c.fails, "-e", c.inject};
    Outcome b = run_magsync(top, [path, limit, file = c.from_file, fails = !c.fails.empty()] {
      if (!file) ::dup2(::open(path.c_str(), O_RDONLY), 0);
      if (fails) syncfs_fails();
      if (limit) limit();
    }, MAGSYNC_EXE, nullptr, strace, {}, c.from_file ? std::vector<std::string>{path, "--batch"} : std::vector<std::string>{"--batch"});
    std::string want = "directory\tstatus\toutcome\tbefore\tafter\tdiagnostics\n";
    for (const std::string& row : c.want) want += row + "\n";
    EXPECT_EQ(b.out, want) << b.err;
    EXPECT_EQ(b.err, c.err);
    EXPECT_EQ(b.status, c.status);
    if (!c.fails.empty()) {
      EXPECT_EQ(top.read("a/s.txt"), card_of(c.replaced ? kOut : kS) + "\n");
    }
  }
}

// A batch lets go of what it holds before it waits: a's row is out (its
// line durable, its lock released) while the batch waits for the next name
// of a slow list, for another program's lock on b's S file, or for the
// writer of b's K file, a FIFO. Each waits
// for a's row itself; without it, the list's writer or the lock's holder
// would never let the batch go on (up to a bound no passing run reaches).
// A hangup meanwhile, ignored when the batch started (nohup), ends nothing;
// SIGTERM ends the wait for a FIFO (for its writer, or for the rest of a
// line), and the batch.
TEST(Batch, ARowIsOutBeforeTheBatchWaits) {
  enum Wait { input, lock, fifo, fifo_stopped, half_line_stopped };
  for (Wait wait : {input, lock, fifo, fifo_stopped, half_line_stopped}) {
    SCOPED_TRACE(wait == input ? "waiting for input" : wait == lock ? "waiting for a lock"
                 : wait == fifo ? "waiting for a FIFO" : wait == fifo_stopped ? "waiting for a FIFO, and SIGTERM"
                 : "waiting for the rest of a FIFO's line, and SIGTERM");
    const bool stopped = wait >= fifo_stopped;
    const bool lock_b = wait == lock;
    Scratch root, io;
    make(root, {{"a", with(kOk, "s.txt", card_of(kS) + "\n"), ""}, {"b", with(kOk, "s.txt", card_of(kS) + "\n"), ""}});
    if (wait >= fifo) {
      std::filesystem::remove(root / "b/k.txt");
      ::mkfifo((root / "b/k.txt").c_str(), 0600);
    }
    const std::string list = io / "list";
    ::mkfifo(list.c_str(), 0600);
    static int held;
    held = ::open((root / "b/s.txt").c_str(), O_RDWR | O_CLOEXEC);  // magsync must not hold it too
    if (lock_b) {
      ASSERT_TRUE(lock_file(held));
    }
    Fifo report(io);
    std::string rows;
    Outcome b = run_magsync(root, [path = report.path()] { ::dup2(::open(path.c_str(), O_WRONLY), 1), ::signal(SIGHUP, SIG_IGN); },
                            MAGSYNC_EXE, nullptr, {}, [&](pid_t batch) {
                              report.open();  // magsync waits for it before it starts
                              const int w = ::open(list.c_str(), O_WRONLY);
                              EXPECT_EQ(::write(w, "a\n", 2), 2);
                              if (wait != input) {
                                EXPECT_EQ(::write(w, "b\n", 2), 2);
                              }
                              rows = report.until("a\t");  // waits for a's row
                              EXPECT_NE(rows.find("\na\t"), rows.npos) << "a's row never came out while the batch waited";
                              ::kill(batch, SIGHUP);  // ignored when it started, so it stays ignored
                              ::close(held);  // and its lock
                              if (wait == input) {
                                EXPECT_EQ(::write(w, "b\n", 2), 2);
                              }
                              const std::string b_k = std::filesystem::canonical(root / "b/k.txt");
                              if (wait == fifo) {  // magsync holds it open to read: this open does not wait
                                const int k = ::open(b_k.c_str(), O_WRONLY | O_CLOEXEC);
                                const std::string line = kK + "\n";
                                EXPECT_EQ(::write(k, line.data(), line.size()), static_cast<ssize_t>(line.size()));
                                ::close(k);
                              }
                              const auto running = [batch] {  // or it has ended, and will read nothing more
                                siginfo_t ended{};
                                return ::waitid(P_PID, static_cast<id_t>(batch), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                                       ended.si_pid == 0;
                              };
                              // Once b's K file is open (a's row may have come out before b's run began,
                              // its group's time being up), so that the signal finds the batch at it.
                              const auto at_fifo = [&] {
                                std::error_code ec;
                                for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(batch) + "/fd", ec))
                                  if (std::filesystem::read_symlink(fd.path(), ec) == b_k) return true;
                                return false;
                              };
                              while (wait == fifo_stopped && !at_fifo() && running()) ::sched_yield();
                              int k = -1;
                              if (wait == half_line_stopped) {  // sent, and read: then magsync waits for the rest
                                k = ::open(b_k.c_str(), O_WRONLY | O_CLOEXEC);
                                EXPECT_EQ(::write(k, "26120812", 8), 8);
                                for (int queued = 1; ::ioctl(k, FIONREAD, &queued) == 0 && queued > 0 && running();) ::sched_yield();
                              }
                              if (stopped) ::kill(batch, SIGTERM);
                              ::close(w);
                              rows += report.until("");
                              if (stopped && !report.ended()) {  // the bound was reached: let the batch go
                                ADD_FAILURE() << "SIGTERM did not end the wait for b's K file";
                                ::close(::open(b_k.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
                              }
                              if (k >= 0) ::close(k);
                            }, {"--batch", list});
    EXPECT_EQ(b.status, stopped ? 128 + SIGTERM : 0) << b.err;
    EXPECT_EQ(rows, "directory\tstatus\toutcome\tbefore\tafter\tdiagnostics\na\t0\trewritten\t19\t23\t\n" +
                        std::string(stopped ? "b\t2\tfailed\t\t\tmagsync: k.txt: Interrupted system call\n"
                                                         : "b\t0\trewritten\t19\t23\t\n"));
  }
}

// A grouped line stays locked until its group is synced, though the run
// that wrote it has closed its own units: a batch stopped just after a's
// run holds a's S file against another program's lock.
TEST(Batch, AGroupedLineStaysLocked) {
  Scratch root, io;
  make(root, {{"a", with(kOk, "s.txt", card_of(kS) + "\n"), ""}});
  // One name: the second poll is where the batch finds the list's end. The
  // group's 50 ms was last looked at as a's line joined it, so a loaded
  // machine cannot have let it go by then.
  io.write("list", "a\n");
  const std::string list = io / "list";
  bool held = false;
  Fifo trace(io);
  Outcome b = run_magsync(root, {}, MAGSYNC_EXE, nullptr,
                          {"/usr/bin/strace", "-f", "-qq", "-o", trace.path(), "-e", "inject=poll:signal=SIGSTOP:when=2"},
                          [&](pid_t) {
                            const pid_t batch = stopped(trace);  // after a's run, before the list's end
                            EXPECT_GT(batch, 0);
                            const int fd = ::open((root / "a/s.txt").c_str(), O_RDWR | O_CLOEXEC);
                            held = !lock_file(fd);
                            ::close(fd);
                            resume(trace, batch);
                          }, {"--batch", list});
  EXPECT_TRUE(held);
  EXPECT_EQ(b.status, 0) << b.err;
}

// The failures of a report run again, by their names whatever they hold.
TEST(Batch, RetryRunsAReportsFailuresAgain) {
  const std::vector<Event> evs = events();
  Scratch root, io;
  make(root, evs);
  std::vector<std::string> names = dirs(evs);
  Outcome first = batch(root, names, {"--batch", "-0"});
  io.write("report", first.out);
  // The causes mended: every directory made to match.
  for (const Event& e : evs) {
    std::filesystem::remove_all(root / e.dir);
    make(root, {{e.dir, kOk, ""}});
  }
  Outcome again = run_magsync(root, {}, MAGSYNC_EXE, nullptr, {}, {}, {"--retry", io / "report"});
  std::size_t failed = 0;
  for (const auto& [dir, row] : rows(first.out)) failed += !row.starts_with("0\t");
  const auto rerun = rows(again.out);
  EXPECT_EQ(rerun.size(), failed) << again.err;
  for (const auto& [dir, row] : rerun) {
    EXPECT_EQ(row, "0\trewritten\t19\t23\t") << dir;
    EXPECT_FALSE(rows(first.out).at(dir).starts_with("0\t")) << dir;
  }
  io.write("bad", "directory\tstatus\n\"unended\t2\tfailed\n");
  EXPECT_EQ(run_magsync(root, {}, MAGSYNC_EXE, nullptr, {}, {}, {"--retry", io / "bad"}).status, 2);
}

// Where the batch's own streams go: with standard error a terminal, its
// last line is the counts (here a preview's); with a report that cannot be
// written, every directory rewritten is named on standard error, and the
// status is 2.
TEST(Batch, TellsItsCountsAndWhatItCouldNotReport) {
  Scratch root;
  make(root, {{"a", kOk, ""}, {"b", kOk, ""}, {"c", with(kOk, "k.txt", "no card\n"), ""}});
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  static std::string g_tty;
  g_tty = ::ptsname(master);
  Outcome on_tty = batch(root, {"a", "b", "c"}, {"--batch", "-0", "--check"}, {}, '\0', [] {
    ::dup2(::open(g_tty.c_str(), O_RDWR | O_NOCTTY), 2);
  });
  std::string tty;
  char buf[4096];
  for (ssize_t n; ::poll(std::array<pollfd, 1>{{{master, POLLIN, 0}}}.data(), 1, 0) > 0 && (n = ::read(master, buf, sizeof buf)) > 0;)
    tty.append(buf, static_cast<std::size_t>(n));
  ::close(master);
  EXPECT_EQ(on_tty.status, 1);
  ASSERT_FALSE(tty.empty());
  // The terminal ends each line with a carriage return too.
  EXPECT_EQ(tty.substr(tty.rfind("\rmagsync")), "\rmagsync: 3 directories: 2 would rewrite, 0 unchanged, 0 no match, 1 failed\r\n");

  // The header is written to the report, the row is not.
  make(root, {{"d", kOk, ""}});
  static Scratch g_io;
  const std::string report = g_io / "report";
  Outcome full = batch(root, {"d"}, {"--batch", "-0"},
                       {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P", report, "-e", "inject=write:error=ENOSPC:when=2"},
                       '\0', [] { ::dup2(::open((g_io / "report").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1); });
  EXPECT_EQ(full.status, 2);
  EXPECT_EQ(g_io.read("report"), "directory\tstatus\toutcome\tbefore\tafter\tdiagnostics\n");
  EXPECT_EQ(full.err, "magsync: standard output: No space left on device\nmagsync: d: rewritten, but not reported\n");
  EXPECT_EQ(root.read("d/s.txt"), kOut + "\n");
}

// Slices split one list without overlap; a usage error is status 2.
TEST(Batch, SlicesCoverTheListOnce) {
  const std::vector<Event> evs = events();
  Scratch root;
  make(root, evs);
  std::vector<std::string> names = dirs(evs);
  std::map<std::string, std::string> all;
  for (const char* slice : {"1/3", "2/3", "3/3"}) {
    uncache(root, evs);  // the slice's own directories are read ahead
    Outcome b = batch(root, names, {"--batch", "-0", "--slice", slice});
    for (const auto& [dir, row] : rows(b.out)) EXPECT_TRUE(all.emplace(dir, row).second) << dir;
  }
  EXPECT_EQ(all.size(), evs.size());
  // One a line without --null: the same directories (but for the name that
  // holds a newline), with the same statuses.
  std::erase_if(names, [](const std::string& n) { return n.find('\n') != n.npos; });
  auto lines = rows(batch(root, names, {"--batch"}, {}, '\n').out);
  EXPECT_EQ(lines.size(), names.size());
  for (const auto& [dir, row] : lines) EXPECT_EQ(row.substr(0, 2), all.at(dir).substr(0, 2)) << dir;
  for (const char* bad : {"0/3", "4/3", "1/0", "1", "x/2", "1/3x", "/3", ""}) {
    Outcome b = batch(root, names, {"--batch", "--slice", bad});
    EXPECT_EQ(b.status, 2) << bad;
    EXPECT_EQ(b.out, "") << bad;
  }
}

// Stopped at a file's sync (written in place), or at a replacement's
// directory's (replacements are grouped too, their directories synced
// together, several at once): held there (SIGSTOP), then sent SIGTERM from
// outside, as a user would, the batch finishes (syncs and
// reports) what it wrote and ends with 128+15; by SIGKILL, every reported
// directory is done and every other one old or new, never a mix. Either way
// the same batch run again finishes the job, and syncs each line it
// reports, unchanged ones too (they may not have been durable).
TEST(Batch, AStoppedBatchRunAgainFinishes) {
  for (const bool replaced : {false, true})
  for (int sig : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(std::to_string(sig) + (replaced ? ", replacements" : ", in place"));
    Scratch root, io;
    std::vector<Event> evs;
    const std::string old_s = (replaced ? kS : card_of(kS)) + "\n", new_s = card_of(kOut) + "\n";
    for (int i = 0; i < 200; ++i) evs.push_back({"ev" + std::to_string(i), with(kOk, "s.txt", old_s), ""});
    make(root, evs);
    std::vector<std::string> names = dirs(evs);
    // In place: within a group's sync, at ev100's file's. Replaced: at the
    // sync of ev100's directory, which a group's sync makes after the
    // exchange. (Whichever of the batch's threads makes it.)
    std::string stop_at = replaced ? "inject=fsync:signal=" : "inject=fdatasync:signal=";
    stop_at += sig == SIGTERM ? "SIGSTOP" : "SIGKILL";
    // syncfs fails in both runs, so that each file is synced by itself and
    // its sync can be stopped at and counted.
    Fifo trace_at(io);
    std::vector<std::string> strace = {"/usr/bin/strace", "-f", "-qq", "-o", trace_at.path(), "-e", stop_at};
    strace.insert(strace.end(), {"-P", root / (replaced ? "ev100" : "ev100/s.txt")});
    Outcome cut = batch(root, names, {"--batch", "-0"}, strace, '\0', syncfs_fails, [&](pid_t) {
      const pid_t held = sig == SIGTERM ? stopped(trace_at) : 0;  // one of its threads
      if (held > 0) ::kill(held, SIGTERM);  // kill() signals the whole process
      resume(trace_at, held);
    });
    EXPECT_EQ(cut.status, 128 + sig) << cut.err;
    const auto reported = rows(cut.out);
    std::size_t written = 0;
    for (const Event& e : evs) {
      const std::string now = root.read(e.dir + "/s.txt");
      written += now == new_s;
      if (reported.count(e.dir)) {
        EXPECT_EQ(reported.at(e.dir), "0\trewritten\t19\t23\t");
        EXPECT_EQ(now, new_s) << e.dir;
      } else {
        EXPECT_TRUE(now == old_s || now == new_s) << e.dir;
      }
    }
    EXPECT_GT(reported.size(), 0u);
    EXPECT_LT(written, evs.size());
    if (sig == SIGTERM) EXPECT_EQ(written, reported.size());  // what was written was finished
    else EXPECT_GT(written, reported.size());                 // the group being synced was not reported
    const std::string trace = io / "trace";
    Outcome again = batch(root, names, {"--batch", "-0"}, {"/usr/bin/strace", "-f", "-qq", "-o", trace, "-e", "trace=fsync,fdatasync"}, '\0', syncfs_fails);
    EXPECT_EQ(again.status, 0) << again.err;
    const auto rerun = rows(again.out);
    EXPECT_EQ(rerun.size(), evs.size());
    for (const auto& [dir, row] : rerun)
      EXPECT_TRUE(row == "0\trewritten\t19\t23\t" || row == "0\tunchanged\t23\t23\t") << row;
    for (const Event& e : evs) EXPECT_EQ(root.read(e.dir + "/s.txt"), new_s) << e.dir;
    // one sync of each line held; a new file's and its directory's for each replaced
    const std::string calls = io.read("trace");
    std::size_t syncs = 0;
    for (std::size_t at = 0; (at = calls.find("sync(", at)) != calls.npos; ++at) ++syncs;  // fsync, fdatasync
    EXPECT_EQ(syncs,
              evs.size() + (replaced ? evs.size() - written : 0)) << calls.substr(0, 300);
  }
}

// A group's files are synced several at once, their waits (a disk flush
// each, a FUSE daemon's reply) shared: the first calls each wait until all
// have begun (up to a minute, a bound no passing run reaches), which calls
// made one after another never would. Each call is made once; the helping
// threads hear no signal (the batch's own thread has the handlers' stack);
// where no thread can be started (n = 0: nine calls in a child whose clone
// fails), the batch's own thread makes every call.
TEST(Batch, AGroupsSyncsWaitTogether) {
  for (const std::size_t n : {1, 2, 3, 4, 9, 0}) {
    SCOPED_TRACE(n);
    const pid_t child = n ? 1 : ::fork();
    if (child == 0) fail_call(__NR_clone3, EAGAIN), fail_call(__NR_clone, EAGAIN);
    const std::size_t calls = n ? n : 9, together = n ? std::min(n, recordio::sys::kWays) : 1;
    std::mutex m;
    std::condition_variable cv;
    std::size_t begun = 0;
    std::vector<int> made(calls, 0);
    bool all_began = true, deaf = true;
    const pthread_t batch = ::pthread_self();
    auto each = [&](std::size_t i) {
      sigset_t mask;
      ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
      std::unique_lock lock(m);
      ++made[i];
      deaf = deaf && (::pthread_equal(::pthread_self(), batch) || ::sigismember(&mask, SIGTERM));
      if (++begun > together) return;
      cv.notify_all();
      all_began = all_began && cv.wait_for(lock, std::chrono::minutes(1), [&] { return begun >= together; });
    };
    recordio::sys::overlapped(calls, each);
    const bool ok = all_began && deaf && made == std::vector<int>(calls, 1);
    if (child == 0) ::_exit(ok ? 0 : 1);
    int status = 0;
    if (!n) ::waitpid(child, &status, 0);
    ASSERT_TRUE(ok && status == 0) << all_began << deaf << status;
  }
}
