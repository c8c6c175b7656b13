// A file replaced whole, for a line whose length changes.
#pragma once

#ifndef MAGSYNC_RECORDIO_OWN
#error "recordio's own header: outside recordio/, include its interface (unit.h, update.h, group.h, ...)"
#endif

#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>

#include "recordio/detail/attributes.h"
#include "recordio/detail/newfile.h"
#include "recordio/error.h"
#include "recordio/unit.h"
#include "recordio/update.h"

namespace recordio {

// Where the old file's bytes go in the new one.
struct Layout {
  off_t start;  // the line's first byte, in both
  off_t tail;   // the first byte after the old line's end
  off_t after;  // the first byte after the new line's end
  off_t size;   // of the new file
};

// A replacement whose new file is written, with the old file's owner,
// group, mode, extended attributes and flags, but not yet durable nor in
// place: what its commit needs once the unit is gone.
struct Staged {
  Staged() = default;
  Staged(const Staged&) = delete;
  Staged& operator=(const Staged&) = delete;
  ~Staged();  // a nameless new file goes with it; a named one is removed
  Place place;
  NewFile file{place};
  int fd = -1;             // the old file, as read (the checks read it again)
  int lock = -1;           // the old file, open for writing and locked
  std::string name;        // its name, for the diagnostics
  struct stat was = {};    // its status as read
  struct stat open = {};   // and once opened for writing
  std::string line_read;   // line 1's bytes as read
  Attributes attrs;
  Layout layout = {};
  std::string lost_flags;  // the inode flags the new file could not be given
};

// Replaces U's file with a copy whose line LINE holds TEXT in place of its
// first bytes, read as WAS: the rest of a longer line is kept, with its line
// end or none; a line no longer than WAS is TEXT and its old line end (a
// line feed where there was none). The caller holds the file's lock, and
// OPEN is the file's status once opened for writing: the checks of the
// commit compare its times with it.
// Once the new file is in place, what is left is its directory's sync,
// returned pending (with the new file, locked until then), or made at once
// on the filesystem where the directory cannot be read.
// With a GROUP, a nameless new file is handed to it before it is synced
// (Group::add_staged), with LOCK, the descriptor that holds the old file's
// lock (LOCK is then -1), and nothing is pending: the group syncs its new
// files together, then commits each, then syncs their directories.
Result<Pending> replace(const Unit& u, const LineSpan& line, const struct stat& open, std::string_view was,
                        std::string_view text, Group* group, int& lock);

// The new file's sync: 0 or an errno.
int sync_new(Staged& staged);
// Puts the new file in place once SYNCED (0, or the errno of its failed
// sync), as replace() does; WARNED: the warnings were given already. NAME,
// the file's name in the pending sync's diagnostic, must outlive the
// Pending (STAGED need not).
Result<Pending> commit(Staged& staged, int synced, bool warned, std::string_view name);

}  // namespace recordio
