#include "recordio/detail/newfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "recordio/detail/signals.h"
#include "recordio/detail/sys.h"

namespace recordio {

Place::~Place() {
  if (dir >= 0) sys::close(dir);
}

int locate(const char* name, Place& p) {
  static char path[PATH_MAX];  // static: a small stack is enough for the run
  if (std::strlen(name) >= sizeof path) return ENAMETOOLONG;
  std::strcpy(path, name);
  for (int hops = 0;; ++hops) {
    char* slash = std::strrchr(path, '/');
    const char* base = slash ? slash + 1 : path;
    const char* dir = !slash ? "." : slash == path ? "/" : path;
    if (slash && slash != path) *slash = '\0';
    if (std::strlen(base) > NAME_MAX) return ENAMETOOLONG;
    const int at = p.dir < 0 ? AT_FDCWD : p.dir;
    int d = sys::openat(at, dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    p.syncable = d >= 0;
#ifdef O_PATH
    if (d < 0 && errno == EACCES) d = sys::openat(at, dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    if (d < 0 && errno == EACCES) d = sys::openat(at, dir, O_SEARCH | O_DIRECTORY | O_CLOEXEC);
#endif
    if (d < 0) return errno;
    if (p.dir >= 0) sys::close(p.dir);
    p.dir = d;
    std::strcpy(p.base, base);
    const ssize_t n = sys::readlink(p.dir, p.base, path, sizeof path);
    if (n < 0) return errno == EINVAL ? 0 : errno;  // EINVAL: not a link, the file itself
    if (n == static_cast<ssize_t>(sizeof path)) return ENAMETOOLONG;
    if (hops == 40) return ELOOP;
    path[n] = '\0';
  }
}

namespace {

// The new file's name while it is named: what the signal guard's cleanup
// removes.
volatile sig_atomic_t g_named = 0;
int g_dir = -1;
char g_name[NAME_MAX + 1];

void remove_name() {
  if (g_named) ::unlinkat(g_dir, g_name, 0);
}

bool no_exchange(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == ENOTTY; }

}  // namespace

NewFile::~NewFile() {
  if (fd_ >= 0) sys::close(fd_);
  if (state_ == State::named) ::unlinkat(place_.dir, name_, 0);
  g_named = 0;
  signals::release();  // only now: a held signal finds nothing left to do
}

int NewFile::release_fd() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void NewFile::name_it(State s) {
  state_ = s;
  std::memcpy(g_name, name_, sizeof name_);
  g_dir = place_.dir;
  g_named = s == State::named;
}

int NewFile::create(mode_t mode) {
  signals::arm(remove_name);
  fd_ = sys::tmpfile(place_.dir, mode);
  if (fd_ >= 0) return state_ = State::nameless, 0;
  // No nameless file here (or not without /proc): a named one, made and
  // made known to the handler while signals wait.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return errno;
  for (int tries = 0; fd_ < 0 && tries < 100; ++tries) {
    pick_name();
    signals::hold();
    fd_ = sys::openat(place_.dir, name_, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    const int err = errno;
    if (fd_ >= 0) name_it(State::named);
    signals::release();
    if (fd_ < 0 && err != EEXIST) return err;
  }
  return fd_ >= 0 ? 0 : EEXIST;
}

Failed NewFile::commit(const OldFile& old) {
  signals::hold();  // until ~NewFile, once the name is removed or committed
  for (int tries = 0; state_ == State::nameless; ++tries) {
    pick_name();
    if (sys::link_fd(fd_, place_.dir, name_) == 0) name_it(State::named);
    else if (errno != EEXIST || tries == 100) return system_failure(errno, Step::link);
  }
  if (auto why = old.as_read(place_.dir, place_.base, OldFile::Moment::before)) return at(why, Step::check);
  // An exchange, not a rename: what it takes out of the file's place is
  // checked once more, so that a change made since the check above is put
  // back rather than lost.
  if (sys::exchange(place_.dir, name_, place_.base) != 0) {
    if (errno == ENOENT) return changed();  // removed since the check above
    if (!no_exchange(errno)) return system_failure(errno, Step::exchange);
    if (auto why = old.as_read(place_.dir, place_.base, OldFile::Moment::before_rename)) return at(why, Step::check);
    if (sys::rename(place_.dir, name_, place_.base) != 0) return system_failure(errno, Step::rename);
    name_it(State::committed);
    return std::nullopt;
  }
  if (auto why = old.as_read(place_.dir, name_, OldFile::Moment::after_exchange)) return swap_back(at(why, Step::check));
  if (sys::unlink(place_.dir, name_) != 0) {
    const int err = errno;
    name_it(State::kept);  // replaced; what it held stays at the name
    return system_failure(err, Step::remove_old);
  }
  name_it(State::committed);
  return std::nullopt;
}

Failed NewFile::swap_back(Failed why) {
  if (sys::exchange(place_.dir, name_, place_.base) == 0) return why;  // named again: ~NewFile removes it
  const int err = errno;
  name_it(State::kept);
  return system_failure(err, Step::swap_back);
}

// ".NAME.magsync-" and six letters, NAME cut to fit NAME_MAX.
void NewFile::pick_name() {
  static std::uint64_t r = 0;
  if (r == 0) {
    timespec t;
    ::clock_gettime(CLOCK_REALTIME, &t);
    r = static_cast<std::uint64_t>(t.tv_nsec) ^ (static_cast<std::uint64_t>(::getpid()) << 32) ^ 1;
  }
  char letters[7] = {};
  for (int i = 0; i < 6; ++i) {
    r = r * 6364136223846793005ULL + 1442695040888963407ULL;
    letters[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[(r >> 33) % 36];
  }
  const std::size_t n = std::min(std::strlen(place_.base), std::size_t{NAME_MAX - 16});
  name_[0] = '.';
  std::memcpy(name_ + 1, place_.base, n);
  std::memcpy(name_ + 1 + n, ".magsync-", 9);
  std::memcpy(name_ + 10 + n, letters, 7);
}

}  // namespace recordio
