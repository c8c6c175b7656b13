#include "recordio/detail/sys.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#if defined(__linux__) && !defined(MAGSYNC_POSIX)
#define MAGSYNC_LINUX 1
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <sys/vfs.h>
#include <sys/xattr.h>

#include <charconv>
#endif

namespace recordio::sys {

#ifdef MAGSYNC_FAULTS
#define FAULT(call)                                       \
  if (int err_ = faults::before(Call::call); err_ != 0) { \
    errno = err_;                                         \
    return -1;                                            \
  }
// A time as the tests' stand-in for a filesystem with whole-second times
// sees it, once they ask for one.
timespec seen(timespec t) {
  if (faults::whole_seconds()) t.tv_nsec = 0;
  return t;
}
#else
#define FAULT(call)
timespec seen(timespec t) { return t; }
#endif

const char* name(Call call) {
  static constexpr const char* kNames[] = {
      "open", "openat", "tmpfile", "stat", "fstat", "fstatat", "pread", "pwrite", "fsync", "ftruncate", "seek_data",
      "copy_range", "rename", "exchange", "link", "unlink", "readlink", "fchown", "fchmod", "lock",
      "list_xattr", "get_xattr", "set_xattr", "remove_xattr", "get_flags", "set_flags", "syncfs", "fdatasync",
      "start_writeback"};
  return kNames[static_cast<int>(call)];
}

int open(const char* path, int flags) {
  FAULT(open);
  return ::open(path, flags);
}
int openat(int dir, const char* name, int flags, mode_t mode) {
  FAULT(openat);
  return ::openat(dir, name, flags, mode);
}
int close(int fd) { return ::close(fd); }
int dup(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }
int stat(const char* path, struct stat* st) {
  FAULT(stat);
  return ::stat(path, st);
}
int fstat(int fd, struct stat* st) {
  FAULT(fstat);
  return ::fstat(fd, st);
}
int fstatat(int dir, const char* name, struct stat* st) {
  FAULT(fstatat);
  return ::fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW);
}
ssize_t pread(int fd, void* buf, std::size_t n, off_t off) {
  FAULT(pread);
  return ::pread(fd, buf, n, off);
}
ssize_t pwrite(int fd, const void* buf, std::size_t n, off_t off) {
#ifdef MAGSYNC_FAULTS
  bool half = false;
  if (int err = faults::before(Call::pwrite, &half); err != 0) {
    if (half && n > 1) (void)::pwrite(fd, buf, n / 2, off);  // a short write, then the failure
    errno = err;
    return -1;
  }
#endif
  return ::pwrite(fd, buf, n, off);
}
int fsync(int fd) {
  FAULT(fsync);
  return ::fsync(fd);
}
int fdatasync(int fd) {
  FAULT(fdatasync);
#ifdef __APPLE__
  return ::fsync(fd);
#else
  return ::fdatasync(fd);
#endif
}
int ftruncate(int fd, off_t len) {
  FAULT(ftruncate);
  return ::ftruncate(fd, len);
}
off_t seek_data(int fd, off_t off, bool hole) {
  FAULT(seek_data);
#ifdef SEEK_DATA
  return ::lseek(fd, off, hole ? SEEK_HOLE : SEEK_DATA);
#else
  (void)fd, (void)off, (void)hole;
  return errno = EINVAL, -1;
#endif
}
int rename(int dir, const char* from, const char* to) {
  FAULT(rename);
  return ::renameat(dir, from, dir, to);
}
int unlink(int dir, const char* name) {
  FAULT(unlink);
  return ::unlinkat(dir, name, 0);
}
ssize_t readlink(int dir, const char* name, char* buf, std::size_t n) {
  FAULT(readlink);
  return ::readlinkat(dir, name, buf, n);
}
int fchown(int fd, uid_t uid, gid_t gid) {
  FAULT(fchown);
  return ::fchown(fd, uid, gid);
}
int fchmod(int fd, mode_t mode) {
  FAULT(fchmod);
  return ::fchmod(fd, mode);
}

int lock(int fd) {
  FAULT(lock);
#if MAGSYNC_LINUX
  // An open file description lock belongs to this descriptor alone: closing
  // another descriptor of the same file does not drop it, as it would a
  // POSIX record lock.
  struct flock l = {};
  l.l_type = F_WRLCK;
  l.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &l) == 0) return 0;
  if (errno == EACCES) errno = EAGAIN;
  if (errno != EINVAL) return -1;
#endif
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
  if (errno == EWOULDBLOCK) errno = EAGAIN;
  return -1;
}

#if MAGSYNC_LINUX
int tmpfile(int dir, mode_t mode) {
  FAULT(tmpfile);
  const int fd = ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0) return fd;
  // It can be given a name only through /proc (link_fd below): without
  // /proc (a chroot, a minimal container) it is no use, and ENOENT says so.
  char proc[32] = "/proc/self/fd/";
  *std::to_chars(proc + 14, proc + sizeof proc - 1, fd).ptr = '\0';
  if (::access(proc, F_OK) == 0) return fd;
  ::close(fd);
  return errno = ENOENT, -1;
}
ssize_t copy_range(int in, off_t* off, int out, off_t* to, std::size_t n) {
  FAULT(copy_range);
  return ::copy_file_range(in, off, out, to, n, 0);
}
int exchange(int dir, const char* a, const char* b) {
  FAULT(exchange);
  return ::renameat2(dir, a, dir, b, RENAME_EXCHANGE);
}
int link_fd(int fd, int dir, const char* name) {
  FAULT(link);
  char proc[32] = "/proc/self/fd/";
  *std::to_chars(proc + 14, proc + sizeof proc - 1, fd).ptr = '\0';
  return ::linkat(AT_FDCWD, proc, dir, name, AT_SYMLINK_FOLLOW);
}
ssize_t list_xattr(int fd, char* buf, std::size_t n) {
  FAULT(list_xattr);
  return ::flistxattr(fd, buf, n);
}
ssize_t get_xattr(int fd, const char* name, void* buf, std::size_t n) {
  FAULT(get_xattr);
  return ::fgetxattr(fd, name, buf, n);
}
int set_xattr(int fd, const char* name, const void* value, std::size_t n) {
  FAULT(set_xattr);
  return ::fsetxattr(fd, name, value, n, 0);
}
int remove_xattr(int fd, const char* name) {
  FAULT(remove_xattr);
  return ::fremovexattr(fd, name);
}
int get_flags(int fd, int* flags) {
  FAULT(get_flags);
  return ::ioctl(fd, FS_IOC_GETFLAGS, flags);
}
int set_flags(int fd, int flags) {
  FAULT(set_flags);
  return ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
}
int syncfs(int fd) {
  FAULT(syncfs);
  return ::syncfs(fd);
}
int start_writeback(int fd, off_t off, off_t n) {
  FAULT(start_writeback);
  return ::sync_file_range(fd, off, n, SYNC_FILE_RANGE_WRITE);
}
long fs_type(int fd, std::uint64_t* id) {
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return -1;
  std::uint32_t v[2];
  static_assert(sizeof fs.f_fsid == sizeof v);
  std::memcpy(v, &fs.f_fsid, sizeof v);
  *id = (std::uint64_t{v[0]} << 32) | v[1];
#ifdef MAGSYNC_FAULTS
  if (faults::syncfs_serves()) return 0xEF53;
#endif
  return static_cast<long>(fs.f_type);
}
long dirty_kib() {
#ifdef MAGSYNC_FAULTS
  return faults::syncfs_serves() ? 0 : -1;
#else
  const int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char buf[4096];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  if (n <= 0) return -1;
  const std::string_view text(buf, static_cast<std::size_t>(n));
  long total = 0;
  for (std::string_view key : {"\nDirty:", "\nWriteback:"}) {
    std::size_t at = text.find(key);
    if (at == text.npos) return -1;
    at = text.find_first_not_of(' ', at + key.size());
    long kib = 0;
    if (at == text.npos || std::from_chars(text.data() + at, text.data() + text.size(), kib).ec != std::errc{})
      return -1;
    total += kib;
  }
  return total;
#endif
}
bool syncfs_tells_errors() {
  static const bool tells = [] {
    utsname u;
    if (::uname(&u) != 0) return false;
    int major = 0, minor = 0;
    const char* end = u.release + std::strlen(u.release);
    auto r = std::from_chars(u.release, end, major);
    if (r.ec != std::errc{} || *r.ptr != '.' || std::from_chars(r.ptr + 1, end, minor).ec != std::errc{}) return false;
    return major > 5 || (major == 5 && minor >= 8);
  }();
  return tells;
}
const Flag kCarriedFlags[] = {
    {FS_SYNC_FL, "S"},     {FS_NODUMP_FL, "d"},  {FS_NOATIME_FL, "A"}, {FS_DIRSYNC_FL, "D"},
    {FS_COMPR_FL, "c"},    {FS_NOCOMP_FL, "m"},  {FS_NOCOW_FL, "C"},   {FS_PROJINHERIT_FL, "P"},
};
const int kNoCowFlag = FS_NOCOW_FL;
timespec mtime(const struct stat& st) { return seen(st.st_mtim); }
timespec ctime(const struct stat& st) { return seen(st.st_ctim); }
#else
// What a system without these calls says.
int tmpfile(int, mode_t) { return errno = EOPNOTSUPP, -1; }
ssize_t copy_range(int, off_t*, int, off_t*, std::size_t) { return errno = ENOSYS, -1; }
int exchange(int, const char*, const char*) { return errno = ENOSYS, -1; }
int link_fd(int, int, const char*) { return errno = ENOSYS, -1; }
ssize_t list_xattr(int, char*, std::size_t) { return errno = ENOTSUP, -1; }
ssize_t get_xattr(int, const char*, void*, std::size_t) { return errno = ENOTSUP, -1; }
int set_xattr(int, const char*, const void*, std::size_t) { return errno = ENOTSUP, -1; }
int remove_xattr(int, const char*) { return errno = ENOTSUP, -1; }
int get_flags(int, int*) { return errno = ENOTTY, -1; }
int set_flags(int, int) { return errno = ENOTTY, -1; }
int syncfs(int) {
  FAULT(syncfs);
  ::sync();
  return 0;
}
int start_writeback(int, off_t, off_t) {
  FAULT(start_writeback);
  return 0;
}
long fs_type(int, std::uint64_t*) { return -1; }
long dirty_kib() { return -1; }
bool syncfs_tells_errors() { return false; }
const Flag kCarriedFlags[] = {{0, ""}};
const int kNoCowFlag = 0;
#if defined(__APPLE__)
timespec mtime(const struct stat& st) { return seen(st.st_mtimespec); }
timespec ctime(const struct stat& st) { return seen(st.st_ctimespec); }
#else
timespec mtime(const struct stat& st) { return seen(st.st_mtim); }
timespec ctime(const struct stat& st) { return seen(st.st_ctim); }
#endif
#endif

int start_thread(pthread_t* thread, void* (*fn)(void*), void* arg, bool detached) {
  constexpr std::size_t kStack = 64 * 1024;
  sigset_t all, old;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);  // the new thread's mask is this one's
  pthread_attr_t attr;
  ::pthread_attr_init(&attr);
  ::pthread_attr_setstacksize(&attr, kStack);
  if (detached) ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  const int err = ::pthread_create(thread, &attr, fn, arg);
  ::pthread_attr_destroy(&attr);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return err;
}

namespace {
struct Calls {
  void (*each)(void*, std::size_t);
  void* ctx;
  std::size_t n;
  std::atomic<std::size_t> next{0};
};
void make_calls(Calls& c, std::size_t i) {
  for (; i < c.n; i = c.next.fetch_add(1)) c.each(c.ctx, i);
}
void* help(void* arg) {
  auto* c = static_cast<Calls*>(arg);
  make_calls(*c, c->next.fetch_add(1));
  return nullptr;
}
}  // namespace

void overlapped(std::size_t n, void (*each)(void*, std::size_t), void* ctx) {
  if (n == 0) return;
  Calls calls{each, ctx, n};
  const std::size_t first = calls.next.fetch_add(1);  // 0, taken before any other thread starts
#ifdef MAGSYNC_FAULTS
  const std::size_t helpers = 0;
#else
  const std::size_t helpers = std::min(n, kWays) - 1;
#endif
  pthread_t threads[kWays];
  std::size_t started = 0;
  while (started < helpers && start_thread(&threads[started], help, &calls, false) == 0) ++started;
  make_calls(calls, first);
  for (std::size_t t = 0; t < started; ++t) ::pthread_join(threads[t], nullptr);
}

const std::size_t kCarriedFlagCount = sizeof kCarriedFlags / sizeof kCarriedFlags[0];

}  // namespace recordio::sys
