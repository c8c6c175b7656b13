// Whether the K card and the S card describe the same event, and the S card
// rewritten with the K card's magnitude.
#pragma once

#include <optional>

#include "card/card.h"

namespace reconcile {

// How far apart the two cards' values may be, in single precision.
inline constexpr float kTimeTolerance = 30.0f;   // seconds
inline constexpr float kDegreeTolerance = 0.3f;  // latitude and longitude, degrees
inline constexpr float kMagScale = 10.0f;        // magnitude to tenths

// Time, then latitude, then longitude: the K value must lie within the S value
// plus and minus the tolerance (a bound itself matches). Only an ordered
// comparison rejects, so a value that is not a number never does.
bool same_event(const card::Values& k, const card::Values& s);

// The K magnitude in tenths: the nearest integer to XMAG × 10, halves away
// from zero. Nothing when it does not fit two columns (-9 to 99).
std::optional<int> magout(float xmag);

// The S card with MAGOUT (-9 to 99) in columns 35-36, right-justified and
// blank-filled; the other 113 columns unchanged.
card::Card rewritten(const card::Card& s, int magout);

}  // namespace reconcile
