// What a batch over many event directories needs of the system: the names
// on standard input, entering each directory, and the report.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "recordio/error.h"

namespace recordio {

// The directory names on standard input: lines, or NUL-terminated records.
class Names {
 public:
  explicit Names(char end) : end_(end) {}
  // The next name into NAME: true, or false at the end of the input (*ERR
  // set when reading failed).
  bool next(std::string& name, Status* err);

 private:
  char end_;
  char buf_[64 * 1024];
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
  Status enter(const std::string& dir);  // from the origin, whatever the last one entered
  Status error() const;                  // why the origin could not be opened, if it could not

 private:
  int fd_ = -1;
  int err_ = 0;
};

// NAME as diagnostics show it: as it stands if plain, else quoted with its
// unprintable bytes as \xHH (a tab or a newline among them).
std::string shown(std::string_view name);

// Writes TEXT to standard output as it stands.
Status write_out(std::string_view text);

}  // namespace recordio
