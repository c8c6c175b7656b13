#include "card/field.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace card {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_sign(char c) { return c == '+' || c == '-'; }

// The field's characters with the blanks taken out; false if too long to be a field.
struct Packed {
  char c[32];
  std::size_t n = 0;
};
bool pack(std::string_view text, Packed& p) {
  for (char ch : text) {
    if (ch == ' ') continue;
    if (p.n == sizeof p.c) return false;
    p.c[p.n++] = ch;
  }
  return true;
}

// The field as cards almost always hold it: blanks, an optional sign, then at
// most seven digits (exact in single precision) with at most one point, and
// no exponent; read with one correctly rounded division. Anything else is
// left to the general reading below (nullopt).
std::optional<RealField> plain_real(std::string_view text, int decimals) {
  if (!kFloatOpsRound || decimals < 0 || decimals > 10) return std::nullopt;
  std::uint32_t mantissa = 0;
  int digits = 0, after_point = 0;
  bool sign = false, negative = false, point = false;
  for (char ch : text) {
    if (ch == ' ') continue;
    if (is_digit(ch) && digits < 7) {
      mantissa = mantissa * 10 + static_cast<std::uint32_t>(ch - '0');
      ++digits;
      after_point += point;
    } else if (ch == '.' && !point) {
      point = true;
    } else if (is_sign(ch) && !sign && !point && digits == 0) {
      sign = true;
      negative = ch == '-';
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0) return std::nullopt;
  const float v = with_decimals(mantissa, point ? after_point : decimals);
  return RealField{negative ? -v : v, Fault::none};
}

}  // namespace

IntField decode_int(std::string_view text) {
  long long v = 0;
  bool sign = false, negative = false, digits = false;
  for (char ch : text) {
    if (ch == ' ') continue;
    if (is_sign(ch) && !sign && !digits) {
      sign = true;
      negative = ch == '-';
    } else if (is_digit(ch)) {
      digits = true;
      v = v * 10 + (ch - '0');
      if (v > 2147483647LL + 1) return {0, Fault::out_of_range};
    } else {
      return {0, Fault::not_a_number};
    }
  }
  if (sign && !digits) return {0, Fault::not_a_number};
  if (negative) v = -v;
  if (v > 2147483647LL) return {0, Fault::out_of_range};
  return {static_cast<int>(v), Fault::none};
}

RealField decode_real(std::string_view text, int decimals) {
  if (std::optional<RealField> f = plain_real(text, decimals)) return *f;
  constexpr RealField kBad{0, Fault::not_a_number};
  Packed p;
  if (!pack(text, p)) return kBad;
  if (p.n == 0) return {0, Fault::none};

  // A clean decimal text for from_chars: sign, the digits without the point,
  // then the exponent that puts the point back: "-305e-2".
  char out[64];
  std::size_t n = 0, i = 0;
  if (is_sign(p.c[0])) {
    if (p.c[0] == '-') out[n++] = '-';
    ++i;
  }
  int digits = 0, after_point = 0;
  bool point = false, nonzero = false;
  for (; i < p.n && (is_digit(p.c[i]) || (p.c[i] == '.' && !point)); ++i) {
    if (p.c[i] == '.') {
      point = true;
      continue;
    }
    out[n++] = p.c[i];
    ++digits;
    after_point += point;
    nonzero |= p.c[i] != '0';
  }
  if (digits == 0) return kBad;

  long exponent = 0;
  if (i < p.n) {
    if (p.c[i] == 'E' || p.c[i] == 'D') ++i;
    else if (!is_sign(p.c[i])) return kBad;
    bool negative = i < p.n && p.c[i] == '-';
    if (i < p.n && is_sign(p.c[i])) ++i;
    if (i == p.n) return kBad;
    for (; i < p.n; ++i) {
      if (!is_digit(p.c[i])) return kBad;
      if (exponent < 100000) exponent = exponent * 10 + (p.c[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  exponent -= point ? after_point : decimals;

  out[n++] = 'e';
  char* end = std::to_chars(out + n, out + sizeof out, exponent).ptr;
  float value = 0;
  auto [stop, err] = std::from_chars(out, end, value);
  if (err != std::errc{} || stop != end || std::isinf(value) || (value == 0 && nonzero))
    return {0, Fault::out_of_range};
  return {value, Fault::none};
}

}  // namespace card
