// The record layer: whole text lines on numbered units.
//
// A line ends at a line feed; a carriage return just before it belongs to the
// line end. A last line without a line feed is still a line. Reading a field
// takes the first w characters of the next line and passes over the rest
// lazily, so a line is never read further than the field needs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string_view>

#include "recordio/error.h"

namespace recordio {

enum class Need {
  old,  // the file must exist; it is only read
  any,  // opened for reading and writing, created empty when missing
};

class Unit {
 public:
  Unit() = default;
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;
  ~Unit();

  // Opens NAME (trailing blanks dropped) at its first line. With Need::any a
  // file the user may only read is opened for reading: it fails at rewrite().
  Status open(std::string_view name, Need need);

  // Reads the next line into BUF: its first W characters, blanks for missing
  // ones, then blanks to the end of BUF. If LONGER is given, the rest of the
  // line is read now and *LONGER tells whether it holds anything but blanks.
  // End of file gives Kind::end_of_file, a system error Kind::read.
  Status read_field(std::span<char> buf, std::size_t w, bool* longer = nullptr);

  // Steps back over the line last read and writes TEXT and a line end in its
  // place. The file is replaced whole or not at all: the new contents go to a
  // temporary file beside it, which is synced and renamed over it. Lines after
  // the replaced one are kept; the line end keeps its form (CRLF stays CRLF).
  // A symbolic link stays a link to the rewritten file; other hard links to
  // the file keep the old contents (with a warning). The permission bits are
  // kept. A file opened for reading only, or not a regular file, is refused.
  Status rewrite(std::string_view text);

  // Closes the unit; the file is kept.
  Status close();

  bool is_open() const { return fd_ >= 0; }
  std::string_view name() const { return {name_, name_len_}; }
  long line() const { return line_; }  // number of the line last read
  bool created() const { return created_; }  // open() made the file, empty
  int fd() const { return fd_; }

 private:
  enum class End { none, lf, crlf };

  Error fail(Error::Kind kind, int err) const;
  ssize_t fill(std::size_t want);  // bytes buffered after filling; -1 and errno on failure
  Status skip_rest(bool* nonblank);
  off_t offset() const { return buf_off_ + static_cast<off_t>(pos_); }

  int fd_ = -1;
  int read_only_errno_ = 0;  // why the file could not be opened for writing
  bool created_ = false;
  char name_[256] = {};
  std::size_t name_len_ = 0;
  long line_ = 0;            // number of the line last read
  bool rest_pending_ = false;
  End end_ = End::none;      // line end of the line last read, once known
  off_t line_start_ = 0;     // where the line last read began
  char buf_[4096];
  std::size_t pos_ = 0, end_pos_ = 0;
  off_t buf_off_ = 0;        // file offset of buf_[0]
};

// One item of a console line: a text at its full length, or a real.
struct Item {
  Item(std::string_view t) : text(t) {}
  Item(const char* t) : text(t) {}
  Item(float r) : real(r), is_real(true) {}
  std::string_view text;
  float real = 0;
  bool is_real = false;
};

// Width of the field a real item is right-justified in on a console line.
inline constexpr std::size_t kRealWidth = 15;

// Formats X as a decimal number that reads back to exactly X. Returns its length.
std::size_t format_real(float x, std::span<char, 64> out);

// Writes a console line to standard output: one blank, then the items.
Status console_line(std::initializer_list<Item> items);

// Writes TEXT and a line end to standard output, as it stands.
Status console_record(std::string_view text);

}  // namespace recordio
