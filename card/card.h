// The summary card: a fixed-column event record, the first line of the K file
// and of the S file.
#pragma once

#include <array>
#include <cstddef>

namespace card {

inline constexpr std::size_t kLength = 115;  // a card, blank-padded on the right
inline constexpr std::size_t kKWidth = 40;   // columns of the K file's line that are read

using Card = std::array<char, kLength>;

}  // namespace card
