#include "recordio/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstring>

namespace recordio {
namespace {

bool g_off = false;

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
    if (g_off) return n_ = 0, std::nullopt;
    int err = write_all(1, buf_, n_);
    n_ = 0;
    if (err) return Error::about("standard output").add_errno(err);
    return std::nullopt;
  }

 private:
  char buf_[512];
  std::size_t n_ = 0;
};

}  // namespace

void console_off(bool off) { g_off = off; }

Status start_up() {
  // Numbers 0-2 are checked in order, so the lowest free number is FD itself.
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) != fd)
      return Error("/dev/null").add_errno(errno);
  std::signal(SIGXFSZ, SIG_IGN);
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

namespace {
// Apart, so that a console that is off costs no more than the test (this
// one's frame is large).
[[gnu::noinline]] Status put_line(std::initializer_list<Item> items) {
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
}  // namespace

Status console_line(std::initializer_list<Item> items) {
  if (g_off) return std::nullopt;  // nothing formatted for nowhere
  return put_line(items);
}

Status console_record(std::string_view text) {
  if (g_off) return std::nullopt;
  Console c;
  if (auto e = c.put(text)) return e;
  return c.end_line();
}

}  // namespace recordio
