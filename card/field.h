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

}  // namespace card
