#pragma once

#include <cstddef>
#include <string_view>

#include "recordio/group.h"

namespace magsync {

// Exit statuses of a run.
inline constexpr int kOk = 0;
inline constexpr int kStopStatus = 2;      // error stop: diagnostic, run ends at once
inline constexpr int kReadFailStatus = 3;  // a card could not be read: run ended at "Done"

// The control file: its line 1 names the K file, its line 2 the S file.
inline constexpr char kControlName[] = "mp";
inline constexpr std::size_t kNameWidth = 18;  // a file name is at most 18 characters

// The command line: "--help" and "--version" print and open nothing; any
// other argument that begins with "-" (but "-" itself) is refused before
// any file is opened; other arguments are ignored, with a warning. Then one
// whole run in the current directory. Returns the exit status.
int start(int argc, char** argv);

// What became of a run in the current directory.
struct Result {
  int status;                // its exit status
  bool matched;              // the cards matched
  bool wrote;                // the S file was written
  std::string_view sfile;    // the S file's name, until the next run
  std::string_view before;   // the S card's magnitude columns as read, when the cards matched
  std::string_view after;    // and as the S file holds them now, when it holds the new card
};

// One whole run in the current directory, ended by the error stop or not,
// with its console lines written or not (recordio::console_off). With
// GROUP, a line written in place is synced with the group's others.
Result run_here(recordio::Group* group);

}  // namespace magsync
