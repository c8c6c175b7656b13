// The update of the S file's first line: the one code that can lose data.
#pragma once

#include <string_view>

#include "recordio/error.h"
#include "recordio/group.h"
#include "recordio/unit.h"

namespace recordio {

// Puts TEXT in place of the first bytes of the line last read from UNIT,
// read as WAS (with a field as wide as WAS, so that WAS holds them as they
// are). What follows them on a longer line is kept, with its line end or
// none; a line no longer than WAS becomes TEXT and its old line end (a line
// feed where there was none).
//
// The file is opened for writing only now, checked to be the file that was
// read, and locked, so that runs of magsync on one file take turns; a run
// that finds the line no longer as it read it leaves the file alone.
//
// A new line exactly as long as the old one (or a longer old line, which
// keeps its rest) is written in place: owner, group, mode, extended
// attributes, hard links and inode all stay, because nothing else is
// touched. Otherwise the rest of the file must move, and the
// file is replaced whole by a new one beside it with the old owner, group,
// mode, extended attributes (ACLs among them) and inode flags; a symbolic
// link stays a link to it. A replacement that cannot keep the owner and
// group is refused.
//
// Either way the file ends as it was or as it should be, never between; the
// error's fate says which. *WROTE, if given, tells whether anything was
// written (nothing is when the line already holds TEXT, as read or as
// another run left it; it is synced all the same, so that a run after a
// crash finishes the job). With GROUP, a line updated in place (or found
// holding TEXT) is synced later, with the group's others, and the file
// stays locked until then; a replacement is durable at once. Before the
// update waits for another program's lock, before_wait() is called.
Status update(Unit& unit, std::string_view was, std::string_view text, bool* wrote = nullptr,
              Group* group = nullptr);

}  // namespace recordio
