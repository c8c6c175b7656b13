// Errors travel as values up to the run driver, which performs the one error
// stop. An Error carries its whole diagnostic line, built without the heap.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace recordio {

class Error {
 public:
  enum class Kind { stop, end_of_file, read };

  // Starts the diagnostic "magsync: NAME: " about the file NAME, quoted
  // when it holds anything but printable characters other than blanks.
  explicit Error(std::string_view name, Kind kind = Kind::stop);
  // Starts it with LABEL as it stands ("standard output").
  static Error about(std::string_view label);

  Error& add(std::string_view text);
  Error& add(long number);
  Error& add_quoted(std::string_view text);  // "text", unprintable bytes as \xHH
  Error& add_name(std::string_view name);    // as it stands if plain, else quoted
  Error& add_errno(int err);                 // the system's own reason

  Kind kind() const { return kind_; }
  std::string_view text() const { return {text_, len_}; }

 private:
  explicit Error(Kind kind) : kind_(kind) {}
  Kind kind_;
  std::size_t len_ = 0;
  char text_[400];
};

using Status = std::optional<Error>;

// Writes one line to standard error (a diagnostic or a warning).
void report(std::string_view line);

// Writes all N bytes of DATA to FD; returns 0 or the errno of the failure.
int write_all(int fd, const char* data, std::size_t n);

}  // namespace recordio
