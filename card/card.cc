#include "card/card.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

namespace card {

namespace {

// Field I of the layout, its width known here: the usual form read at once,
// any other by the field's decoder. False once a field is bad.
template <std::size_t I>
bool decode_field(const Card& card, Decoded& d) {
  constexpr Column c = kLayout[I];
  const char* text = card.data() + c.first - 1;
  const std::int64_t digits = leading_digits<c.width>(text);
  Fault fault = Fault::none;
  if constexpr (c.integer != nullptr) {
    if (digits >= 0) {
      d.fields.*c.integer = static_cast<int>(digits);
      return true;
    }
    const IntField f = decode_int({text, c.width});
    d.fields.*c.integer = f.value;
    fault = f.fault;
  } else {
    static_assert(c.decimals >= 0 && c.decimals <= 10);  // a power of ten exact in single precision
    if (kFloatOpsRound && c.width <= 7 && digits >= 0) {
      d.fields.*c.real = with_decimals(static_cast<std::uint32_t>(digits), c.decimals);
      return true;
    }
    const RealField f = decode_real({text, c.width}, c.decimals);
    d.fields.*c.real = f.value;
    fault = f.fault;
  }
  if (fault == Fault::none) return true;
  d.bad = BadField{&kLayout[I], {}, fault};
  std::copy_n(text, c.width, d.bad->chars.data());
  return false;
}

template <std::size_t... I>
void decode_fields(const Card& card, Decoded& d, std::index_sequence<I...>) {
  (void)(decode_field<I>(card, d) && ...);  // in order, up to the first bad field
}

}  // namespace

Decoded decode(const Card& card) {
  Decoded d;
  decode_fields(card, d, std::make_index_sequence<std::size(kLayout)>());
  return d;
}

Values derive(const Fields& f) {
  // Hours and minutes are combined as integers, then converted; the quotient
  // by 60 is formed before it is added. Every step rounds to single precision.
  const float time = static_cast<float>(f.ihr * 3600 + f.min * 60) + f.sec;
  const float xlat = static_cast<float>(f.lat) + f.xlt / 60.0f;
  const float xlon = static_cast<float>(f.lon) + f.xln / 60.0f;
  return {time, xlat, xlon, f.smeg};
}

int tab_column(const Card& card) {
  const int last = kMagnitude.first + kMagnitude.width - 1;
  const void* tab = std::memchr(card.data(), '\t', static_cast<std::size_t>(last));
  return tab ? static_cast<int>(static_cast<const char*>(tab) - card.data()) + 1 : 0;
}

}  // namespace card
