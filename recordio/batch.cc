#include "recordio/batch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace recordio {

bool Names::next(std::string& name, Status* err) {
  name.clear();
  for (;;) {
    if (pos_ == len_) {
      if (eof_) return !name.empty();  // a last name without its end
      ssize_t n = ::read(0, buf_, sizeof buf_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *err = Error::about("standard input").add_errno(errno);
        return false;
      }
      pos_ = 0;
      len_ = static_cast<std::size_t>(n);
      eof_ = n == 0;
      continue;
    }
    const char* p = buf_ + pos_;
    const auto* stop = static_cast<const char*>(std::memchr(p, end_, len_ - pos_));
    const std::size_t n = stop ? static_cast<std::size_t>(stop - p) : len_ - pos_;
    name.append(p, n);
    pos_ += n + (stop != nullptr);
    if (stop) return true;
  }
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

Status Origin::enter(const std::string& dir) {
  if (dir.empty()) return Error(dir).add("empty directory name");
  if (dir.find('\0') != dir.npos) return Error(dir).add("directory name holds a NUL byte");
  if (::fchdir(fd_) != 0 || ::chdir(dir.c_str()) != 0) return Error(dir).add_errno(errno);
  return std::nullopt;
}

std::string shown(std::string_view name) {
  Error e = Error::tool();
  e.add_name(name);
  return std::string(e.text().substr(std::string_view("magsync: ").size()));
}

Status write_out(std::string_view text) {
  if (int err = write_all(1, text.data(), text.size())) return Error::about("standard output").add_errno(err);
  return std::nullopt;
}

}  // namespace recordio
