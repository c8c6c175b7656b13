#include "recordio/error.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace recordio {

Error::Error(std::string_view name, Kind kind) : kind_(kind) {
  add("magsync: ").add_name(name).add(": ");
}

Error Error::tool() {
  Error e(Kind::stop);
  return e.add("magsync: ");
}

Error Error::about(std::string_view label) {
  Error e(Kind::stop);
  return e.add("magsync: ").add(label).add(": ");
}

Error& Error::add(std::string_view text) {
  constexpr std::string_view kCut = "...";
  if (text.empty()) return *this;
  if (len_ + text.size() <= sizeof text_) {
    std::memcpy(text_ + len_, text.data(), text.size());
    len_ += text.size();
  } else if (len_ < sizeof text_) {  // what fits, then said as cut, never silently
    const std::size_t room = sizeof text_ - kCut.size() > len_ ? sizeof text_ - kCut.size() - len_ : 0;
    std::memcpy(text_ + len_, text.data(), room);
    len_ = sizeof text_ - kCut.size();
    std::memcpy(text_ + len_, kCut.data(), kCut.size());
    len_ = sizeof text_;
  }
  return *this;
}

namespace {
constexpr FateWords kFateWords = {"; not rewritten", "; the file is unchanged", "; the file has been rewritten",
                                  "; line 1 may hold part of the new line"};
const FateWords* g_fate_words = &kFateWords;
}  // namespace

void set_fate_words(const FateWords* words) { g_fate_words = words; }

std::string_view Error::fate_words() const {
  switch (fate_) {
    case Fate::not_rewritten: return g_fate_words->not_rewritten;
    case Fate::unchanged: return g_fate_words->unchanged;
    case Fate::rewritten: return g_fate_words->rewritten;
    case Fate::partial: return g_fate_words->partial;
    case Fate::none: break;
  }
  return {};
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

namespace {
std::string* g_capture = nullptr;

// One write, so that the lines of runs sharing standard error do not mix.
void write_line(std::string_view text, std::string_view fate) {
  if (g_capture) {
    if (!g_capture->empty()) *g_capture += ' ';
    g_capture->append(text).append(fate);
    return;
  }
  char buf[sizeof(Error) + 64];
  std::size_t n = 0;
  for (std::string_view part : {text, fate, std::string_view("\n")}) {
    part = part.substr(0, sizeof buf - n);
    if (!part.empty()) std::memcpy(buf + n, part.data(), part.size());
    n += part.size();
  }
  // Nothing sensible is left to do if standard error itself cannot be written.
  (void)write_all(2, buf, n);
}
}  // namespace

std::string* capture_reports(std::string* into) { return std::exchange(g_capture, into); }
void report(std::string_view line) { write_line(line, {}); }
void report(const Error& e) { write_line(e.text(), e.fate_words()); }

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
