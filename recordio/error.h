// Errors travel as values up to the run driver, which performs the one error
// stop. An Error carries its whole diagnostic line, built without the heap.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace recordio {

// What became of the file being updated when a run stops: said once, at the end of the
// diagnostic, and never cut off with it.
enum class Fate {
  none,           // the diagnostic says nothing of it
  not_rewritten,  // left as another program made it
  unchanged,      // exactly as it was
  rewritten,      // holds the new line
  partial,        // the line may hold part of the new one
};

class Error {
 public:
  enum class Kind { stop, end_of_file, read };

  // Starts the diagnostic "magsync: NAME: " about the file NAME, quoted
  // when it holds anything but printable characters other than blanks.
  explicit Error(std::string_view name, Kind kind = Kind::stop);
  // Starts it with LABEL as it stands ("standard output").
  static Error about(std::string_view label);
  // Starts it with "magsync: " alone.
  static Error tool();

  Error& add(std::string_view text);
  Error& add(long number);
  Error& add_quoted(std::string_view text);  // "text", unprintable bytes as \xHH
  Error& add_name(std::string_view name);    // as it stands if plain, else quoted
  Error& add_errno(int err);                 // the system's own reason

  Error& set(Fate fate) { return fate_ = fate, *this; }

  Kind kind() const { return kind_; }
  Fate fate() const { return fate_; }
  // The diagnostic without the words of its fate; a text too long for it
  // ends in "...".
  std::string_view text() const { return {text_, len_}; }
  // The words of its fate ("; the file is unchanged"), or an empty view.
  std::string_view fate_words() const;

 private:
  explicit Error(Kind kind) : kind_(kind) {}
  Kind kind_;
  Fate fate_ = Fate::none;
  std::size_t len_ = 0;
  char text_[1024];
};

using Status = std::optional<Error>;

// The words that end a diagnostic for each fate. The record layer's own
// speak of a file and its lines; a program may name the file as its users
// know it.
struct FateWords {
  std::string_view not_rewritten, unchanged, rewritten, partial;
};
void set_fate_words(const FateWords* words);  // kept, not copied

// A value, or the error that stands in its place.
template <class T>
class Result {
 public:
  Result(T&& value) : v_(std::move(value)) {}
  // By reference: an Error is 1 KiB, and a copy made for a parameter takes
  // its place in the frame of every function that returns one.
  Result(Error&& e) : v_(std::move(e)) {}
  Result(const Error& e) : v_(e) {}
  const Error* error() const { return std::get_if<Error>(&v_); }
  // Only where error() is null.
  T& operator*() { return *std::get_if<T>(&v_); }
  T* operator->() { return std::get_if<T>(&v_); }

 private:
  std::variant<T, Error> v_;
};

// Writes one line to standard error (a diagnostic or a warning).
void report(std::string_view line);
// Writes E and the words of its fate as one line to standard error.
void report(const Error& e);

// While INTO is not null, report() appends each line to *INTO instead,
// joined by a blank (a batch puts them in its report). Returns the one
// before.
std::string* capture_reports(std::string* into);

// Writes all N bytes of DATA to FD; returns 0 or the errno of the failure.
int write_all(int fd, const char* data, std::size_t n);

}  // namespace recordio
