#include "recordio/batch.h"
#include "recordio/console.h"
#include "recordio/group.h"
#include "recordio/unit.h"
#include "recordio/update.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <bit>
#include <charconv>
#include <string>

#include "recordio/detail/copy.h"
#include "tests/faults.h"
#include "tests/scratch.h"

namespace {

using recordio::Error;
using faults::Call;
using faults::Fault;
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

// Where the line last read lies, once the rest of it has been passed over:
// what an update replaces.
TEST(LastLine, TellsWhereTheLineAndItsEndLie) {
  const std::string a4095(4095, 'a');
  const std::tuple<const char*, std::string, std::size_t, off_t, off_t, std::string> cases[] = {
      {"short", "ab\ncd\n", 4, 0, 2, "\n"},
      {"crlf", "ab\r\ncd\n", 4, 0, 2, "\r\n"},
      {"no line end", "abcdef", 4, 0, 6, ""},
      {"crlf straddling byte 4096, line longer than its field", a4095 + "\r\nb", 10, 0, 4095, "\r\n"},
      {"lf at byte 4096, cr before it", a4095 + "\r\n", 4100, 0, 4095, "\r\n"},
      {"a lone cr at the end is data", a4095 + "\r", 10, 0, 4096, ""},
  };
  for (const auto& [name, bytes, w, start, length, end] : cases) {
    SCOPED_TRACE(name);
    Scratch dir;
    dir.write("f", bytes);
    Unit u;
    ASSERT_FALSE(u.open(dir / "f", Need::old));
    std::string buf(w, ' ');
    ASSERT_FALSE(u.read_field(buf, w));
    recordio::LineSpan span;
    ASSERT_FALSE(u.last_line(span));
    EXPECT_EQ(span.start, start);
    EXPECT_EQ(span.length, length);
    EXPECT_EQ(span.end, end);
  }
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

// What a unit says of a file it cannot use, and at which step: its open,
// a read after GOOD good ones, or the update.
TEST(Unit, SaysWhatItCannotDo) {
  Scratch dir;
  dir.write("mp", "k.txt\n");
  const std::string at = "magsync: " + dir.path();
  const struct {
    const char* name;
    std::string path;
    Need need;
    int good;     // reads that succeed first; -1: the open fails
    bool update;  // the update fails, after them
    Error::Kind kind;
    std::string text;
  } cases[] = {
      {"the old file missing", dir / "k.txt", Need::old, -1, false, Error::Kind::stop,
       at + "/k.txt: No such file or directory"},
      {"the end of file names the line (a name's trailing blanks dropped)", (dir / "mp") + "   ", Need::any, 1, false,
       Error::Kind::end_of_file, at + "/mp: line 2: unexpected end of file"},
      {"a system error is a read error (a directory opens, but does not read)", dir.path(), Need::old, 0, false,
       Error::Kind::read, at + ": Is a directory"},
      {"what is not a regular file is never rewritten", "/dev/zero", Need::update, 1, true, Error::Kind::stop,
       "magsync: /dev/zero: not a regular file; not rewritten"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unit u;
    std::string buf(18, ' ');
    recordio::Status e = u.open(c.path, c.need);
    for (int i = 0; !e && i <= c.good; ++i)
      e = i < c.good || !c.update ? u.read_field(buf, 18) : recordio::update_now(u, buf, "x");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), c.kind);
    EXPECT_EQ(std::string(e->text()) + std::string(e->fate_words()), c.text);
  }
  // A file to update is created where it is missing.
  Unit s;
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
  ASSERT_FALSE(recordio::update_now(u, buf, "2"));  // the three bytes read become one; the rest of the line stays
  EXPECT_EQ(dir.entries(), (std::map<std::string, std::string>{{"f", "one\n2 is long\r\nthree\n"}}));
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
    faults::inject(faults);
    auto e = recordio::update_now(u, card, std::string(115, 'N'));
    made = faults::made();
    faults::inject({});
    return e;
  }
  std::vector<faults::Made> made;  // the system calls the update made
  std::string path() const { return dir / "s.txt"; }
};

struct UpdateCase {
  const char* name;
  std::string before, after;
  std::vector<Fault> path;  // faults that choose the path
  Call taken;               // a call that only this path makes
  bool in_place = false;    // the file keeps its inode
};
const std::string kNew(115, 'N'), kRest = "second line\nthird, no line end";
#ifdef MAGSYNC_POSIX  // every replacement: a named new file, a rename, and a buffer
constexpr Call kNameless = Call::rename;
#else
constexpr Call kNameless = Call::link;
#endif
const std::string kPageLonger(115 + 4096, 'o');  // a page more than the card
const UpdateCase kPaths[] = {
    {"same length, in place, synced", std::string(115, 'o') + "\n" + kRest, kNew + "\n" + kRest, {}, Call::fsync, true},
    {"length change, nameless new file", "old\r\n" + kRest, kNew + "\r\n" + kRest, {}, kNameless},
    {"length change, named new file", "old", kNew + "\n", {{Call::tmpfile, 1, EOPNOTSUPP}}, Call::openat},
    {"length change, no exchange (NFS, FUSE)", "old\n" + kRest, kNew + "\n" + kRest,
     {{Call::tmpfile, 1, EOPNOTSUPP}, {Call::exchange, 0, EINVAL}}, Call::rename},
    {"a longer line: the card written in place, what follows it kept", kPageLonger + "\n" + kRest,
     kNew + kPageLonger.substr(115) + "\n" + kRest, {}, Call::pwrite, true},
    {"a longer last line without a line end: in place, still without one", kPageLonger,
     kNew + kPageLonger.substr(115), {}, Call::pwrite, true},
    {"length change, no locks", "old\n" + kRest, kNew + "\n" + kRest, {{Call::lock, 0, ENOLCK}}, kNameless},
    {"same length, no line end: one is added, so the file is replaced", std::string(115, 'o'), kNew + "\n", {},
     kNameless},
    {"length change, no exchange call (seccomp, an old kernel), no extended attributes or inode flags (NFS, FUSE)",
     "old\n" + kRest, kNew + "\n" + kRest,
     {{Call::exchange, 0, ENOSYS}, {Call::list_xattr, 0, EOPNOTSUPP}, {Call::get_flags, 0, ENOTTY},
      {Call::set_flags, 0, ENOTTY}}, Call::rename},
    {"length change, a directory that may not be read: the filesystem is synced", "old\n" + kRest,
     kNew + "\n" + kRest, {{Call::openat, 1, EACCES}}, Call::syncfs},
};
using Entries = std::map<std::string, std::string>;

// Calls N of S's update, each with the faults of path C added to EXTRA.
template <class F>
void each_call(const UpdateCase& c, F f) {
  SFile clean(c.before);
  struct stat was, now;
  ::stat(clean.path().c_str(), &was);
  ASSERT_FALSE(clean.update(c.path));
  ::stat(clean.path().c_str(), &now);
  ASSERT_EQ(clean.dir.entries(), (Entries{{"s.txt", c.after}}));
  ASSERT_EQ(now.st_ino == was.st_ino, c.in_place) << c.name;
  ASSERT_TRUE(std::ranges::any_of(clean.made, [&](const faults::Made& m) { return m.call == c.taken; }))
      << c.name << " took another path";
  // The new contents are synced before they take the file's place.
  const auto at = [&](Call call) {
    return std::ranges::find_if(clean.made, [&](const faults::Made& m) { return m.call == call; });
  };
  if (at(Call::rename) != clean.made.end() || at(Call::exchange) != clean.made.end()) {
    const auto commit = std::min(at(Call::rename), at(Call::exchange));
    ASSERT_LT(at(Call::fsync), commit) << c.name;
    // and the directory after it, or the filesystem where it may not be read
    ASSERT_TRUE(std::any_of(commit, clean.made.end(), [](const faults::Made& m) {
      return m.call == Call::fsync || m.call == Call::syncfs;
    })) << c.name;
  }
  for (const faults::Made& m : clean.made) {
    SCOPED_TRACE(std::string(c.name) + ", at " + m.text());
    f(m);
  }
}
std::vector<Fault> with(std::vector<Fault> path, std::initializer_list<Fault> more) {
  path.insert(path.end(), more);
  return path;
}

TEST(Update, AnyFailedCallIsWorkedAroundOrLeavesTheFileAsItWas) {
  for (const auto& c : kPaths) {
    each_call(c, [&](const faults::Made& m) {
      SFile s(c.before);
      auto e = s.update(with(c.path, {{m.call, m.nth, EIO, nullptr, true}}));
      auto entries = s.dir.entries();
      if (!e) {  // worked around
        EXPECT_EQ(entries, (Entries{{"s.txt", c.after}}));
        return;
      }
      const std::string text(e->text());
      switch (e->fate()) {
        case recordio::Fate::partial:  // line 1 may be damaged, never what follows it, nor its length
          EXPECT_EQ(entries.size(), 1u) << text;
          EXPECT_EQ(entries["s.txt"].size(), c.before.size()) << text;
          EXPECT_EQ(entries["s.txt"].substr(c.before.find('\n')), c.before.substr(c.before.find('\n'))) << text;
          return;
        case recordio::Fate::rewritten:
          EXPECT_EQ(entries["s.txt"], c.after) << text;
          EXPECT_EQ(text.find("replaced, but Input/output error"), text.npos) << text;
          break;
        case recordio::Fate::unchanged:
          EXPECT_EQ(entries, (Entries{{"s.txt", c.before}})) << text;
          EXPECT_TRUE(text.ends_with(": Input/output error")) << text;
          EXPECT_EQ(text.find("cannot rewrite: Input/output error"), text.npos) << text;  // the step is named
          break;
        default:
          ADD_FAILURE() << text;
      }
      EXPECT_EQ(entries.size(), 1u + (text.find("what it held is now") != text.npos)) << text;
    });
  }
}

// What another program does to the S file, just before one of the update's calls.
std::string g_path;
void append_line() { std::ofstream(g_path, std::ios::app) << "appended\n"; }
void rename_over() {
  std::ofstream(g_path + ".other") << "other\n";
  std::filesystem::rename(g_path + ".other", g_path);
}
void chmod_600() { ::chmod(g_path.c_str(), 0600); }
void remove_file() { ::unlink(g_path.c_str()); }
// The first line made longer, its first 115 bytes kept: writing 115 bytes
// now would leave a mix of the two lines.
void lengthen_line() {
  std::ofstream(g_path) << std::string(115, 'o') << "X\n" << kRest;
}
void set_xattr() { ::setxattr(g_path.c_str(), "user.note", "x", 1, 0); }
// The last byte changed, the size and the times kept (rsync --inplace -t).
void rewrite_keeping_times() {
  struct stat st;
  ::stat(g_path.c_str(), &st);
  const int fd = ::open(g_path.c_str(), O_WRONLY);
  EXPECT_EQ(::pwrite(fd, "Z", 1, st.st_size - 1), 1);
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(fd, times);
  ::close(fd);
}
// The same on a filesystem with whole-second times (set for the whole
// update by the test), within the second: only the bytes can tell; and a
// chmod there, which only the mode itself can tell.
void rewrite_within_a_whole_second() { rewrite_keeping_times(); }
void chmod_within_a_whole_second() { chmod_600(); }
std::string with_last_z(std::string s) { return s.empty() ? s : (s.back() = 'Z', s); }
// A line appended, the times kept.
void append_keeping_times() {
  struct stat st;
  ::stat(g_path.c_str(), &st);
  append_line();
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ::utimensat(AT_FDCWD, g_path.c_str(), times, 0);
}
// The name made a symbolic link to the old file (kept under another name).
void link_to_old() {
  std::filesystem::rename(g_path, g_path + ".old");
  std::filesystem::create_symlink(g_path + ".old", g_path);
}

TEST(Update, AnotherProgramsChangeIsNeverLost) {
  for (const auto& c : kPaths) {
    // On a filesystem without extended attributes no other program sets one
    // (and a POSIX-only build knows of none).
    bool xattrs = std::ranges::none_of(c.path, [](const Fault& f) { return f.call == Call::list_xattr; });
#ifdef MAGSYNC_POSIX
    xattrs = false;
#endif
    for (auto action : {append_line, rename_over, chmod_600, set_xattr, remove_file, link_to_old, rewrite_keeping_times,
                        append_keeping_times, rewrite_within_a_whole_second, chmod_within_a_whole_second}) {
      if (action == set_xattr && !xattrs) continue;
      each_call(c, [&](const faults::Made& m) {
        SFile s(c.before, [](const char* path) { ::chmod(path, 0644); });
        g_path = s.path();
        faults::whole_seconds(action == rewrite_within_a_whole_second || action == chmod_within_a_whole_second);
        auto e = s.update(with(c.path, {{m.call, m.nth, 0, action}}));
        faults::whole_seconds(false);
        if (e) {
          EXPECT_EQ(e->text(), "magsync: " + g_path + ": changed by another program while magsync ran");
          EXPECT_EQ(e->fate(), recordio::Fate::not_rewritten);
        }
        const std::string lines = e ? c.before : c.after;
        const auto entries = s.dir.entries();
        if (m.call == Call::rename) return;  // without an exchange, this moment is the one left
        // Nor can anything but the attributes, the size and the mtime tell a
        // change made just before the exchange, which itself moves the ctime.
        if (m.call == Call::exchange && (action == rewrite_keeping_times || action == rewrite_within_a_whole_second))
          return;
        // With whole seconds, the last check is the name's status, after the
        // bytes: a same-size change just before it is that moment too.
        if (m.call == Call::fstatat && action == rewrite_within_a_whole_second) return;
        if (action == rename_over) EXPECT_EQ(entries, (Entries{{"s.txt", "other\n"}}));
        else if (action == remove_file) EXPECT_EQ(entries, Entries{});
        else if (action == append_line || action == append_keeping_times)
          EXPECT_EQ(entries, (Entries{{"s.txt", lines + "appended\n"}}));
        else if (action == link_to_old) EXPECT_EQ(entries, (Entries{{"s.txt", "-> " + g_path + ".old"}, {"s.txt.old", lines}}));
        else if (action == rewrite_keeping_times || action == rewrite_within_a_whole_second) EXPECT_EQ(entries, (Entries{{"s.txt", with_last_z(lines)}}));
        else EXPECT_EQ(entries, (Entries{{"s.txt", lines}}));
        struct stat st;
        if (action != remove_file && ::stat(g_path.c_str(), &st) == 0) {
          EXPECT_EQ(st.st_mode & 07777, action == chmod_600 || action == chmod_within_a_whole_second ? 0600u : 0644u);
        }
        char note[4];
        if (action == set_xattr) {
          EXPECT_EQ(::getxattr(g_path.c_str(), "user.note", note, sizeof note), 1);
        }
      });
    }
  }
}

// Another program's change that only the update's own checks can see, and
// the file as it is left: before the run takes its lock, on every path, the
// name leads to another file, or line 1 has grown past what was read; the
// name swapped for a copy (with the same times: only its identity differs)
// just before the open for writing, and back before the line is checked, so
// that the write would land in the copy; the named new file written into
// before it is put in place.
void swap_to_copy() {
  std::filesystem::rename(g_path, g_path + ".orig");
  std::filesystem::copy_file(g_path + ".orig", g_path);
  struct stat st;
  ::stat((g_path + ".orig").c_str(), &st);
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ::utimensat(AT_FDCWD, g_path.c_str(), times, 0);
}
void swap_back() {
  std::filesystem::rename(g_path, g_path + ".copy");
  std::filesystem::rename(g_path + ".orig", g_path);
}
void write_into_new_file() {
  for (const auto& f : std::filesystem::directory_iterator(std::filesystem::path(g_path).parent_path()))
    if (f.path().filename().string().starts_with(".s.txt.magsync-")) std::ofstream(f.path(), std::ios::app) << "theirs\n";
}
TEST(Update, AChangeOnlyItsChecksCanSeeIsSeen) {
  struct Row {
    std::string name, before;
    std::vector<Fault> faults;
    Entries after;
  };
  std::vector<Row> rows = {
      {"the file written is the file read", std::string(115, 'o') + "\n",
       {{Call::open, 1, 0, swap_to_copy}, {Call::stat, 1, 0, swap_back}},
       {{"s.txt", std::string(115, 'o') + "\n"}, {"s.txt.orig", std::string(115, 'o') + "\n"}}},
      {"the named new file written into", "old\n" + kRest,
       {{Call::tmpfile, 1, EOPNOTSUPP}, {Call::fstat, 4, 0, write_into_new_file}}, {{"s.txt", "old\n" + kRest}}},
  };
  for (const auto& c : kPaths) {
    rows.push_back({c.name + std::string(", renamed over while the lock is waited for"), c.before,
                    with(c.path, {{Call::lock, 1, 0, rename_over}}), {{"s.txt", "other\n"}}});
    rows.push_back({c.name + std::string(", lengthened while the lock is waited for"), c.before,
                    with(c.path, {{Call::lock, 1, 0, lengthen_line}}),
                    {{"s.txt", std::string(115, 'o') + "X\n" + kRest}}});
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SFile s(r.before);
    g_path = s.path();
    auto e = s.update(r.faults);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->text(), "magsync: " + g_path + ": changed by another program while magsync ran");
    EXPECT_EQ(s.dir.entries(), r.after);
  }
}

// A named new file whose first name is taken tries another; a directory
// that may not be written (or a read-only filesystem) says why a new file
// is needed there; inode flags that cannot be given are warned of; the new
// file is locked from before it takes the name until its directory is
// synced, so that another run waits until the name is durable.
TEST(Update, ANewFileFindsItsWayOrSaysWhy) {
  struct {
    const char* name;
    std::vector<Fault> faults;
    std::string error, warning;
  } cases[] = {
      {"its first name taken", {{Call::tmpfile, 1, EOPNOTSUPP}, {Call::openat, 2, EEXIST}}, "", ""},
      {"a directory that may not be written", {{Call::tmpfile, 1, EACCES}, {Call::openat, 2, EACCES}},
       ": cannot rewrite: creation of the new file: Permission denied (line 1 has 3 characters, not 115, so the file must be written anew "
       "beside it, in its directory)", ""},
      {"a read-only filesystem", {{Call::tmpfile, 1, EROFS}, {Call::openat, 2, EROFS}},
       ": cannot rewrite: creation of the new file: Read-only file system (line 1 has 3 characters, not 115, so the file must be "
       "written anew beside it, in its directory)", ""},
      {"another run, as the directory is synced", {{Call::fsync, 2, 0, [] {
         const int fd = ::open(g_path.c_str(), O_RDWR | O_CLOEXEC);
         EXPECT_FALSE(lock_file(fd));
         ::close(fd);
       }}}, "", ""},
#ifndef MAGSYNC_POSIX
      {"inode flags that cannot be given", {{Call::set_flags, 0, EPERM}}, "", ": warning: inode flags not kept: d"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SFile s("old\n" + kRest, [](const char* path) { (void)std::system(("chattr +d " + std::string(path)).c_str()); });
    g_path = s.path();
    std::string reported;
    recordio::capture_reports(&reported);
    auto e = s.update(c.faults);
    recordio::capture_reports(nullptr);
    const std::string prefix = "magsync: " + s.path();
    EXPECT_EQ(e ? std::string(e->text()) : std::string(), c.error.empty() ? std::string() : prefix + c.error);
    EXPECT_EQ(reported, c.warning.empty() ? std::string() : prefix + c.warning);
    const std::string first = e ? std::string("old\n") : kNew + "\n";
    EXPECT_EQ(s.dir.read("s.txt"), first + kRest);
  }
}

// A replacement keeps set-user-ID, set-group-ID and sticky bits; and
// signals whose default action does not end the run do not end it, even
// while a named new file exists.
TEST(Update, AReplacementKeepsSpecialBitsAndOutlivesHarmlessSignals) {
  static const struct {
    mode_t mode;
    int sig;
  } cases[] = {{04644, 0}, {02754, 0}, {01644, 0}, {0644, SIGCHLD}, {0644, SIGURG}, {0644, SIGWINCH}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + ", signal " + std::to_string(c.sig));
    static int g_sig;
    static mode_t g_mode;
    g_sig = c.sig, g_mode = c.mode;
    SFile s("old\n" + kRest, [](const char* path) { ::chmod(path, g_mode); });
    const pid_t pid = ::fork();
    if (pid == 0) {
      auto e = s.update(c.sig ? std::vector<Fault>{{Call::tmpfile, 1, EOPNOTSUPP}, {Call::fsync, 1, 0, [] { ::raise(g_sig); }}}
                              : std::vector<Fault>{});
      ::_exit(e ? 1 : 0);
    }
    int ws = 0;
    ::waitpid(pid, &ws, 0);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << ws;
    struct stat st;
    ASSERT_EQ(::stat(s.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    EXPECT_EQ(s.dir.entries(), (Entries{{"s.txt", kNew + "\n" + kRest}}));
  }
}

// A signal at one call, and at a later one a failure or another program's
// change: only the S file is left, old or new, and never a mix.
TEST(Update, ASignalAtAnyMomentLeavesNoNewFile) {
  for (const auto& c : kPaths) {
    for (int sig : {SIGTERM, SIGUSR1, SIGALRM}) {
      each_call(c, [&](const faults::Made& m) {
        for (const Fault& later : {Fault{Call::exchange, 1, EPERM}, Fault{Call::fsync, 1, EIO},
                                   Fault{Call::exchange, 1, 0, append_line}}) {
          SCOPED_TRACE("signal " + std::to_string(sig) + ", then " + recordio::sys::name(later.call));
          SFile s(c.before);
          g_path = s.path();
          static int g_sig;
          static bool g_raised;  // a signal that was raised must end the run
          g_sig = sig;
          const pid_t pid = ::fork();
          if (pid == 0) {
            g_raised = false;
            auto e = s.update(with(c.path, {{m.call, m.nth, 0, [] { g_raised = ::raise(g_sig) == 0; }}, later}));
            ::_exit(g_raised ? 3 : e ? 1 : 0);
          }
          int ws = 0;
          ::waitpid(pid, &ws, 0);
          const auto entries = s.dir.entries();
          EXPECT_EQ(entries.size(), 1u);
          const std::string now = entries.begin()->second;
          EXPECT_TRUE(now.starts_with(c.before) || now.starts_with(c.after)) << now;
          EXPECT_TRUE(WIFSIGNALED(ws) ? WTERMSIG(ws) == sig : WEXITSTATUS(ws) != 3) << ws;
        }
      });
    }
  }
}

#ifndef MAGSYNC_POSIX  // only an exchange can need swapping back
// The old contents a diagnostic points to outlive a signal that waited.
TEST(Update, WhatTheFileHeldIsKeptWhenTheSwapBackFails) {
  SFile s("old\n" + kRest);
  g_path = s.path();
  const pid_t pid = ::fork();
  if (pid == 0) {
    auto e = s.update({{Call::exchange, 1, 0, [] { ::raise(SIGTERM); }},
                       {Call::exchange, 1, 0, append_line},
                       {Call::exchange, 2, EIO}});
    ::_exit(e ? 1 : 0);
  }
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGTERM);
  const auto entries = s.dir.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries.at("s.txt"), kNew + "\n" + kRest);
  EXPECT_EQ(entries.begin()->second, "old\n" + kRest + "appended\n") << entries.begin()->first;
}

#endif

// S named through a chain of links, each relative to its own directory: the
// file at the end is updated, and whatever call fails, every link stays a
// link.
TEST(Update, ALinkChainStaysLinksWhateverFails) {
  const auto make = [](const Scratch& dir) {
    std::filesystem::create_directory(dir / "data");
    dir.write("data/real.txt", "old\n");
    std::filesystem::create_symlink("real.txt", dir / "data/link.txt");
    std::filesystem::create_symlink("data/link.txt", dir / "s.txt");
  };
  Scratch clean_dir;
  make(clean_dir);
  Unit cu;
  ASSERT_FALSE(cu.open(clean_dir / "s.txt", Need::update));
  std::string card(115, ' ');
  ASSERT_FALSE(cu.read_field(card, 115));
  faults::inject({});
  ASSERT_FALSE(recordio::update_now(cu, card, kNew));
  const auto made = faults::made();
  EXPECT_EQ(clean_dir.read("data/real.txt"), kNew + "\n");
  for (const faults::Made& m : made) {
    SCOPED_TRACE(m.text());
    Scratch dir;
    make(dir);
    Unit u;
    ASSERT_FALSE(u.open(dir / "s.txt", Need::update));
    ASSERT_FALSE(u.read_field(card, 115));
    faults::inject({{m.call, m.nth, EIO}});
    auto e = recordio::update_now(u, card, kNew);
    faults::inject({});
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "s.txt"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "data/link.txt"));
    EXPECT_EQ(dir.read("data/real.txt"), e && e->fate() == recordio::Fate::unchanged ? "old\n" : kNew + "\n");
  }
}

#ifndef MAGSYNC_POSIX
// A directory's default ACL gives a new file entries the old one lacked:
// they are removed, so that the replacement is readable by no one more. And
// btrfs gives a new file the directory's btrfs.compression, which the old
// file has too: it is set over, not refused as existing (CI runs this on
// btrfs; elsewhere that row has nothing to try).
TEST(Update, InheritedAttributesAreRemoved) {
  for (const char* inherited : {"", "u:4322:r", "btrfs.compression"}) {
    SCOPED_TRACE(inherited);
    g_path = inherited;
    SFile s("old\n", [](const char* path) {
      const std::string dir = std::filesystem::path(path).parent_path();
      if (g_path == "btrfs.compression") {
        struct statfs fs;
        ASSERT_EQ(::statfs(path, &fs), 0);
        if (fs.f_type != BTRFS_SUPER_MAGIC) return g_path.clear();
        ASSERT_EQ(::setxattr(dir.c_str(), "btrfs.compression", "zstd", 4, 0), 0);
        ASSERT_EQ(::setxattr(path, "btrfs.compression", "zstd", 4, 0), 0);
        return;
      }
      ASSERT_EQ(std::system(("setfacl -d -m u:4321:rw " + dir).c_str()), 0);
      const std::string set = g_path.empty() ? "setfacl -b " : "setfacl -m " + g_path + " ";
      ASSERT_EQ(std::system((set + path).c_str()), 0);
    });
    const char* name = g_path == "btrfs.compression" ? "btrfs.compression" : "system.posix_acl_access";
    char before[256], after[256];
    const ssize_t n = ::getxattr(s.path().c_str(), name, before, sizeof before);
    auto e = s.update();
    ASSERT_FALSE(e) << e->text();
    EXPECT_EQ(::getxattr(s.path().c_str(), name, after, sizeof after), n);
    if (n > 0) {
      EXPECT_EQ(std::string_view(after, static_cast<std::size_t>(n)), std::string_view(before, static_cast<std::size_t>(n)));
    }
    EXPECT_EQ(s.dir.read("s.txt"), kNew + "\n");
  }
}
#endif

TEST(Update, ExtendedAttributesAndACLsStay) {
  for (const auto& c : kPaths) {
    SCOPED_TRACE(c.name);
    SFile s(c.before, [](const char* path) {
      ASSERT_EQ(std::system(("setfacl -m u:4321:rw,m::r " + std::string(path)).c_str()), 0);
      ASSERT_EQ(::setxattr(path, "user.origin", "k", 1, 0), 0);
      ASSERT_EQ(std::system(("chattr +d +A " + std::string(path)).c_str()), 0);
    });
    const std::string path = s.path();
    auto attributes = [&path] {
      char acl[256], origin[8];
      ssize_t a = ::getxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
      ssize_t o = ::getxattr(path.c_str(), "user.origin", origin, sizeof origin);
      struct stat st;
      ::stat(path.c_str(), &st);
      int flags = 0;
      const int fd = ::open(path.c_str(), O_RDONLY);
      ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
      ::close(fd);
      return std::string(acl, a > 0 ? a : 0) + "|" + std::string(origin, o > 0 ? o : 0) + "|" +
             std::to_string(flags & (FS_NODUMP_FL | FS_NOATIME_FL)) + "|" + std::to_string(st.st_mode);
    };
    const std::string before = attributes();
    EXPECT_GT(before.find('|'), 0u);  // an ACL is there to keep
    EXPECT_NE(before.find(std::to_string(FS_NODUMP_FL | FS_NOATIME_FL)), before.npos);  // and inode flags
    auto e = s.update(c.path);
    ASSERT_FALSE(e) << e->text();
    // A system without extended attributes or inode flags keeps the mode alone.
    bool mode_alone = std::ranges::any_of(c.path, [](const Fault& f) { return f.call == Call::list_xattr; });
#ifdef MAGSYNC_POSIX
    mode_alone = true;
#endif
    if (mode_alone) EXPECT_TRUE(attributes().ends_with(before.substr(before.rfind('|'))));
    else EXPECT_EQ(attributes(), before);
  }
#ifndef MAGSYNC_POSIX  // no extended attributes there
  // The names of the attributes cannot be read (the second call, once their
  // size is known): a replacement would lose them, and is refused.
  SFile s("old\n", [](const char* path) { ASSERT_EQ(::setxattr(path, "user.origin", "k", 1, 0), 0); });
  auto e = s.update({{Call::list_xattr, 2, EIO}});
  ASSERT_TRUE(e);
  EXPECT_EQ(e->fate(), recordio::Fate::unchanged) << e->text();
  EXPECT_TRUE(std::string(e->text()).ends_with(": Input/output error")) << e->text();  // that failure, not a later one
  EXPECT_EQ(s.dir.read("s.txt"), "old\n");
#endif
}

TEST(Update, RunsTakeTurns) {
  // Another run holds the lock; once the update has found it held, the
  // other run changes the line and lets go, or writes just what this run
  // would (then the line is unchanged, and synced all the same: it may not
  // be durable yet; a sync that fails leaves that line), or keeps the lock
  // past the wait.
  static int other;
  struct {
    const char* name;
    void (*let_go)();
    std::string error, after;
    int sync_err = 0;
  } cases[] = {
      {"another line", [] { EXPECT_EQ(::pwrite(other, "x", 1, 0), 1); ::close(other); },
       ": changed by another program while magsync ran", "x" + std::string(114, 'o')},
      {"this run's line", [] { EXPECT_EQ(::pwrite(other, kNew.data(), 115, 0), 115); ::close(other); }, "", kNew},
      {"this run's line, and the sync fails", [] { EXPECT_EQ(::pwrite(other, kNew.data(), 115, 0), 115); ::close(other); },
       ": cannot rewrite: fsync: Input/output error", kNew, EIO},
      {"never", nullptr, ": locked by another program", std::string(115, 'o')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SFile s(std::string(115, 'o') + "\n");
    other = ::open(s.path().c_str(), O_RDWR);
    ASSERT_TRUE(lock_file(other));
    // Let go at the third try: after one pause, not at once.
    auto e = s.update(c.let_go ? std::vector<Fault>{{Call::lock, 3, 0, c.let_go}, {Call::fsync, 1, c.sync_err}}
                               : std::vector<Fault>{});
    EXPECT_EQ(e ? std::string(e->text()) : "", c.error.empty() ? "" : "magsync: " + s.path() + c.error);
    EXPECT_EQ(s.dir.read("s.txt"), c.after + "\n");
    if (c.error.empty()) {
      EXPECT_TRUE(std::ranges::any_of(s.made, [](const faults::Made& m) { return m.call == Call::fsync; }));
      EXPECT_FALSE(std::ranges::any_of(s.made, [](const faults::Made& m) { return m.call == Call::pwrite; }));
    }
    if (!c.let_go) ::close(other);
  }
}

TEST(Update, ASparseFileStaysSparse) {
  // 1 GiB: the first line, data at 1 MiB and 2 MiB, and a hole at the end.
  // Every byte lands 112 later, and the holes stay holes.
  SFile s("old\n", [](const char* path) {
    const int fd = ::open(path, O_WRONLY);
    ASSERT_EQ(::pwrite(fd, "one\n", 4, off_t{1} << 20), 4);
    ASSERT_EQ(::pwrite(fd, "two\n", 4, off_t{2} << 20), 4);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 30), 0);
    ::close(fd);
  });
  ASSERT_FALSE(s.update());
  struct stat st;
  ASSERT_EQ(::stat(s.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, (off_t{1} << 30) + 112);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);
  const int fd = ::open(s.path().c_str(), O_RDONLY);
  for (const auto& [at, want] : {std::pair{(off_t{1} << 20) + 112, "one\n"}, std::pair{(off_t{2} << 20) + 112, "two\n"},
                                 std::pair{st.st_size - 4, std::string_view("\0\0\0\0", 4).data()}}) {
    char got[4];
    ASSERT_EQ(::pread(fd, got, 4, at), 4);
    EXPECT_EQ(std::string(got, 4), std::string(want, 4)) << at;
    char before;  // and the byte before each is still a hole's zero
    ASSERT_EQ(::pread(fd, &before, 1, at - 1), 1);
    EXPECT_EQ(before, '\0') << at;
  }
  ::close(fd);
}

// A group's writes made durable together: where one syncfs serves, it
// syncs them all; else (or when it fails, which does not say for which
// file) each file's own data is synced, every writeback started before any
// is waited for, then the directories. A file whose sync fails gets its
// old line back. Each row: the calls wanted, in order.
TEST(Group, SyncsEachFileWithTheirWaitsOverlapped) {
  const std::string now(115, 'N');
  const auto was = [](std::size_t i) { return std::string(115, static_cast<char>('a' + i)); };  // each its own
  const std::string each = "start_writeback #1, start_writeback #2, start_writeback #3, ";
  struct {
    const char* name;
    bool whole;  // on a filesystem one syncfs serves
    std::vector<Fault> faults;
    std::string calls;
    int failed;  // the entry that fails, or -1
  } cases[] = {
      {"all synced", false, {}, each + "fdatasync #1, fdatasync #2, fdatasync #3, fsync #1", -1},
      {"the second file's sync fails", false, {{Call::fdatasync, 2, EIO}},
       each + "fdatasync #1, fdatasync #2, fdatasync #3, pwrite #1, fdatasync #4, fsync #1", 1},
      {"a writeback cannot be started: only the overlap is lost", false, {{Call::start_writeback, 0, ENOSYS}},
       each + "fdatasync #1, fdatasync #2, fdatasync #3, fsync #1", -1},
      {"a replacement's directory cannot be synced", false, {{Call::fsync, 1, EIO}},
       each + "fdatasync #1, fdatasync #2, fdatasync #3, fsync #1", 3},
#ifndef MAGSYNC_POSIX  // no syncfs there
      {"one syncfs for the filesystem", true, {}, "syncfs #1", -1},
      {"the syncfs fails: each file by itself", true, {{Call::syncfs, 1, EIO}, {Call::fdatasync, 2, EIO}},
       "syncfs #1, " + each +
           "fdatasync #1, fdatasync #2, fdatasync #3, pwrite #1, fdatasync #4, fsync #1", 1},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch dir;
    recordio::Group g;
    for (int i = 0; i < 3; ++i) {
      const std::string path = dir / std::string("s").append(std::to_string(i));
      std::ofstream(path) << now << "\n";
      g.add(::open(path.c_str(), O_RDWR), 0, was(static_cast<std::size_t>(i)));
    }
    std::ofstream(dir / "new") << now << "\n";  // a replacement's new file, its directory synced last
    g.add_directory(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY), ::open((dir / "new").c_str(), O_RDWR));
    faults::syncfs_serves(c.whole);
    faults::inject(c.faults);
    g.sync();
    std::string calls;
    for (const auto& m : faults::made()) calls += (calls.empty() ? "" : ", ") + m.text();
    faults::inject({});
    faults::syncfs_serves(false);
    EXPECT_EQ(calls, c.calls);
    for (std::size_t i = 0; i < 4; ++i) {
      const bool failed = static_cast<int>(i) == c.failed;
      const auto e = g.failure(i, "s");
      ASSERT_EQ(e.has_value(), failed) << i;
      if (e) {
        EXPECT_EQ(std::string(e->text()) + std::string(e->fate_words()),
                  i < 3 ? "magsync: s: cannot rewrite: fsync: Input/output error; the file is unchanged"
                        : "magsync: s: cannot sync its directory: Input/output error; the file has been rewritten");
      }
      if (i < 3) {
        EXPECT_EQ(dir.read(std::string("s").append(std::to_string(i))), (failed ? was(i) : now) + "\n");
      }
    }
  }
  // One syncfs only where it reaches the disk and tells of a failed write,
  // and only while the system holds little other dirty data.
  constexpr long ext4 = 0xEF53, xfs = 0x58465342, btrfs = 0x9123683E, fuse = 0x65735546, nfs = 0x6969, tmpfs = 0x01021994;
  for (long type : {ext4, xfs, btrfs}) {
    EXPECT_TRUE(recordio::sync_whole(type, 0, true)) << type;
    EXPECT_TRUE(recordio::sync_whole(type, recordio::kQuietKib, true)) << type;
    EXPECT_FALSE(recordio::sync_whole(type, recordio::kQuietKib + 1, true)) << type;
    EXPECT_FALSE(recordio::sync_whole(type, -1, true)) << type;
    EXPECT_FALSE(recordio::sync_whole(type, 0, false)) << type;
  }
  for (long type : {fuse, nfs, tmpfs, -1L}) EXPECT_FALSE(recordio::sync_whole(type, 0, true)) << type;
}

// A replacement in a group (a batch): the new file waits, nameless, for the
// group's sync, which makes the group's new files durable (their syncs
// overlapping), then puts each in place, then syncs the directories. Made
// at once (a single run, or a named new file), only its directory waits.
// Each row: the calls of the group's sync, in order, and what the S file
// holds after it.
TEST(Group, SyncsReplacementsTogether) {
  const std::string old = "old\n", want = kNew + "\n";
  struct {
    const char* name;
    bool staged, whole;
    std::vector<Fault> faults;  // in the group's sync
    std::string calls;          // its calls of these: fsync, syncfs, link, exchange
    std::string after, error;
  } cases[] = {
      {"made at once: only its directory waits", false, false, {}, "fsync #1", want, ""},
      {"named (no nameless file here): made at once, even in a group", true, false, {}, "fsync #1", want, ""},
#ifndef MAGSYNC_POSIX  // no nameless file there: every replacement is made at once
      {"staged: synced, then put in place, then its directory", true, false, {},
       "fsync #1, link #1, exchange #1, fsync #2", want, ""},
      {"staged, where one syncfs serves: one for the new files, one for the names", true, true, {},
       "syncfs #1, link #1, exchange #1, syncfs #2", want, ""},
      {"staged, its sync fails: the file as it was", true, false, {{Call::fsync, 1, EIO}}, "fsync #1", old,
       ": cannot rewrite: fsync of the new file: Input/output error; the file is unchanged"},
      {"staged, changed by another program before its commit", true, false,
       {{Call::link, 1, 0, [] { std::ofstream(g_path, std::ios::app) << "more\n"; }}},
       "fsync #1, link #1", old + "more\n",
       ": changed by another program while magsync ran; not rewritten"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SFile s(old);
    g_path = s.path();
    recordio::Group g;
    const bool named = std::string_view(c.name).starts_with("named");
    faults::inject({{Call::tmpfile, named ? 1 : 99, EOPNOTSUPP}});
    auto r = recordio::update(s.u, s.card, kNew, c.staged ? &g : nullptr);
    ASSERT_FALSE(r.error());
    EXPECT_EQ(r->done, recordio::Done::replaced);
    r->pending.join(g);
    // Made at once, the new file was synced before it took the name; staged, nothing yet.
    const bool staged = c.staged && !named;
    EXPECT_EQ(std::ranges::count(faults::made(), Call::fsync, &faults::Made::call), staged ? 0 : 1);
    EXPECT_EQ(s.dir.read("s.txt"), staged ? old : want);
    faults::syncfs_serves(c.whole);
    faults::inject(c.faults);
    g.sync();
    std::string calls;
    for (const auto& m : faults::made())
      if (m.call == Call::fsync || m.call == Call::syncfs || m.call == Call::link || m.call == Call::exchange)
        calls += (calls.empty() ? "" : ", ") + m.text();
    faults::inject({});
    faults::syncfs_serves(false);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(s.dir.read("s.txt"), c.after);
    const auto e = g.failure(0, "s.txt");
    EXPECT_EQ(e ? std::string(e->text()) + std::string(e->fate_words()) : "", c.error.empty() ? "" : "magsync: " + s.path() + c.error);
    std::size_t names = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(s.dir.path())) ++names;
    EXPECT_EQ(names, 1u);  // no new file left behind
  }
}

#ifndef MAGSYNC_POSIX  // there a buffer always copies
// The kernel copies where the offsets lie alike within a page; where it
// cannot copy between these two files, a buffer does; any other failure
// is one. A filesystem that cannot seek to data has no holes: all is copied.
TEST(Copy, FallsBackToABufferWhereTheKernelCannot) {
  const std::pair<Call, int> cases[] = {{Call::copy_range, 0},          {Call::copy_range, EXDEV},
                                        {Call::copy_range, ENOSYS},     {Call::copy_range, EINVAL},
                                        {Call::copy_range, EOPNOTSUPP}, {Call::copy_range, EPERM},
                                        {Call::copy_range, EBADF},      {Call::copy_range, EIO},
                                        {Call::seek_data, EINVAL},      {Call::seek_data, EOPNOTSUPP}};
  for (const auto& [call, err] : cases) {
    SCOPED_TRACE(std::string(recordio::sys::name(call)) + " " + std::to_string(err));
    Scratch dir;
    std::string bytes(3 * 4096, 'a');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 23);
    dir.write("in", bytes);
    const int in = ::open((dir / "in").c_str(), O_RDONLY), out = ::open((dir / "out").c_str(), O_RDWR | O_CREAT, 0600);
    faults::inject({{call, 0, err}});
    const recordio::Failed f = recordio::copy_range(in, 4096, 8192, out, 0);
    const bool kernel = std::ranges::count(faults::made(), Call::copy_range, &faults::Made::call) > 0;
    faults::inject({});
    ::close(in), ::close(out);
    EXPECT_TRUE(kernel);
    EXPECT_EQ(f.has_value(), err == EIO);
    if (!f) {
      EXPECT_EQ(dir.read("out"), bytes.substr(4096));
    }
  }
}
#endif

TEST(Error, SaysWhenItIsCutAndKeepsItsFate) {
  Error e("s.txt");
  e.add(std::string(2000, 'x')).set(recordio::Fate::rewritten);
  EXPECT_EQ(e.text().size(), 1024u);
  EXPECT_TRUE(e.text().ends_with("xxx...")) << e.text().substr(1000);
  EXPECT_EQ(e.fate_words(), "; the file has been rewritten");  // the layer's own words; magsync names the S file
}

TEST(Error, QuotesUnprintableBytes) {
  Error e("k.txt");
  e.add("columns ").add(-11L).add(" ").add_quoted(std::string("a\"\\\0\x80\x7f~", 7));
  EXPECT_EQ(e.text(), R"(magsync: k.txt: columns -11 "a\x22\x5c\x00\x80\x7f~")");
}

// A report's name: as it stands when it is printable UTF-8 without blanks,
// '"' or '\\'; else quoted, every byte that is not valid printable UTF-8
// as \xHH. Read back, each is its name; a text no name is shown as is refused.
TEST(Show, IsOneToOne) {
  const std::pair<std::string, std::string> cases[] = {
      {"ev1", "ev1"},
      {"", R"("")"},
      {"a b\\", R"("a b\\")"},
      {"\xf0\x9f\x8c\x8b", "\xf0\x9f\x8c\x8b"},             // U+1F30B, in four bytes
      {"\xe0\x83\xa9", R"("\xe0\x83\xa9")"},                // U+00E9 in three bytes, overlong
      {"\xed\xa0\x80", R"("\xed\xa0\x80")"},                // a surrogate
      {"\xf4\x90\x80\x80", R"("\xf4\x90\x80\x80")"},       // beyond U+10FFFF
  };
  for (const auto& [name, text] : cases) {
    std::string back;
    EXPECT_EQ(recordio::shown(name), text);
    EXPECT_TRUE(recordio::unshown(text, back) && back == name) << text;
  }
  for (const char* text : {R"("ev1")", R"("\x41")", "a b"}) {
    std::string back;
    EXPECT_FALSE(recordio::unshown(text, back)) << text;
  }
}

// A signal that ends the batch while it lets go of what it holds, just
// before it would wait for more names or for the rest of a FIFO's line,
// ends it there: the wait never begins, the read says it was stopped, and
// signals are heard again afterwards. (A wait that began is ended by an
// alarm a minute later, a bound no passing run reaches, and fails.)
TEST(Wait, AStopWhileLettingGoEndsTheReadBeforeTheWait) {
  for (const bool unit : {false, true}) {
    SCOPED_TRACE(unit ? "a FIFO's line" : "the list");
    Scratch dir;
    const std::string fifo = dir / "fifo";
    ::mkfifo(fifo.c_str(), 0600);
    static int writer, calls, stop_at;
    writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // half a line, and no more
    ASSERT_EQ(::write(writer, "half", 4), 4);
    static volatile std::sig_atomic_t stop, waited;
    stop = 0;
    waited = 0;
    calls = 0;
    stop_at = unit ? 2 : 1;  // a unit lets go first as it opens a FIFO
    recordio::set_before_wait([] { stop = ++calls == stop_at ? SIGTERM : 0; }, &stop);  // as the batch's handler would
    struct sigaction alarm = {};
    alarm.sa_handler = [](int) { waited = 1, ::close(writer); };  // the end of the FIFO ends any wait
    ::sigaction(SIGALRM, &alarm, nullptr);
    ::alarm(60);
    if (unit) {
      Unit u;
      ASSERT_FALSE(u.open(fifo, Need::old));
      std::string buf(8, ' ');
      auto e = u.read_field(buf, 8);
      ASSERT_TRUE(e);
      EXPECT_EQ(e->kind(), Error::Kind::stop);
      EXPECT_EQ(e->text(), "magsync: " + fifo + ": Interrupted system call");
    } else {
      recordio::Names names(fifo.c_str(), '\n', &stop);
      std::string name;
      recordio::Status err;
      EXPECT_FALSE(names.next(name, &err) || err);
    }
    ::alarm(0);
    EXPECT_FALSE(waited);
    sigset_t now;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &now);
    EXPECT_FALSE(::sigismember(&now, SIGTERM));
    recordio::set_before_wait(nullptr);
    if (!waited) ::close(writer);
  }
}

TEST(FormatReal, ReadsBackToTheSameFloat) {
  const std::pair<float, const char*> known[] = {
      {70.0f, "70.0"}, {3723.05f, "3723.05"}, {-2.5f, "-2.5"}, {0.3f, "0.3"},
      {0.0f, "0.0"}, {-0.0f, "-0.0"}, {36.5f, "36.5"}, {1e-45f, nullptr},
      {3.4028235e38f, nullptr}, {1.17549435e-38f, nullptr}};
  std::vector<float> all;
  for (auto [x, text] : known) {
    char buf[64];
    if (text) {
      EXPECT_EQ(std::string(buf, recordio::format_real(x, buf)), text);
    }
    all.push_back(x);
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
