#include "recordio/error.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace recordio {

Error::Error(std::string_view name, Kind kind) : kind_(kind) {
  add("magsync: ").add_name(name).add(": ");
}

Error Error::about(std::string_view label) {
  Error e(Kind::stop);
  return e.add("magsync: ").add(label).add(": ");
}

Error& Error::add(std::string_view text) {
  std::size_t n = text.size() < sizeof text_ - len_ ? text.size() : sizeof text_ - len_;
  std::memcpy(text_ + len_, text.data(), n);
  len_ += n;
  return *this;
}

Error& Error::add(long number) {
  char digits[24];
  char* p = digits + sizeof digits;
  unsigned long v = number < 0 ? 0UL - static_cast<unsigned long>(number)
                               : static_cast<unsigned long>(number);
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (number < 0) *--p = '-';
  return add({p, static_cast<std::size_t>(digits + sizeof digits - p)});
}

Error& Error::add_quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  add("\"");
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7f && c != '"' && c != '\\') {
      add({&c, 1});
    } else {
      const char esc[4] = {'\\', 'x', kHex[b >> 4], kHex[b & 15]};
      add({esc, 4});
    }
  }
  return add("\"");
}

Error& Error::add_name(std::string_view name) {
  // A name that a blank, a control character or a stray byte (a byte-order
  // mark from an editor, a cut UTF-8 character) makes look like another.
  for (char c : name)
    if (auto b = static_cast<unsigned char>(c); b <= ' ' || b >= 0x7f) return add_quoted(name);
  return add(name);
}

Error& Error::add_errno(int err) { return add(std::strerror(err)); }

void report(std::string_view line) {
  char buf[512];
  std::size_t n = line.size() < sizeof buf - 1 ? line.size() : sizeof buf - 1;
  std::memcpy(buf, line.data(), n);
  buf[n++] = '\n';
  // Nothing sensible is left to do if standard error itself cannot be written.
  (void)write_all(2, buf, n);
}

int write_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return errno;
    if (w == 0) return EIO;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

}  // namespace recordio
