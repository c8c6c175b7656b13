// The update of the S file's first line: the one code that can lose data.
#pragma once

#include <span>
#include <string_view>

#include "recordio/error.h"
#include "recordio/unit.h"

namespace recordio {

// Puts TEXT and the old line end (a line feed where there was none) in place
// of the line last read from UNIT, whose first bytes were read as WAS (read
// with a field as wide as WAS, so that WAS holds them as they are).
//
// A new line exactly as long as the old one is written in place, only the
// bytes that differ: owner, group, mode, extended attributes, hard links and
// inode all stay, because nothing else is touched. Otherwise the rest of the
// file must move, and the file is replaced whole by a new one beside it,
// given the old owner, group, mode and extended attributes (ACLs among them)
// before it is renamed over the old; a symbolic link stays a link to it.
//
// Either way the file ends as it was or as it should be, never between: a
// failure leaves it unchanged, and so does a change by another program
// since it was opened, which is left as that program made it.
Status update(Unit& unit, std::string_view was, std::string_view text);

namespace testing {
// Before system call CALL (counted from 1) of the updates that follow, runs
// ACTION if there is one (another program at work), then makes the call
// fail with ERR if ERR is not 0, and every later call too when STICKY. A
// write made to fail first writes half of its bytes, as a short write would.
struct Fault {
  int call;
  int err = 0;
  bool sticky = false;
  void (*action)() = nullptr;
};
void inject(std::span<const Fault> faults);  // none turns them off
int calls();  // system calls the updates have made since inject
}  // namespace testing

}  // namespace recordio
