// The update of a line of a file (magsync's S file): the one code that can lose data.
#pragma once

#include <string>
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
// What it did, when it did not fail:
//   held      the line already holds TEXT (another run wrote it, or this
//             run is run again after a crash): nothing was written;
//   written   TEXT was written in place;
//   replaced  the file was replaced by a new one holding TEXT, which is
//             durable; its name is once the directory is synced.
// Each comes with a Pending sync: of the file (held, written), still open
// for writing and locked; or of its directory (replaced), the new file
// locked until then. The caller makes it durable now (Pending::sync), or
// hands it to a group that syncs it with others (Pending::join). A held
// line is synced too, so that once reported it is durable. While
// previewing (--check), nothing is opened for writing, and the outcome is
// what a run would do, with nothing pending.
//
// On failure the error's fate says what became of the file: not_rewritten
// (as another program left it), unchanged (as it was read), rewritten (a
// replacement done, with something left to say), or partial (the in-place
// write failed and so did putting the old line back). Before the update
// waits for another program's lock, before_wait() is called.
enum class Done { held, written, replaced };

class Pending {
 public:
  Pending() = default;
  // FD, open for writing and locked, whose line at START held WAS. WAS and
  // NAME are views: a Pending is synced or joined before the next update.
  Pending(int fd, off_t start, std::string_view was, std::string_view name)
      : fd_(fd), start_(start), was_(was), name_(name) {}
  // DIR, whose entry for FD (the new file, just put in place, and locked)
  // is to be made durable.
  Pending(int dir, int fd, std::string_view name) : fd_(fd), dir_(dir), name_(name) {}
  Pending(Pending&& other) noexcept;
  Pending& operator=(Pending&&) = delete;
  ~Pending();  // closes the file, and so unlocks it, synced or not

  // Makes the line durable; if that fails, puts the old line back and
  // syncs it (fate unchanged) or says it could not (fate partial).
  Status sync();
  // Hands the file to GROUP, whose sync() makes it durable.
  void join(Group& group);

 private:
  int fd_ = -1, dir_ = -1;
  off_t start_ = 0;
  std::string_view was_, name_;  // what the line held before; the file's name, for the diagnostic
  friend class Group;
};

struct Updated {
  Done done;
  Pending pending;
};

// With a GROUP (a batch), a replacement's new file is made durable and put
// in place by the group's sync, with the group's other new files (their
// syncs overlap), and nothing is pending; its failure is the group's to
// tell (Group::failure).
Result<Updated> update(Unit& unit, std::string_view was, std::string_view text, Group* group = nullptr);

// update(), its pending sync made at once: the file durable when it returns.
Status update_now(Unit& unit, std::string_view was, std::string_view text);

}  // namespace recordio
