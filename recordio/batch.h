// What a batch over many event directories needs of the system: the names
// to visit, entering each directory, and the report.
#pragma once

#include <csignal>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "recordio/error.h"

namespace recordio {

// Names read from a file or standard input: lines, or NUL-terminated
// records. Before a read that would wait, before_wait() is called.
class Names {
 public:
  // Reads from PATH, or standard input when PATH is null or "-". STOP, when
  // set by a signal handler, ends the input.
  Names(const char* path, char end, const volatile std::sig_atomic_t* stop);
  ~Names();
  Names(const Names&) = delete;
  Names& operator=(const Names&) = delete;
  // Why the input could not be opened, if it could not.
  Status error() const;
  // The next name into NAME: true, or false at the end of the input (*ERR
  // set when reading failed).
  bool next(std::string& name, Status* err);
  // The next name into NAME when it is already read whole, without reading
  // or waiting; else false, and next() gives it.
  bool buffered(std::string& name);

 private:
  static constexpr std::size_t kBuffer = 64 * 1024;  // on the heap: a run works with a small stack
  std::unique_ptr<char[]> buf_;
  Status open_error_;
  const char* label_;
  int fd_ = 0;
  char end_;
  const volatile std::sig_atomic_t* stop_;
  std::size_t pos_ = 0, len_ = 0;
  bool eof_ = false;
};

// The working directory the batch started in, and entering each directory
// named relative to it.
class Origin {
 public:
  Origin();
  ~Origin();
  Origin(const Origin&) = delete;
  Origin& operator=(const Origin&) = delete;
  // Enters DIR from the origin, whatever the last one entered. With
  // NO_FINAL_LINK, a DIR that is itself a symbolic link is refused: the
  // directory is opened without following one and entered by that
  // descriptor, so that a name swapped for a link after it was listed
  // cannot lead anywhere else.
  Status enter(const std::string& dir, bool no_final_link);
  Status error() const;  // why the origin could not be opened, if it could not
  int fd() const { return fd_; }
  // DIR opened from the directory AT as enter() opens it from the origin: a
  // descriptor, or -1 and errno.
  static int open(int at, const std::string& dir, bool no_final_link);

 private:
  int fd_ = -1;
  int err_ = 0;
};

// NAME as a report shows it, one-to-one and never cut: as it stands when
// it is printable ASCII or valid printable UTF-8 without blanks, '"' or
// '\'; else between double quotes, '"' and '\' escaped with '\', and every
// byte that is neither a blank nor shown as it stands as \xHH.
std::string shown(std::string_view name);
void show(std::string_view name, std::string& out);  // shown(NAME) into OUT
// The name that shown() gave as TEXT, or false when TEXT is no such form.
bool unshown(std::string_view text, std::string& name);

// Writes TEXT to standard output as it stands.
Status write_out(std::string_view text);

// Whether standard error is a terminal (a person is watching).
bool errors_to_terminal();
// Writes LINE to standard error over the line before it, ended when LAST.
void report_progress(std::string_view line, bool last);

}  // namespace recordio
