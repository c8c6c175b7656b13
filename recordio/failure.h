// Why an update of a file failed, made where the call fails and put into
// words in one place, for a single run and a batch alike.
#pragma once

#include <optional>
#include <string_view>

#include "recordio/error.h"

namespace recordio {

enum class Cause {
  changed,  // another program changed the file while this one worked on it
  locked,   // another program held its lock past the wait
  system,   // a system call failed: err says why
};

// The step that failed, named in the diagnostic.
enum class Step {
  none,
  open,        // opening the file for writing
  lock,        // taking its lock
  check,       // checking that it is still as it was read
  read,        // reading its line again
  write,       // writing the line in place
  sync,        // making the line durable
  attributes,  // reading its owner, mode, extended attributes and flags
  locate,      // finding its directory
  create,      // creating the new file beside it
  owner,       // giving the new file the owner and group
  copy,        // writing the new file
  xattrs,      // giving the new file the extended attributes
  mode,        // giving the new file the mode
  sync_new,    // making the new file durable
  stat_new,    // checking the new file
  link,        // naming the nameless new file
  exchange,    // exchanging the two files' names
  rename,      // renaming the new file over the old one
  swap_back,   // exchanging them back after a change was found
  remove_old,  // removing the old file, once exchanged
  sync_dir,    // making the directory durable
};

struct Failure {
  Cause cause = Cause::system;
  Step step = Step::none;
  int err = 0;  // the errno, for Cause::system
};
using Failed = std::optional<Failure>;  // nothing when the step succeeded

inline Failed system_failure(int err, Step step = Step::none) { return Failure{Cause::system, step, err}; }
inline Failed changed() { return Failure{Cause::changed}; }
// F with STEP where it names none yet.
inline Failed at(Failed f, Step step) {
  if (f && f->step == Step::none) f->step = step;
  return f;
}

// The diagnostic about file NAME, left as it was: "changed by another
// program while magsync ran", "locked by another program", or "cannot
// rewrite: STEP: REASON" (for opening, "cannot open for writing: REASON";
// for the directory's sync after a replacement, "cannot sync its
// directory: REASON", the file rewritten), with the fate that goes with it.
Error words(std::string_view name, const Failure& f);
// The words of the step alone ("fsync of the new file").
std::string_view step_words(Step step);

}  // namespace recordio
