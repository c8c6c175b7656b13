// The record layer: whole text lines on numbered units.
//
// A line ends at a line feed; a carriage return just before it belongs to the
// line end. A last line without a line feed is still a line. Reading a field
// takes the first w characters of the next line and passes over the rest
// lazily, so a line is never read further than the field needs.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "recordio/error.h"

namespace recordio {

enum class Need {
  old,     // the file must exist; it is only read (the K file)
  any,     // created empty when missing; only read (the control file)
  update,  // created empty when missing; read, and written by update() alone (the S file)
};

// Where the line last read lies in its file.
struct LineSpan {
  off_t start;            // its first byte
  off_t length;           // its bytes before the line end
  std::string_view end;   // its line end: "\n", "\r\n", or "" for a last line without one
};

class Unit {
 public:
  Unit() = default;
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;
  ~Unit();

  // Opens NAME (trailing blanks dropped) for reading, at its first line. A
  // dangling symbolic link is refused, never created through.
  Status open(std::string_view name, Need need);

  // Reads the next line into BUF: its first W characters, blanks for missing
  // ones, then blanks to the end of BUF. If LONGER is given, the rest of the
  // line is read now and *LONGER tells whether it holds anything but blanks.
  // End of file gives Kind::end_of_file, a system error Kind::read, and a
  // wait for a FIFO or terminal that a signal ending the batch cut short
  // Kind::stop.
  Status read_field(std::span<char> buf, std::size_t w, bool* longer = nullptr);

  // Passes over the rest of the line last read and tells where it lies.
  Status last_line(LineSpan& span);

  // Closes the unit; the file is kept.
  Status close();

  std::string_view name() const { return {name_, name_len_}; }
  const char* path() const { return name_; }  // NAME, NUL-terminated
  long line() const { return line_; }  // number of the line last read
  int fd() const { return fd_; }
  // The file as it was when opened, before anything was read from it.
  const struct stat& opened() const { return st_; }

 private:
  enum class End { none, lf, crlf };

  Error fail(Error::Kind kind, int err) const;
  Error read_failed() const;
  int create(int flags);  // creates NAME empty; a descriptor, or -1 and errno
  ssize_t fill(std::size_t want);  // bytes buffered after filling; -1 and errno on failure
  Status skip_rest(bool* nonblank);
  off_t offset() const { return buf_off_ + static_cast<off_t>(pos_); }

  int fd_ = -1;
  bool created_ = false;
  struct stat st_ = {};
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

// While ON, nothing is created, opened for writing, locked or written: open()
// reports a missing file rather than create it, and update() only tells
// whether it would write (a preview, --check).
void preview_only(bool on);
bool previewing();

// The next read of a regular file asks the cache alone first: disk_reads()
// counts those that found their data not cached, and waited for the disk
// (where the system can tell).
void probe_next_read();
unsigned long disk_reads();

// Whether A and B are one file: the same device and inode.
inline bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace recordio
