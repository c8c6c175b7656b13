// Standard output, a line at a time: console lines and whole records.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string_view>

#include "recordio/error.h"

namespace recordio {

// Opens /dev/null on standard input, output or error where one is closed, so
// that no file the run opens can take its number and receive console lines
// or diagnostics. Ignores SIGXFSZ, so that a file size limit fails a write
// instead of killing the run halfway through replacing a file.
Status start_up();

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

// Console lines and records go nowhere while OFF (a batch reports instead).
void console_off(bool off);

// Writes a console line to standard output: one blank, then the items.
Status console_line(std::initializer_list<Item> items);

// Writes TEXT and a line end to standard output, as it stands.
Status console_record(std::string_view text);

}  // namespace recordio
