// libFuzzer target over the whole card path: the input, split at its first
// line feed, is the K line and the S line. Both go through decoding,
// deriving, the match test and the rewritten card; any broken promise traps.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string_view>

#include "card/card.h"
#include "reconcile/reconcile.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// A card as the run driver holds it: the first WIDTH characters, then blanks.
card::Card held(std::string_view line, std::size_t width) {
  card::Card c;
  c.fill(' ');
  line.copy(c.data(), std::min(width, c.size()));
  return c;
}

void check_bad(const card::Decoded& d) {
  const card::Column* c = d.bad->column;
  check(c >= std::begin(card::kLayout) && c < std::end(card::kLayout));
  check(d.bad->fault != card::Fault::none && d.bad->text().size() == static_cast<std::size_t>(c->width));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::size_t nl = in.find('\n');
  const card::Card k = held(in.substr(0, nl), card::kKWidth);
  const card::Card s = held(nl == in.npos ? std::string_view() : in.substr(nl + 1), card::kLength);

  const card::Decoded kd = card::decode(k);
  const card::Decoded sd = card::decode(s);
  if (kd.bad) check_bad(kd);
  if (sd.bad) check_bad(sd);
  if (kd.bad || sd.bad) return 0;

  const card::Values kv = card::derive(kd.fields);
  const card::Values sv = card::derive(sd.fields);
  if (!reconcile::same_event(kv, sv)) return 0;

  // Every magnitude that decodes fits the field, and reads back as itself.
  const auto magout = reconcile::magout(kv.xmag);
  check(magout.has_value());
  const card::Card out = reconcile::rewritten(s, *magout);
  const card::Column& m = card::kMagnitude;
  for (std::size_t i = 0; i < out.size(); ++i)
    check(out[i] == s[i] || (i + 1 >= static_cast<std::size_t>(m.first) && i + 1 < static_cast<std::size_t>(m.first + m.width)));
  const card::RealField back = card::decode_real({out.data() + m.first - 1, 2}, m.decimals);
  check(back.fault == card::Fault::none && back.value == static_cast<float>(*magout) / 10.0f);
  return 0;
}
