#include "recordio/batch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "recordio/group.h"

namespace recordio {

Names::Names(const char* path, char end, const volatile std::sig_atomic_t* stop)
    : buf_(new char[kBuffer]), label_(path && std::strcmp(path, "-") != 0 ? path : nullptr), end_(end),
      stop_(stop) {
  if (!label_) return;
  fd_ = ::open(label_, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) open_error_ = Error(label_).add_errno(errno);
}

Names::~Names() {
  if (label_ && fd_ >= 0) ::close(fd_);
}

Status Names::error() const { return open_error_; }

bool Names::next(std::string& name, Status* err) {
  name.clear();
  for (;;) {
    if (*stop_) return false;
    if (pos_ == len_) {
      if (eof_) return !name.empty();  // a last name without its end
      // Nothing to read yet: whatever the batch holds is let go, then the
      // input waited for, unless a signal ends it.
      pollfd p = {fd_, POLLIN, 0};
      if (::poll(&p, 1, 0) == 0) {
        (void)wait_to_read(fd_);
        continue;
      }
      ssize_t n = ::read(fd_, buf_.get(), kBuffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *err = Error::about(label_ ? label_ : "standard input").add_errno(errno);
        return false;
      }
      pos_ = 0;
      len_ = static_cast<std::size_t>(n);
      eof_ = n == 0;
      continue;
    }
    const char* p = buf_.get() + pos_;
    const auto* stop = static_cast<const char*>(std::memchr(p, end_, len_ - pos_));
    const std::size_t n = stop ? static_cast<std::size_t>(stop - p) : len_ - pos_;
    name.append(p, n);
    pos_ += n + (stop != nullptr);
    if (stop) return true;
  }
}

bool Names::buffered(std::string& name) {
  const char* p = buf_.get() + pos_;
  const auto* stop = pos_ < len_ ? static_cast<const char*>(std::memchr(p, end_, len_ - pos_)) : nullptr;
  if (!stop) return false;
  name.assign(p, stop);
  pos_ += static_cast<std::size_t>(stop - p) + 1;
  return true;
}

Origin::Origin() {
#ifdef O_PATH
  fd_ = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
  fd_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
  if (fd_ < 0) err_ = errno;
}

Origin::~Origin() {
  if (fd_ >= 0) ::close(fd_);
}

Status Origin::error() const {
  if (!err_) return std::nullopt;
  return Error(".").add_errno(err_);
}

int Origin::open(int at, const std::string& dir, bool no_final_link) {
#ifdef O_PATH
  constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
  constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  return ::openat(at, dir.c_str(), kDirFlags | (no_final_link ? O_NOFOLLOW : 0));
}

Status Origin::enter(const std::string& dir, bool no_final_link) {
  if (dir.empty()) return Error(dir).add("empty directory name");
  if (dir.find('\0') != dir.npos) return Error(dir).add("directory name holds a NUL byte");
  const int d = open(fd_, dir, no_final_link);
  if (d < 0) {
    struct stat st;
    if ((errno == ELOOP || errno == ENOTDIR) && no_final_link && ::fstatat(fd_, dir.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
      return Error(dir).add("a symbolic link; root enters only the directory named");
    return Error(dir).add_errno(errno);
  }
  const int err = ::fchdir(d) == 0 ? 0 : errno;
  ::close(d);
  if (err) return Error(dir).add_errno(err);
  return std::nullopt;
}

namespace {

// The length of the valid, printable UTF-8 sequence at the start of S (a
// code point from U+00A0, not a surrogate), or 0.
std::size_t utf8_length(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  const std::size_t n = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c <= 0xdf ? 2 : 0;
  if (n == 0 || c >= 0xf5 || s.size() < n) return 0;
  char32_t cp = c & (0x7f >> n);
  for (std::size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (b(i) & 0x3f);
  }
  const char32_t least[] = {0, 0, 0xa0, 0x800, 0x10000};
  if (cp < least[n] || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff) return 0;
  return n;
}

}  // namespace

void show(std::string_view name, std::string& out) {
  // Bytes shown as they stand: printable ASCII other than blanks, '"' and '\\'.
  static constexpr auto kPlain = [] {
    std::array<bool, 256> t{};
    for (int c = '!'; c < 0x7f; ++c) t[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return t;
  }();
  std::size_t i = 0;  // the length of the plain start
  while (i < name.size()) {
    if (kPlain[static_cast<unsigned char>(name[i])]) ++i;
    else if (const std::size_t n = utf8_length(name.substr(i))) i += n;
    else break;
  }
  if (!name.empty() && i == name.size()) return (void)out.assign(name);
  out.assign(1, '"');
  for (i = 0; i < name.size();) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c == '"' || c == '\\') {
      out.append(1, '\\').append(1, static_cast<char>(c));
      ++i;
    } else if (c >= ' ' && c < 0x7f) {
      out += static_cast<char>(c);
      ++i;
    } else if (const std::size_t n = utf8_length(name.substr(i))) {
      out.append(name.substr(i, n));
      i += n;
    } else {
      constexpr char kHex[] = "0123456789abcdef";
      out.append("\\x").append(1, kHex[c >> 4]).append(1, kHex[c & 15]);
      ++i;
    }
  }
  out += '"';
}

std::string shown(std::string_view name) {
  std::string out;
  show(name, out);
  return out;
}

bool unshown(std::string_view text, std::string& name) {
  name.clear();
  if (text.empty() || text[0] != '"') {
    name = text;
    return !text.empty() && shown(name) == text;
  }
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '"') return i + 1 == text.size() && shown(name) == text;
    if (text[i] != '\\') {
      name += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    if (text[i] == '"' || text[i] == '\\') {
      name += text[i];
    } else if (text[i] == 'x' && i + 2 < text.size()) {
      const auto hex = [](char h) { return h >= 'a' ? h - 'a' + 10 : h - '0'; };
      name += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      return false;
    }
  }
  return false;
}

Status write_out(std::string_view text) {
  if (int err = write_all(1, text.data(), text.size())) return Error::about("standard output").add_errno(err);
  return std::nullopt;
}

bool errors_to_terminal() { return ::isatty(2) == 1; }

void report_progress(std::string_view line, bool last) {
  std::string text = "\r";
  text.append(line).append(last ? "\n" : "");
  (void)write_all(2, text.data(), text.size());
}


}  // namespace recordio
