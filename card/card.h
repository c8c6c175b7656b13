// The summary card: a fixed-column event record, the first line of the K file
// and of the S file, and the four event values derived from it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "card/field.h"

namespace card {

inline constexpr std::size_t kLength = 115;  // a card, blank-padded on the right
inline constexpr std::size_t kKWidth = 40;   // columns of the K file's line that are read

using Card = std::array<char, kLength>;

// The fields a card is decoded into.
struct Fields {
  int ihr = 0;      // hour
  int min = 0;      // minute
  float sec = 0;    // seconds
  int lat = 0;      // latitude, whole degrees
  float xlt = 0;    // latitude minutes
  int lon = 0;      // longitude, whole degrees
  float xln = 0;    // longitude minutes
  float smeg = 0;   // magnitude
};

// One field of the layout: columns FIRST..FIRST+WIDTH-1 (counted from 1), an
// integer field (I w) or a real one with DECIMALS implied decimals (F w.d).
struct Column {
  int first, width, decimals;
  int Fields::*integer;
  float Fields::*real;
};

// The columns read, in the order they are taken. Columns 1-6, 17, 25, 30-34
// and 37-115 are not read: a hemisphere mark in 17 or 25 changes nothing.
inline constexpr Column kLayout[] = {
    {7, 2, 0, &Fields::ihr, nullptr},    // I2
    {9, 2, 0, &Fields::min, nullptr},    // I2
    {11, 4, 2, nullptr, &Fields::sec},   // F4.2
    {15, 2, 0, &Fields::lat, nullptr},   // I2, then 1X
    {18, 4, 2, nullptr, &Fields::xlt},   // F4.2
    {22, 3, 0, &Fields::lon, nullptr},   // I3, then 1X
    {26, 4, 2, nullptr, &Fields::xln},   // F4.2
    {35, 2, 1, nullptr, &Fields::smeg}, // F2.1, columns 35-36
};
inline constexpr const Column& kMagnitude = kLayout[7];

// Why a card could not be decoded: the field, a copy of its text and the fault.
struct BadField {
  const Column* column;
  std::array<char, 8> chars;
  Fault fault;
  std::string_view text() const { return {chars.data(), static_cast<std::size_t>(column->width)}; }
};

struct Decoded {
  Fields fields;
  std::optional<BadField> bad;
};

Decoded decode(const Card& card);

// The column (from 1) of the first tab among the columns fields are read
// from (1-36), or 0: an editor's tab stop is not a column.
int tab_column(const Card& card);

// Columns that are not read, but that a curator may want compared: the date
// (1-6) and the hemisphere letters (17, 25). And a byte-order mark, which
// an editor may put ahead of a card and which moves every column.
struct Span {
  int first, width;
};
inline constexpr Span kDate = {1, 6};
inline constexpr Span kHemispheres[] = {{17, 1}, {25, 1}};
inline constexpr Span kByteOrderMark = {1, 3};
inline constexpr std::string_view kByteOrderMarkBytes = "\xef\xbb\xbf";

inline std::string_view columns(const Card& card, Span s) {
  return {card.data() + s.first - 1, static_cast<std::size_t>(s.width)};
}
inline bool blank(std::string_view text) { return text.find_first_not_of(' ') == text.npos; }
inline bool has_byte_order_mark(const Card& card) { return columns(card, kByteOrderMark) == kByteOrderMarkBytes; }

// The four event values of a card, in single precision.
struct Values {
  float time;  // seconds of the day
  float xlat;  // decimal degrees
  float xlon;  // decimal degrees
  float xmag;  // magnitude
};

Values derive(const Fields& f);

}  // namespace card
