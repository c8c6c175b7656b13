// Decoding one numeric field of a card, as the card's columns hold it.
//
// Blanks anywhere in a field are ignored, and a field of blanks only is zero.
// An integer field is an optional sign and digits. A real field is an optional
// sign, digits with at most one decimal point, then an optional exponent: E or
// D and an optionally signed integer, or a sign and an integer. Without a
// decimal point the digits carry D implied decimals ([ 305] with two is 3.05);
// a decimal point overrides them ([30.9] is 30.9). Anything else, and any
// unusual form (a sign or point without digits, an exponent without digits on
// either side, lower-case e or d, a value beyond single precision) is refused.
#pragma once

#include <cfloat>
#include <cstdint>
#include <string_view>

namespace card {

enum class Fault {
  none,
  not_a_number,  // a character or form the field may not hold
  out_of_range,  // a number, but beyond what the field's type holds
};

struct IntField {
  int value;
  Fault fault;
};

struct RealField {
  float value;  // the field's whole decimal value rounded once to the nearest float
  Fault fault;
};

IntField decode_int(std::string_view text);
RealField decode_real(std::string_view text, int decimals);

// The form cards almost always hold, read in one pass where the field's
// width is known: blanks, then digits only (no sign, point or exponent).
// Gives the digits as an integer, or -1 for any other text, which the
// decoders above read. At most nine columns, so the digits fit.
template <int Width>
constexpr std::int64_t leading_digits(const char* text) {
  static_assert(Width > 0 && Width <= 9);
  int i = 0;
  while (i < Width && text[i] == ' ') ++i;
  std::int64_t v = 0;
  for (; i < Width; ++i) {
    const unsigned d = static_cast<unsigned char>(text[i]) - unsigned{'0'};
    if (d > 9) return -1;
    v = v * 10 + d;
  }
  return v;
}

// Whether float arithmetic rounds each operation to single precision (not
// so on the x87, which would round twice).
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
inline constexpr bool kFloatOpsRound = true;
#else
inline constexpr bool kFloatOpsRound = false;
#endif
inline constexpr float kPow10[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// A real field of at most seven DIGITS (exact in single precision) with
// DECIMALS implied: one division of two exact values, so rounded once.
// Only where kFloatOpsRound, and DECIMALS is at most 10.
inline float with_decimals(std::uint32_t digits, int decimals) {
  return static_cast<float>(digits) / kPow10[decimals];
}

}  // namespace card
