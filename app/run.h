#pragma once

namespace magsync {

// Exit statuses of a run.
inline constexpr int kOk = 0;
inline constexpr int kStopStatus = 2;      // error stop: diagnostic, run ends at once
inline constexpr int kReadFailStatus = 3;  // a card could not be read: run ended at "Done"

// The command line: "--help" and "--version" print and open nothing; any
// other argument that begins with "-" (but "-" itself) is refused before
// any file is opened; other arguments are ignored, with a warning. Then one
// whole run in the current directory. Returns the exit status.
int start(int argc, char** argv);

// One whole run in the current directory; returns the exit status.
int run();

}  // namespace magsync
