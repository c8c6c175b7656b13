#include "reconcile/reconcile.h"

#include <cmath>

namespace reconcile {
namespace {

// Each bound is the S value plus the signed tolerance, formed in single precision.
bool rejects(float k, float s, float tolerance) { return k > s + tolerance || k < s + -tolerance; }

}  // namespace

bool same_event(const card::Values& k, const card::Values& s) {
  return !rejects(k.time, s.time, kTimeTolerance) && !rejects(k.xlat, s.xlat, kDegreeTolerance) &&
         !rejects(k.xlon, s.xlon, kDegreeTolerance);
}

std::optional<int> magout(float xmag) {
  const float tenths = xmag * kMagScale;
  if (!(tenths > -9.5f && tenths < 99.5f)) return std::nullopt;
  return static_cast<int>(std::lround(tenths));
}

card::Card rewritten(const card::Card& s, int magout) {
  card::Card out = s;
  const int at = card::kMagnitude.first - 1;
  const int digits = magout < 0 ? -magout : magout;
  out[at] = magout < 0 ? '-' : digits >= 10 ? static_cast<char>('0' + digits / 10) : ' ';
  out[at + 1] = static_cast<char>('0' + digits % 10);
  return out;
}

}  // namespace reconcile
