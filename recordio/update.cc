#include "recordio/update.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>  // renameat2
#include <cstring>

namespace recordio {
namespace {

// Every system call below goes through SYS, so that a test can make any one
// of them fail, or have another program act just before it.
testing::Fault g_faults[4];
std::size_t g_nfaults = 0;
int g_calls = 0;
bool injected() {
  ++g_calls;
  for (std::size_t i = 0; i < g_nfaults; ++i)
    if (g_faults[i].call == g_calls && g_faults[i].action) g_faults[i].action();
  for (std::size_t i = 0; i < g_nfaults; ++i) {
    const testing::Fault& f = g_faults[i];
    if (f.err && (f.call == g_calls || (f.sticky && f.call < g_calls))) {
      errno = f.err;
      return true;
    }
  }
  return false;
}
#define SYS(call) (injected() ? -1 : (call))

constexpr int kChanged = -1;  // in place of an errno: another program changed the file
constexpr std::size_t kInPlaceMax = 4096;  // longest line written in place (the card is 115)

Error changed(const Unit& u) {
  return Error(u.name()).add("changed by another program while magsync ran; not rewritten");
}
Error unchanged(const Unit& u, int err) {
  if (err == kChanged) return changed(u);
  return Error(u.name()).add("cannot rewrite: ").add_errno(err).add("; the file is unchanged");
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}
// Whether nothing has written to, truncated or renamed over the file since A.
bool untouched(const struct stat& a, const struct stat& b) {
  return same_file(a, b) && a.st_size == b.st_size && same_time(a.st_mtim, b.st_mtim) &&
         same_time(a.st_ctim, b.st_ctim);
}

// Writes N bytes of P at offset OFF. 0 or an errno.
int write_at(int fd, const char* p, std::size_t n, off_t off) {
  while (n > 0) {
    if (injected()) {
      const int err = errno;
      if (n > 1) (void)::pwrite(fd, p, n / 2, off);
      return err;
    }
    const ssize_t w = ::pwrite(fd, p, n, off);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return errno;
    if (w == 0) return EIO;
    p += w;
    n -= static_cast<std::size_t>(w);
    off += w;
  }
  return 0;
}

// Copies LEN bytes of IN from offset OFF to OUT at offset TO. 0, an errno,
// or kChanged when IN turns out shorter than it was. Where the two offsets
// lie alike within a page, the kernel copies (sharing blocks where the
// filesystem can, on the server over NFS). Where they do not, as after a
// first line whose length changed, every page would straddle two, and
// writing out a window of IN mapped into memory is about a fifth faster.
int copy(int in, off_t off, off_t len, int out, off_t to) {
  constexpr off_t kPage = 4096, kWindow = off_t{1} << 20;
  enum { kernel, mapped, buffered } how = (off - to) % kPage == 0 ? kernel : mapped;
  while (len > 0) {
    ssize_t n = 0;
    if (how == kernel) {
      const auto chunk = static_cast<std::size_t>(std::min(len, off_t{1} << 30));
      n = SYS(::copy_file_range(in, &off, out, &to, chunk, 0));
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
        how = buffered;
        continue;
      }
    } else if (how == mapped) {
      const off_t start = off - off % kPage;
      const auto skip = static_cast<std::size_t>(off - start);
      const auto want = static_cast<std::size_t>(std::min(len, kWindow - static_cast<off_t>(skip)));
      void* m = injected() ? MAP_FAILED : ::mmap(nullptr, skip + want, PROT_READ, MAP_SHARED | MAP_POPULATE, in, start);
      if (m == MAP_FAILED) {
        how = buffered;  // a file that cannot be mapped is read instead
        continue;
      }
      const int err = write_at(out, static_cast<const char*>(m) + skip, want, to);
      ::munmap(m, skip + want);
      if (err) return err == EFAULT ? kChanged : err;  // EFAULT: cut short under the mapping
      n = static_cast<ssize_t>(want);
      off += n;
      to += n;
    } else {
      char buf[64 * 1024];
      n = SYS(::pread(in, buf, static_cast<std::size_t>(std::min(len, off_t{sizeof buf})), off));
      if (n > 0) {
        if (int err = write_at(out, buf, static_cast<std::size_t>(n), to)) return err;
        off += n;
        to += n;
      }
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return kChanged;  // shorter than when it was opened
    len -= n;
  }
  return 0;
}

// The same length: only the bytes that differ are written, in place.
Status in_place(Unit& u, const LineSpan& line, std::string_view was, std::string_view text) {
  // The name must still lead to the file that was read, and the line and its
  // end must still hold what was read.
  struct stat now;
  if (SYS(::stat(u.path(), &now)) != 0) return unchanged(u, errno == ENOENT ? kChanged : errno);
  if (!same_file(now, u.opened())) return changed(u);
  char old[kInPlaceMax + 2];
  const std::size_t n = text.size() + line.end.size();
  const ssize_t got = SYS(::pread(u.fd(), old, n, line.start));
  if (got < 0) return unchanged(u, errno);
  if (static_cast<std::size_t>(got) != n || was.compare({old, text.size()}) != 0 ||
      line.end.compare({old + text.size(), line.end.size()}) != 0)
    return changed(u);

  std::size_t first = 0, last = text.size();
  while (first < last && text[first] == was[first]) ++first;
  while (last > first && text[last - 1] == was[last - 1]) --last;
  if (first == last) return std::nullopt;  // nothing differs: nothing to write
  const std::size_t len = last - first;
  const off_t at = line.start + static_cast<off_t>(first);
  int err = write_at(u.fd(), text.data() + first, len, at);
  if (!err && SYS(::fsync(u.fd())) != 0) err = errno;
  if (!err) return std::nullopt;
  if (int back = write_at(u.fd(), was.data() + first, len, at)) {
    return Error(u.name()).add("cannot rewrite: ").add_errno(err).add("; putting the old bytes back failed too: ")
        .add_errno(back).add("; line 1 may hold part of the new card");
  }
  return unchanged(u, err);
}

// A descriptor of the directory the file lies in, and its name there.
struct Place {
  int dir = -1;
  bool syncable = false;  // opened for reading, so that it can be synced
  char base[NAME_MAX + 1] = {};
  ~Place() {
    if (dir >= 0) ::close(dir);
  }
};

// Follows the file name's own chain of symbolic links, one link at a time,
// each relative to the directory of the one before. 0 or an errno.
int locate(const char* name, Place& p) {
  char path[PATH_MAX];
  if (std::strlen(name) >= sizeof path) return ENAMETOOLONG;
  std::strcpy(path, name);
  for (int hops = 0;; ++hops) {
    char* slash = std::strrchr(path, '/');
    const char* base = slash ? slash + 1 : path;
    const char* dir = !slash ? "." : slash == path ? "/" : path;
    if (slash && slash != path) *slash = '\0';
    if (std::strlen(base) > NAME_MAX) return ENAMETOOLONG;
    const int at = p.dir < 0 ? AT_FDCWD : p.dir;
    int d = SYS(::openat(at, dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    p.syncable = d >= 0;
    if (d < 0 && errno == EACCES) d = SYS(::openat(at, dir, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (d < 0) return errno;
    if (p.dir >= 0) ::close(p.dir);
    p.dir = d;
    std::strcpy(p.base, base);
    const ssize_t n = SYS(::readlinkat(p.dir, p.base, path, sizeof path));
    if (n < 0) return errno == EINVAL ? 0 : errno;  // EINVAL: not a link, the file itself
    if (n == static_cast<ssize_t>(sizeof path)) return ENAMETOOLONG;
    if (hops == 40) return ELOOP;
    path[n] = '\0';
  }
}

// The new file's name while it has one that is not the file's, for the
// signal handler (only one update runs at a time).
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
volatile sig_atomic_t g_named = 0;
int g_dir = -1;
char g_name[NAME_MAX + 1];

extern "C" void remove_and_die(int sig) {
  if (g_named) ::unlinkat(g_dir, g_name, 0);
  ::raise(sig);  // the action is the default again (SA_RESETHAND): the run ends of SIG
}

// Signals that would end the run wait while a name is given or taken, so
// that none finds it half done. Once armed, such a signal removes the named
// new file first; signals ignored at the start stay ignored. sigaction and
// sigprocmask cannot fail with these arguments.
class Guard {
 public:
  Guard() {
    ::sigprocmask(SIG_BLOCK, nullptr, &mask_);
    sigemptyset(&set_);
    for (int s : kSignals) sigaddset(&set_, s);
  }
  ~Guard() {
    for (std::size_t i = 0; armed_ && i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &old_[i], nullptr);
  }
  void arm() {
    if (armed_) return;
    armed_ = true;
    struct sigaction sa = {};
    sa.sa_handler = remove_and_die;
    sa.sa_mask = set_;
    sa.sa_flags = static_cast<int>(SA_RESETHAND);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      ::sigaction(kSignals[i], nullptr, &old_[i]);
      if (old_[i].sa_handler != SIG_IGN) ::sigaction(kSignals[i], &sa, nullptr);
    }
  }
  void hold() { ::sigprocmask(SIG_BLOCK, &set_, nullptr); }
  void release() { ::sigprocmask(SIG_SETMASK, &mask_, nullptr); }

 private:
  bool armed_ = false;
  sigset_t set_, mask_;
  struct sigaction old_[std::size(kSignals)];
};

// The file's replacement beside it: nameless until complete where the
// filesystem allows (then not even SIGKILL leaves a partial file), else named
// from the start; either way removed unless it replaced the file.
class NewFile {
 public:
  NewFile(const Place& p, Guard& g) : place_(p), guard_(g) {}
  ~NewFile() {
    if (fd_ >= 0) ::close(fd_);
    if (g_named && !swapped_) ::unlinkat(place_.dir, name_, 0);
    g_named = 0;
  }

  // 0 or an errno.
  int create() {
    if (::access("/proc/self/fd", X_OK) == 0) {
      fd_ = SYS(::openat(place_.dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
      if (fd_ >= 0) return pick_name(), 0;
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
    }
    guard_.arm();
    for (int tries = 0; fd_ < 0 && tries < 100; ++tries) {
      pick_name();
      guard_.hold();
      fd_ = SYS(::openat(place_.dir, name_, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      if (fd_ >= 0) publish();
      guard_.release();
      if (fd_ < 0 && errno != EEXIST) break;
    }
    return fd_ >= 0 ? 0 : errno;
  }

  // Puts it in the file's place; the file must be as it was when opened
  // (FILE). Signals wait from here to the end. 0, an errno or kChanged.
  int replace(const struct stat& file) {
    guard_.hold();
    if (!g_named) {
      char proc[32] = "/proc/self/fd/";
      std::to_chars(proc + 14, proc + sizeof proc - 1, fd_);
      if (SYS(::linkat(AT_FDCWD, proc, place_.dir, name_, AT_SYMLINK_FOLLOW)) != 0) return errno;
      publish();
    }
    struct stat now;
    if (SYS(::fstatat(place_.dir, place_.base, &now, AT_SYMLINK_NOFOLLOW)) != 0)
      return errno == ENOENT ? kChanged : errno;
    if (!untouched(now, file)) return kChanged;
    // An exchange, not a rename: what it takes out of the file's place is
    // checked once more, so that a change made since the check above (a file
    // renamed there, a line appended) is put back rather than lost.
    if (SYS(::renameat2(place_.dir, name_, place_.dir, place_.base, RENAME_EXCHANGE)) != 0) {
      if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
      if (SYS(::renameat(place_.dir, name_, place_.dir, place_.base)) != 0) return errno;
      return disown(), 0;  // a filesystem without exchange: the check above is the last
    }
    // The exchange updated the old file's ctime; its contents must not have changed.
    const int got = SYS(::fstatat(place_.dir, name_, &now, AT_SYMLINK_NOFOLLOW));
    const int why = got != 0 ? errno : kChanged;
    if (got != 0 || !same_file(now, file) || now.st_size != file.st_size ||
        !same_time(now.st_mtim, file.st_mtim)) {
      if (SYS(::renameat2(place_.dir, name_, place_.dir, place_.base, RENAME_EXCHANGE)) != 0)
        return swapped_ = true, errno;  // the file stays replaced; what was there is at name_
      return why;
    }
    if (SYS(::unlinkat(place_.dir, name_, 0)) != 0) return swapped_ = true, errno;
    return disown(), 0;
  }

  // The file has been replaced, but what it held is still at name_.
  bool swapped() const { return swapped_; }
  const char* name() const { return name_; }

  int fd() const { return fd_; }

 private:
  // ".NAME.magsync-" and six letters, NAME cut to fit NAME_MAX.
  void pick_name() {
    static unsigned long r = 0;
    if (r == 0) {
      timespec t;
      ::clock_gettime(CLOCK_REALTIME, &t);
      r = static_cast<unsigned long>(t.tv_nsec) ^ (static_cast<unsigned long>(::getpid()) << 32);
    }
    char letters[7] = {};
    for (int i = 0; i < 6; ++i) {
      r = r * 6364136223846793005UL + 1442695040888963407UL;
      letters[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[(r >> 33) % 36];
    }
    const std::size_t n = std::min(std::strlen(place_.base), std::size_t{NAME_MAX - 16});
    name_[0] = '.';
    std::memcpy(name_ + 1, place_.base, n);
    std::memcpy(name_ + 1 + n, ".magsync-", 9);
    std::memcpy(name_ + 10 + n, letters, 7);
  }

  void disown() { g_named = 0; }

  void publish() {
    std::memcpy(g_name, name_, sizeof name_);
    g_dir = place_.dir;
    g_named = 1;
  }

  const Place& place_;
  Guard& guard_;
  int fd_ = -1;
  bool swapped_ = false;
  char name_[NAME_MAX + 1];
};

// Gives OUT the extended attributes of IN, ACLs among them, and no others.
int copy_attributes(int in, int out) {
  char names[XATTR_LIST_MAX], theirs[XATTR_LIST_MAX], value[XATTR_SIZE_MAX];
  ssize_t n = SYS(::flistxattr(in, names, sizeof names));
  if (n < 0 && errno != ENOTSUP) return errno;
  ssize_t m = SYS(::flistxattr(out, theirs, sizeof theirs));
  if (m < 0 && errno != ENOTSUP) return errno;
  // Inherited from the directory's default ACL, say, but not the file's own.
  for (const char* a = theirs; a < theirs + (m > 0 ? m : 0); a += std::strlen(a) + 1) {
    bool kept = false;
    for (const char* b = names; b < names + (n > 0 ? n : 0) && !kept; b += std::strlen(b) + 1)
      kept = std::strcmp(a, b) == 0;
    if (!kept && SYS(::fremovexattr(out, a)) != 0) return errno;
  }
  for (const char* a = names; a < names + (n > 0 ? n : 0); a += std::strlen(a) + 1) {
    const ssize_t v = SYS(::fgetxattr(in, a, value, sizeof value));
    if (v < 0) return errno;
    if (SYS(::fsetxattr(out, a, value, static_cast<std::size_t>(v), 0)) != 0) return errno;
  }
  return 0;
}

// A user or group by its name in DB where it has one, else by its number.
void add_id(Error& e, const char* db, unsigned id) {
  char buf[64];
  const std::string_view name = id_name(db, id, buf);
  if (name.empty()) e.add(static_cast<long>(id));
  else e.add(name);
}

// "warning: now owned by nobody (was 4321)".
void warn_changed(const Unit& u, const char* what, const char* db, unsigned now, unsigned was) {
  Error e(u.name());
  e.add("warning: now ").add(what).add(" ");
  add_id(e, db, now);
  e.add(" (was ");
  add_id(e, db, was);
  report(e.add(")").text());
}

// A length that changes: the rest of the file moves, so it is replaced whole.
Status replace(Unit& u, const LineSpan& line, std::string_view text) {
  const struct stat& st = u.opened();
  Place place;
  if (int err = locate(u.path(), place)) return unchanged(u, err == ENOENT ? kChanged : err);
  struct stat now;
  if (SYS(::fstatat(place.dir, place.base, &now, AT_SYMLINK_NOFOLLOW)) != 0) return unchanged(u, errno);
  if (!same_file(now, st)) return changed(u);

  Guard guard;
  NewFile file(place, guard);
  const std::string_view end = line.end.empty() ? "\n" : line.end;
  const off_t tail = line.start + line.length + static_cast<off_t>(line.end.size());
  const off_t size = st.st_size - tail + line.start + static_cast<off_t>(text.size() + end.size());
  const off_t after = line.start + static_cast<off_t>(text.size());
  int err = file.create();
  if (!err) err = copy(u.fd(), 0, line.start, file.fd(), 0);
  if (!err) err = write_at(file.fd(), text.data(), text.size(), line.start);
  if (!err) err = write_at(file.fd(), end.data(), end.size(), after);
  if (!err) err = copy(u.fd(), tail, st.st_size - tail, file.fd(), after + static_cast<off_t>(end.size()));
  // Owner and group first: a change of owner clears the set-ID bits. Where
  // the user may not give the file away, the group is kept if it can be.
  if (!err && SYS(::fchown(file.fd(), st.st_uid, st.st_gid)) != 0 &&
      (errno != EPERM || (SYS(::fchown(file.fd(), static_cast<uid_t>(-1), st.st_gid)) != 0 && errno != EPERM)))
    err = errno;
  struct stat mine = {};
  if (!err && SYS(::fstat(file.fd(), &mine)) != 0) err = errno;
  if (!err && mine.st_size != size) err = kChanged;
  const bool same_owner = mine.st_uid == st.st_uid && mine.st_gid == st.st_gid;
  if (!err) err = copy_attributes(u.fd(), file.fd());
  const mode_t mode = st.st_mode & (same_owner ? 07777 : 01777);
  if (!err && SYS(::fchmod(file.fd(), mode)) != 0) err = errno;
  if (!err && SYS(::fsync(file.fd())) != 0) err = errno;
  if (!err) err = file.replace(st);
  guard.release();
  if (file.swapped())
    return Error(u.name()).add("replaced, but ").add_errno(err).add(": what it held is now ")
        .add_name(file.name()).add("; the S file has been rewritten");
  if (err) return unchanged(u, err);

  if (st.st_nlink > 1) {
    report(Error(u.name()).add("warning: the file had ").add(static_cast<long>(st.st_nlink) - 1)
               .add(" other hard link(s); they keep the old first line").text());
  }
  if (mine.st_uid != st.st_uid) warn_changed(u, "owned by", "/etc/passwd", mine.st_uid, st.st_uid);
  if (mine.st_gid != st.st_gid) warn_changed(u, "in group", "/etc/group", mine.st_gid, st.st_gid);
  // The exchange is durable once the directory is synced (where the user may read it).
  if (place.syncable && SYS(::fsync(place.dir)) != 0)
    return Error(u.name()).add("cannot sync its directory: ").add_errno(errno).add("; the S file has been rewritten");
  return std::nullopt;
}

}  // namespace

Status update(Unit& u, std::string_view was, std::string_view text) {
  if (!S_ISREG(u.opened().st_mode)) return Error(u.name()).add("not a regular file; not rewritten");
  if (u.read_only_errno()) return Error(u.name()).add_errno(u.read_only_errno());
  LineSpan line;
  if (auto e = u.last_line(line)) return e;
  if (!line.end.empty() && line.length == static_cast<off_t>(text.size()) && was.size() == text.size() &&
      text.size() <= kInPlaceMax)
    return in_place(u, line, was, text);
  return replace(u, line, text);
}

namespace testing {
void inject(std::span<const Fault> faults) {
  g_nfaults = 0;
  for (const Fault& f : faults)
    if (g_nfaults < std::size(g_faults)) g_faults[g_nfaults++] = f;
  g_calls = 0;
}
int calls() { return g_calls; }
}  // namespace testing

}  // namespace recordio
