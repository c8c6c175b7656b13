#include "card/card.h"

#include <cstring>

namespace card {

Decoded decode(const Card& card) {
  Decoded d;
  for (const Column& c : kLayout) {
    std::string_view text(card.data() + c.first - 1, static_cast<std::size_t>(c.width));
    Fault fault;
    if (c.integer) {
      IntField f = decode_int(text);
      d.fields.*c.integer = f.value;
      fault = f.fault;
    } else {
      RealField f = decode_real(text, c.decimals);
      d.fields.*c.real = f.value;
      fault = f.fault;
    }
    if (fault != Fault::none) {
      d.bad = BadField{&c, {}, fault};
      text.copy(d.bad->chars.data(), d.bad->chars.size());
      break;
    }
  }
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
