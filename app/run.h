#pragma once

namespace magsync {

// Exit statuses of a run.
inline constexpr int kOk = 0;
inline constexpr int kStopStatus = 2;      // error stop: diagnostic, run ends at once
inline constexpr int kReadFailStatus = 3;  // a card could not be read: run ended at "Done"

// One whole run in the current directory; returns the exit status.
int run();

// What "--help" (HELP) or "--version" prints on standard output, and no
// file opened; returns the exit status.
int tell(bool help);

}  // namespace magsync
