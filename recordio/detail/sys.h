// The system calls of a file's update, one function each, named.
//
// Linux-only calls (an exchange of two names, a nameless new file, the
// kernel's copy, extended attributes, inode flags, open file description
// locks, syncing one filesystem) fail here with the errno a system without
// them gives when the tool is built POSIX-only (MAGSYNC_POSIX), so that the
// callers' fallbacks are the path NFS, FUSE filesystems, macOS and the BSDs
// take, and that path is built and tested on Linux too.
//
// The test build compiles this layer with MAGSYNC_FAULTS, and then every call
// first asks faults::before() whether to fail, so that a test can fail or
// delay any call by its name. The release build holds no such hook.
#pragma once

#ifndef MAGSYNC_RECORDIO_OWN
#error "recordio's own header: outside recordio/, include its interface (unit.h, update.h, group.h, ...)"
#endif

#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

namespace recordio::sys {

enum class Call {
  open, openat, tmpfile, stat, fstat, fstatat, pread, pwrite, fsync, ftruncate, seek_data,
  copy_range, rename, exchange, link, unlink, readlink, fchown, fchmod, lock,
  list_xattr, get_xattr, set_xattr, remove_xattr, get_flags, set_flags, syncfs, fdatasync, start_writeback,
};
const char* name(Call call);

// Each gives what its system call gives: -1 and errno on failure.
int open(const char* path, int flags);
int openat(int dir, const char* name, int flags, mode_t mode = 0);
int tmpfile(int dir, mode_t mode);  // a nameless new file in DIR (O_TMPFILE)
int close(int fd);
int dup(int fd);  // with FD_CLOEXEC
int stat(const char* path, struct stat* st);  // what the name leads to
int fstat(int fd, struct stat* st);
int fstatat(int dir, const char* name, struct stat* st);  // the link itself
ssize_t pread(int fd, void* buf, std::size_t n, off_t off);
ssize_t pwrite(int fd, const void* buf, std::size_t n, off_t off);
int fsync(int fd);
int ftruncate(int fd, off_t len);
off_t seek_data(int fd, off_t off, bool hole);  // SEEK_DATA, or SEEK_HOLE when HOLE
ssize_t copy_range(int in, off_t* off, int out, off_t* to, std::size_t n);
int rename(int dir, const char* from, const char* to);
int exchange(int dir, const char* a, const char* b);
int link_fd(int fd, int dir, const char* name);  // gives the nameless FD a name
int unlink(int dir, const char* name);
ssize_t readlink(int dir, const char* name, char* buf, std::size_t n);
int fchown(int fd, uid_t uid, gid_t gid);
int fchmod(int fd, mode_t mode);
int lock(int fd);  // an exclusive lock on the whole file, without waiting; EAGAIN when held
ssize_t list_xattr(int fd, char* buf, std::size_t n);
ssize_t get_xattr(int fd, const char* name, void* buf, std::size_t n);
int set_xattr(int fd, const char* name, const void* value, std::size_t n);
int remove_xattr(int fd, const char* name);
int get_flags(int fd, int* flags);  // inode flags (chattr)
int set_flags(int fd, int flags);
int syncfs(int fd);  // the whole filesystem FD lies on
// The type of the filesystem FD lies on (statfs's f_type), or -1; *ID
// tells that filesystem from others (its f_fsid).
long fs_type(int fd, std::uint64_t* id);
// The data the whole system holds waiting to be written, or being written,
// in KiB (Dirty and Writeback in /proc/meminfo), or -1 where it cannot be
// told.
long dirty_kib();
// Whether syncfs says so when a file's data could not be written (Linux
// 5.8 and later; before, it always succeeded).
bool syncfs_tells_errors();
int fdatasync(int fd);
// Starts writing back N bytes of FD from OFF without waiting for them
// (sync_file_range), so that the fdatasync() of several files overlap; a
// no-op where there is no such call.
int start_writeback(int fd, off_t off, off_t n);

// Starts FN(ARG) on a thread that receives no signal (every signal goes to
// the tool's own thread) and has a small stack of its own: 0, or an errno.
int start_thread(pthread_t* thread, void* (*fn)(void*), void* arg, bool detached);
// Calls EACH(CTX, I) for every I below N, on up to kWays threads at once
// (this one among them), and returns once every call has returned. For
// waits the system can serve together: files synced one after another each
// wait for a disk flush (or a FUSE daemon's reply) of their own; synced at
// once, they share them. Where no thread can be started, this one makes
// every call. This thread makes the first call (for I = 0) itself. The test
// build makes them all in this thread, in order, so that a test can fail
// the n-th call.
constexpr std::size_t kWays = 4;
void overlapped(std::size_t n, void (*each)(void*, std::size_t), void* ctx);
template <class F>
void overlapped(std::size_t n, F& each) {
  overlapped(n, [](void* f, std::size_t i) { (*static_cast<F*>(f))(i); }, &each);
}

// Inode flags that a new file is given when the old one had them.
struct Flag {
  int bit;
  const char* name;  // as chattr(1) names it
};
extern const Flag kCarriedFlags[];
extern const std::size_t kCarriedFlagCount;
extern const int kNoCowFlag;  // set while a file is still empty, or not at all

timespec mtime(const struct stat& st);
timespec ctime(const struct stat& st);
inline bool same_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace recordio::sys

#ifdef MAGSYNC_FAULTS
namespace recordio::faults {
// 0: make the call. Otherwise the call fails with that errno; a write first
// writes half of its bytes when *HALF is set.
int before(sys::Call call, bool* half = nullptr);
// Whether times are to be read as a filesystem with whole-second times
// gives them (no nanoseconds).
bool whole_seconds();
// Whether the test asks for a filesystem that one syncfs serves (ext4,
// and no other dirty data), else for one that it does not.
bool syncfs_serves();
}  // namespace recordio::faults
#endif
