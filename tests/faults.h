// The test build's fault hook: any system call of the S file update, by
// name, made to fail, to write half its bytes first, or to have another
// program act just before it; several at once.
#pragma once

#include <string>
#include <vector>

#include "recordio/detail/sys.h"

namespace faults {

using recordio::sys::Call;

struct Fault {
  Call call;
  int nth = 1;                  // which call of that name, from 1; 0: every one
  int err = 0;                  // the errno it fails with; 0: it is made
  void (*action)() = nullptr;   // runs just before (another program, a signal)
  bool half = false;            // a failing write writes half its bytes first
};

// Replaces the faults, and counts the calls anew.
void inject(std::vector<Fault> faults);

// Whether the update reads times as a filesystem with whole-second times
// gives them, from now on.
void whole_seconds(bool on);

// Whether a group's files are to lie, from now on, on a filesystem that one
// syncfs makes durable (ext4, with no other dirty data in the system); at
// the start they do not, and each file is synced by itself.
void syncfs_serves(bool on);

// One call made since inject(): its name and which of that name it was.
struct Made {
  Call call;
  int nth;
  std::string text() const { return std::string(recordio::sys::name(call)) + " #" + std::to_string(nth); }
};
const std::vector<Made>& made();

}  // namespace faults
