#include "recordio/unit.h"

#include "recordio/group.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <utility>

namespace recordio {
namespace {

using Kind = Error::Kind;

// No terminal becomes the run's controlling one, and no descriptor outlives the run.
constexpr int kFlags = O_CLOEXEC | O_NOCTTY;

}  // namespace

namespace {
bool g_preview = false;
unsigned long g_disk_reads = 0;
bool g_probe = false;
}  // namespace

void probe_next_read() { g_probe = true; }
unsigned long disk_reads() { return g_disk_reads; }

void preview_only(bool on) { g_preview = on; }
bool previewing() { return g_preview; }

Unit::~Unit() {
  if (fd_ >= 0) ::close(fd_);
}

Error Unit::fail(Kind kind, int err) const { return Error(name(), kind).add_errno(err); }

Status Unit::open(std::string_view name, Need need) {
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  name_len_ = std::min(name.size(), sizeof name_ - 1);
  std::memcpy(name_, name.data(), name_len_);
  name_[name_len_] = '\0';
  if (name_len_ != name.size() || std::memchr(name_, '\0', name_len_))
    return fail(Kind::stop, EINVAL);

  // Every file is opened for reading only: the S file's update opens it for
  // writing itself, only when there is something to write. Not blocking:
  // opening a FIFO waits for its writer, and only after before_wait().
  fd_ = ::open(name_, O_RDONLY | O_NONBLOCK | kFlags);
  const bool missing = fd_ < 0 && errno == ENOENT;
  if (missing && need != Need::old && g_preview)
    return fail(Kind::stop, ENOENT).add("; a run would create it empty, and stop there");
  if (missing && need != Need::old) fd_ = create(O_RDONLY);
  if (fd_ < 0) {
    // A missing file is created only under its own name, never through a link.
    struct stat link;
    if (errno == EEXIST && ::lstat(name_, &link) == 0 && S_ISLNK(link.st_mode))
      return Error(this->name()).add("symbolic link to a missing file; nothing created");
    if (missing && need != Need::old && errno != ENOENT)
      return Error(this->name()).add("no such file, and it cannot be created in ")
          .add(std::memchr(name_, '/', name_len_) ? "its" : "this").add(" directory: ").add_errno(errno);
    return fail(Kind::stop, errno);
  }
  if (::fstat(fd_, &st_) != 0) return fail(Kind::stop, errno);
  // The K file is opened, then the S file, then both are read: the S file's
  // first block is asked of the disk now, so that its read overlaps the K
  // file's where neither is cached.
#ifdef POSIX_FADV_WILLNEED  // not on macOS
  if (need == Need::update && S_ISREG(st_.st_mode)) (void)::posix_fadvise(fd_, 0, sizeof buf_, POSIX_FADV_WILLNEED);
#endif
  // A FIFO is waited for until its writer comes; then it and any other file
  // that is not regular (a terminal) stay not blocking, and fill() waits
  // for each read, so that a signal that ends the batch ends every wait.
  if (S_ISFIFO(st_.st_mode) && !wait_to_read(fd_)) return fail(Kind::stop, EINTR);
  return std::nullopt;
}

int Unit::create(int flags) {
  int fd = ::open(name_, flags | O_CREAT | O_EXCL | kFlags, 0666);
  created_ = fd >= 0;
  return fd;
}

ssize_t Unit::fill(std::size_t want) {
  while (end_pos_ - pos_ < want) {
    if (pos_ > 0) {
      std::memmove(buf_, buf_ + pos_, end_pos_ - pos_);
      buf_off_ += static_cast<off_t>(pos_);
      end_pos_ -= pos_;
      pos_ = 0;
    }
    ssize_t r = -1;
#ifdef RWF_NOWAIT
    // Asks the cache alone, to learn whether the read waits for the disk
    // (tmpfs and FUSE cannot tell).
    if (S_ISREG(st_.st_mode) && std::exchange(g_probe, false)) {
      iovec v = {buf_ + end_pos_, sizeof buf_ - end_pos_};
      r = ::preadv2(fd_, &v, 1, -1, RWF_NOWAIT);
      if (r < 0 && errno == EAGAIN) ++g_disk_reads;
    }
    if (r < 0)
#endif
      r = ::read(fd_, buf_ + end_pos_, sizeof buf_ - end_pos_);
    if (r < 0 && errno == EAGAIN && !S_ISREG(st_.st_mode)) {
      if (wait_to_read(fd_)) continue;
      errno = EINTR;
      return -1;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    end_pos_ += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(end_pos_ - pos_);
}

// A wait ended by a signal that ends the batch (EINTR) stops the run; any
// other error is the read's.
Error Unit::read_failed() const { return fail(errno == EINTR ? Kind::stop : Kind::read, errno); }

Status Unit::read_field(std::span<char> buf, std::size_t w, bool* longer) {
  if (rest_pending_)
    if (auto e = skip_rest(nullptr)) return e;
  ++line_;
  line_start_ = offset();
  ssize_t avail = fill(1);
  if (avail < 0) return read_failed();
  if (avail == 0) {
    Error e(name(), Kind::end_of_file);
    if (line_ > 1) return e.add("line ").add(line_).add(": unexpected end of file");
    e.add("the file is empty");
    if (created_) e.add(": there was no such file, and this run created it");
    return e;
  }

  w = std::min(w, buf.size());
  std::size_t n = 0;
  end_ = End::none;
  rest_pending_ = true;
  while (n < w) {
    avail = fill(2);  // two bytes, so that a CR LF is seen whole; fewer only at end of file
    if (avail < 0) return read_failed();
    if (avail == 0) {
      rest_pending_ = false;  // a last line without a line feed
      break;
    }
    const char* p = buf_ + pos_;
    const std::size_t look = std::min(static_cast<std::size_t>(avail), w - n + 1);
    if (auto* nl = static_cast<const char*>(std::memchr(p, '\n', look))) {
      auto len = static_cast<std::size_t>(nl - p);
      end_ = len > 0 && p[len - 1] == '\r' ? End::crlf : End::lf;
      std::size_t data = len - (end_ == End::crlf);
      std::memcpy(buf.data() + n, p, data);
      n += data;
      pos_ += len + 1;
      rest_pending_ = false;
      break;
    }
    std::size_t data = std::min(look, w - n);
    if (data == static_cast<std::size_t>(avail) && avail >= 2 && p[data - 1] == '\r')
      --data;  // a CR at the end of the buffer may start the line end: look again
    std::memcpy(buf.data() + n, p, data);
    n += data;
    pos_ += data;
  }
  std::memset(buf.data() + n, ' ', buf.size() - n);
  if (longer) {
    *longer = false;
    if (rest_pending_) return skip_rest(longer);
  }
  return std::nullopt;
}

Status Unit::skip_rest(bool* nonblank) {
  bool cr = false;  // the last byte passed over was a carriage return
  for (;;) {
    ssize_t avail = fill(1);
    if (avail < 0) return read_failed();
    if (avail == 0) {
      end_ = End::none;
      break;
    }
    const char* p = buf_ + pos_;
    auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(avail)));
    auto len = static_cast<std::size_t>(nl ? nl - p : avail);
    for (std::size_t i = 0; nonblank && i < len; ++i)
      if (p[i] != ' ' && p[i] != '\r') *nonblank = true;
    if (len > 0) cr = p[len - 1] == '\r';
    if (nl) {
      end_ = cr ? End::crlf : End::lf;
      pos_ += len + 1;
      break;
    }
    pos_ += len;
  }
  rest_pending_ = false;
  return std::nullopt;
}

Status Unit::last_line(LineSpan& span) {
  if (rest_pending_)
    if (auto e = skip_rest(nullptr)) return e;
  span.start = line_start_;
  span.end = end_ == End::crlf ? "\r\n" : end_ == End::lf ? "\n" : "";
  span.length = offset() - line_start_ - static_cast<off_t>(span.end.size());
  return std::nullopt;
}

Status Unit::close() {
  if (fd_ < 0) return std::nullopt;
  int r = ::close(fd_);
  fd_ = -1;
  if (r != 0) return fail(Kind::stop, errno);
  return std::nullopt;
}

}  // namespace recordio
