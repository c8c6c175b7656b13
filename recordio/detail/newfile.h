// The new file that replaces a file when a line changes length.
//
// Its life, as a state diagram; every arrow not drawn is a failure that
// leaves the state where it is until the NewFile goes:
//
//   empty --create()--> nameless   (O_TMPFILE: no name at all)
//   empty --create()--> named      (no O_TMPFILE here, or no /proc to link
//                                    it through: ".NAME.magsync-XXXXXX")
//   nameless --commit(): linked--> named
//   named --commit(): exchanged, checked, old name removed--> committed
//   named --commit(): renamed--> committed      (no exchange: NFS, FUSE)
//   named --commit(): exchanged, check fails, swapped back--> named
//   named --commit(): exchanged, swap back fails--> kept
//   named --commit(): exchanged, checked, removing the old name fails--> kept
//
// What holds in each state:
//   empty      no file; the signal guard armed by an earlier file, or not.
//   nameless   fd() is the new file; the signal guard is armed, though it
//              has nothing to remove: a nameless file goes with the run.
//   named      name() is the new file in the old one's directory (or, once
//              exchanged and not yet checked, the old file); a signal that
//              ends the run removes that name first. From the commit's
//              start, signals are held.
//   committed  the new file is at the old one's name; nothing to remove.
//   kept       the old file's contents are at name(), which the diagnostic
//              points to; nothing removes it.
// Going (~NewFile) removes the name in "named", then delivers any held
// signal (recordio/detail/signals.h), in that order, so that a held signal
// never finds a half-done state. The guard stays armed, with nothing to
// remove, for the next file.
//
// Only SIGKILL (or a power loss) between the link of a nameless file and the
// end of its commit can leave a name behind: ".NAME.magsync-XXXXXX", holding
// either the complete new file or the complete old one.
#pragma once

#ifndef MAGSYNC_RECORDIO_OWN
#error "recordio's own header: outside recordio/, include its interface (unit.h, update.h, group.h, ...)"
#endif

#include <sys/stat.h>

#include <climits>

#include "recordio/failure.h"

namespace recordio {

// The directory a file lies in and its name there, found by following the
// file's own chain of symbolic links one link at a time, each relative to
// the directory of the one before.
struct Place {
  int dir = -1;
  bool syncable = false;  // opened for reading, so that fsync works on it
  char base[NAME_MAX + 1] = {};
  Place() = default;
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;
  ~Place();
};
int locate(const char* name, Place& p);  // 0 or an errno

// What the commit asks of the file being replaced, at two moments.
class OldFile {
 public:
  enum class Moment {
    before,          // at its name, just before the exchange
    before_rename,   // at its name, just before a rename where there is no exchange
    after_exchange,  // at the new file's name, just after the exchange
  };
  // Nothing when it is as it was read, else a change or a system failure.
  virtual Failed as_read(int dir, const char* name, Moment m) const = 0;

 protected:
  ~OldFile() = default;
};

class NewFile {
 public:
  enum class State { empty, nameless, named, committed, kept };

  explicit NewFile(const Place& place) : place_(place) {}
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile();

  int create(mode_t mode);  // 0 or an errno
  // Puts the new file in place of OLD: nothing, or the failure and its step.
  Failed commit(const OldFile& old);

  int fd() const { return fd_; }
  int release_fd();  // the caller closes it; only once committed
  State state() const { return state_; }
  const char* name() const { return name_; }

 private:
  void pick_name();
  void name_it(State s);
  Failed swap_back(Failed why);

  const Place& place_;
  int fd_ = -1;
  State state_ = State::empty;
  char name_[NAME_MAX + 1] = {};
};

}  // namespace recordio
