// libFuzzer target over the record layer. The input is a small script and a
// file: byte 0 gives the number of reads (1 to 4), then each read takes three
// bytes (the field width, 0 to 8999, and the extra buffer length, 0 to 7),
// then one byte: with its high bit set, the line last read (if its field
// width was its buffer's length, as in the run) is updated with
// its field changed (case flipped, blanks made NULs) at every index that has
// all of the byte's seven low bits set. The rest is the file.
//
// Each read is checked against a plain model of the line rules: the first w
// characters of the next line, blanks for missing ones and up to the buffer's
// length; a line ends at a line feed and a carriage return just before it
// belongs to the line end; a last line without a line feed is a line. The
// updated file is checked against the model too: the line's first bytes
// replaced by the new text, a longer line's rest and line end kept, a line
// no longer than the text given its old line end (a line feed where it had
// none), every other byte kept.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "recordio/unit.h"
#include "recordio/update.h"

namespace {

#define check(ok) ((ok) ? void() : fail(#ok, __LINE__))
[[noreturn]] void fail(const char* what, int line) {
  std::fprintf(stderr, "recordio_fuzz.cc:%d: broken: %s\n", line, what);
  __builtin_trap();
}

// A line of the model: where it starts, its bytes and its line end.
struct Line {
  std::size_t start;
  std::string_view data, end;
};

std::vector<Line> lines_of(std::string_view file) {
  std::vector<Line> lines;
  for (std::size_t at = 0; at < file.size();) {
    const std::size_t lf = file.find('\n', at);
    std::string_view data = file.substr(at, lf == file.npos ? file.npos : lf - at);
    std::string_view end = lf == file.npos ? "" : "\n";
    if (!end.empty() && !data.empty() && data.back() == '\r') {
      data.remove_suffix(1);
      end = "\r\n";
    }
    lines.push_back({at, data, end});
    at = lf == file.npos ? file.size() : lf + 1;
  }
  return lines;
}

// The scratch file, on a memory filesystem where there is one: an update syncs.
const std::string& scratch() {
  static const std::string path = [] {
    std::string dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    dir += "/recordio-fuzz-XXXXXX";
    check(::mkdtemp(dir.data()) != nullptr);
    return dir + "/s.txt";
  }();
  static const bool removed_at_exit = std::atexit([] {
    ::unlink(path.c_str());
    ::rmdir(path.substr(0, path.rfind('/')).c_str());
  }) == 0;
  check(removed_at_exit);
  return path;
}

std::string slurp(const std::string& path) {
  std::string bytes;
  const int fd = ::open(path.c_str(), O_RDONLY);
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t reads = 1 + data[0] % 4, script = 1 + 3 * reads + 1;
  if (size < script) return 0;
  const std::string_view file(reinterpret_cast<const char*>(data) + script, size - script);
  const std::string& path = scratch();
  {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    check(fd >= 0 && ::write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size()));
    ::close(fd);
  }
  const std::vector<Line> lines = lines_of(file);

  recordio::Unit unit;
  check(!unit.open(path, recordio::Need::update));
  std::string buf;
  std::size_t done = 0, w = 0;  // lines read, width of the last field
  for (std::size_t r = 0; r < reads; ++r) {
    const std::uint8_t* s = data + 1 + 3 * r;
    w = (s[0] | std::size_t{s[1]} << 8) % 9000;
    const std::size_t n = w + s[2] % 8;
    buf.assign(n, '?');
    const recordio::Status e = unit.read_field(buf, w);
    if (done == lines.size()) {
      check(e && e->kind() == recordio::Error::Kind::end_of_file);
      return 0;
    }
    check(!e);
    const std::string_view line = lines[done++].data;
    std::string want(line.substr(0, w));
    want.resize(n, ' ');
    check(buf == want);
  }

  const std::uint8_t mask = data[script - 1];
  // The run updates a line read as wide as its buffer, so that the buffer
  // holds the line's first bytes as they are.
  if (mask < 0x80 || done == 0 || w != buf.size()) return 0;
  std::string text = buf;
  for (std::size_t i = 0; i < text.size(); ++i)
    if ((i & mask & 0x7f) == (mask & 0x7f)) text[i] = static_cast<char>(text[i] ^ 0x20);
  const recordio::Status e = recordio::update_now(unit, buf, text);
  if (e) std::fprintf(stderr, "%.*s\n", static_cast<int>(e->text().size()), e->text().data());
  check(!e);
  const Line& last = lines[done - 1];
  std::string want(file.substr(0, last.start));
  want += text;
  if (last.data.size() > text.size())  // a longer line keeps the rest of itself, and its end (or none)
    want += std::string(last.data.substr(text.size())) + std::string(last.end);
  else
    want += last.end.empty() ? "\n" : last.end;
  want += file.substr(last.start + last.data.size() + last.end.size());
  check(slurp(path) == want);
  return 0;
}
