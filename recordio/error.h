// Errors travel as values up to the run driver, which performs the one error
// stop. An Error carries its whole diagnostic line, built without the heap.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace recordio {

// Exit statuses of a run.
inline constexpr int kOk = 0;
inline constexpr int kStopStatus = 2;      // error stop: diagnostic, run ends at once
inline constexpr int kReadFailStatus = 3;  // a card could not be read: run ended at "Done"

class Error {
 public:
  enum class Kind { stop, end_of_file, read };

  // Starts the diagnostic "magsync: NAME: ".
  explicit Error(std::string_view name, Kind kind = Kind::stop);

  Error& add(std::string_view text);
  Error& add(long number);
  Error& add_quoted(std::string_view text);  // "text", unprintable bytes as \xHH
  Error& add_errno(int err);                 // the system's own reason

  Kind kind() const { return kind_; }
  std::string_view text() const { return {text_, len_}; }

 private:
  Kind kind_;
  std::size_t len_ = 0;
  char text_[400];
};

using Status = std::optional<Error>;

// Writes one line to standard error (a diagnostic or a warning).
void report(std::string_view line);

}  // namespace recordio
