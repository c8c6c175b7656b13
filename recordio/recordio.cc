#include "recordio/recordio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>  // rename
#include <cstdlib>
#include <cstring>

namespace recordio {
namespace {

using Kind = Error::Kind;

// Writes all of DATA to FD; returns 0 or the errno of the failure.
int write_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return errno;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

// Copies LEN bytes (all that is left when LEN < 0) of IN from offset OFF to
// the current position of OUT. The kernel copies where it can; otherwise a
// fixed buffer does. Returns 0 or an errno.
int copy_range(int in, off_t off, off_t len, int out) {
  constexpr off_t kChunk = off_t{1} << 30;
  bool in_kernel = true;
  while (len != 0) {
    auto chunk = static_cast<std::size_t>(len < 0 || len > kChunk ? kChunk : len);
    ssize_t n;
    if (in_kernel) {
      n = ::copy_file_range(in, &off, out, nullptr, chunk, 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                    errno == EOPNOTSUPP)) {
        in_kernel = false;
        continue;
      }
    } else {
      char buf[64 * 1024];
      n = ::pread(in, buf, chunk < sizeof buf ? chunk : sizeof buf, off);
      if (n > 0) {
        if (int err = write_all(out, buf, static_cast<std::size_t>(n))) return err;
        off += n;
      }
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return len < 0 ? 0 : EIO;  // the file shrank under us
    if (len > 0) len -= n;
  }
  return 0;
}

// Standard output, written a line at a time.
class Console {
 public:
  Status put(std::string_view text) {
    while (!text.empty()) {
      if (n_ == sizeof buf_)
        if (auto e = flush()) return e;
      std::size_t k = std::min(text.size(), sizeof buf_ - n_);
      std::memcpy(buf_ + n_, text.data(), k);
      n_ += k;
      text.remove_prefix(k);
    }
    return std::nullopt;
  }
  Status end_line() {
    if (auto e = put("\n")) return e;
    return flush();
  }
  Status flush() {
    int err = write_all(1, buf_, n_);
    n_ = 0;
    if (err) return Error("standard output").add_errno(err);
    return std::nullopt;
  }

 private:
  char buf_[512];
  std::size_t n_ = 0;
};

}  // namespace

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

  if (need == Need::old) {
    fd_ = ::open(name_, O_RDONLY | O_CLOEXEC);
  } else {
    fd_ = ::open(name_, O_RDWR | O_CLOEXEC);
    if (fd_ < 0 && errno == ENOENT) {
      fd_ = ::open(name_, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      created_ = fd_ >= 0;
    }
    if (fd_ < 0 && (errno == EACCES || errno == EROFS)) {
      int err = errno;
      fd_ = ::open(name_, O_RDONLY | O_CLOEXEC);  // readable only: fails at rewrite()
      if (fd_ >= 0) read_only_errno_ = err;
      errno = err;
    }
  }
  if (fd_ < 0) return fail(Kind::stop, errno);
  return std::nullopt;
}

ssize_t Unit::fill(std::size_t want) {
  while (end_pos_ - pos_ < want) {
    if (pos_ > 0) {
      std::memmove(buf_, buf_ + pos_, end_pos_ - pos_);
      buf_off_ += static_cast<off_t>(pos_);
      end_pos_ -= pos_;
      pos_ = 0;
    }
    ssize_t r = ::read(fd_, buf_ + end_pos_, sizeof buf_ - end_pos_);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    end_pos_ += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(end_pos_ - pos_);
}

Status Unit::read_field(std::span<char> buf, std::size_t w, bool* longer) {
  if (rest_pending_)
    if (auto e = skip_rest(nullptr)) return e;
  ++line_;
  line_start_ = offset();
  ssize_t avail = fill(1);
  if (avail < 0) return fail(Kind::read, errno);
  if (avail == 0) {
    Error e(name(), Kind::end_of_file);
    e.add("line ").add(line_).add(": unexpected end of file");
    if (created_) e.add(" (there was no such file: it has been created empty)");
    return e;
  }

  w = std::min(w, buf.size());
  std::size_t n = 0;
  end_ = End::none;
  rest_pending_ = true;
  while (n < w) {
    avail = fill(2);  // two bytes, so that a CR LF is seen whole; fewer only at end of file
    if (avail < 0) return fail(Kind::read, errno);
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
    if (avail < 0) return fail(Kind::read, errno);
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

Status Unit::rewrite(std::string_view text) {
  if (read_only_errno_) return fail(Kind::stop, read_only_errno_);
  struct stat st;
  if (::fstat(fd_, &st) != 0) return fail(Kind::stop, errno);
  if (!S_ISREG(st.st_mode)) return Error(name()).add("not a regular file; not rewritten");
  if (rest_pending_)
    if (auto e = skip_rest(nullptr)) return e;
  const off_t tail = offset();  // where the next line begins

  // The temporary file goes beside the file itself, behind any symbolic link,
  // so that the rename replaces the link's target and leaves the link alone.
  char target[PATH_MAX];
  if (!::realpath(name_, target)) return fail(Kind::stop, errno);
  const char* base = std::strrchr(target, '/') + 1;  // realpath's answer is absolute
  const auto dir_len = static_cast<std::size_t>(base - target);
  const std::string_view parts[] = {{target, dir_len}, ".", base, ".magsync-XXXXXX"};
  char tmp[PATH_MAX + 32];
  std::size_t tmp_len = 0;
  for (std::string_view part : parts) {
    if (tmp_len + part.size() >= sizeof tmp) return fail(Kind::stop, ENAMETOOLONG);
    std::memcpy(tmp + tmp_len, part.data(), part.size());
    tmp_len += part.size();
  }
  tmp[tmp_len] = '\0';
  auto unchanged = [this](int err) {
    return Error(name()).add("cannot rewrite: ").add_errno(err).add("; the file is unchanged");
  };
  int out = ::mkostemp(tmp, O_CLOEXEC);
  if (out < 0) return unchanged(errno);

  const std::string_view line_end = end_ == End::crlf ? "\r\n" : "\n";
  int err = copy_range(fd_, 0, line_start_, out);
  if (!err) err = write_all(out, text.data(), text.size());
  if (!err) err = write_all(out, line_end.data(), line_end.size());
  if (!err) err = copy_range(fd_, tail, -1, out);
  if (!err && ::fchmod(out, st.st_mode & 07777) != 0) err = errno;
  if (!err && ::fchown(out, st.st_uid, st.st_gid) != 0 && errno != EPERM) err = errno;
  if (!err && ::fsync(out) != 0) err = errno;
  if (::close(out) != 0 && !err) err = errno;
  if (!err && ::rename(tmp, target) != 0) err = errno;
  if (err) {
    ::unlink(tmp);
    return unchanged(err);
  }
  // The file's other names, if it has any, keep the old contents.
  if (st.st_nlink > 1) {
    report(Error(name()).add("warning: the file had ").add(static_cast<long>(st.st_nlink) - 1)
               .add(" other hard link(s); they keep the old first line").text());
  }
  // Make the rename itself durable; the new contents are in place already.
  target[dir_len] = '\0';
  int dfd = ::open(target, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return std::nullopt;
}

Status Unit::close() {
  if (fd_ < 0) return std::nullopt;
  int r = ::close(fd_);
  fd_ = -1;
  if (r != 0) return fail(Kind::stop, errno);
  return std::nullopt;
}

std::size_t format_real(float x, std::span<char, 64> out) {
  // Shortest digits that read back to X, in plain decimal notation.
  auto [end, ec] = std::to_chars(out.data(), out.data() + out.size() - 2, x, std::chars_format::fixed);
  auto n = static_cast<std::size_t>(end - out.data());
  if (ec == std::errc{} && std::isfinite(x) && !std::memchr(out.data(), '.', n)) {
    out[n++] = '.';
    out[n++] = '0';
  }
  return n;
}

Status console_line(std::initializer_list<Item> items) {
  Console c;
  Status s = c.put(" ");
  for (const Item& item : items) {
    if (s) return s;
    if (!item.is_real) {
      s = c.put(item.text);
      continue;
    }
    char num[64];
    std::size_t n = format_real(item.real, num);
    constexpr char kBlanks[kRealWidth] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                          ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    s = c.put({kBlanks, n < kRealWidth ? kRealWidth - n : 1});
    if (!s) s = c.put({num, n});
  }
  return s ? s : c.end_line();
}

Status console_record(std::string_view text) {
  Console c;
  if (auto e = c.put(text)) return e;
  return c.end_line();
}

}  // namespace recordio
