#include "recordio/failure.h"

namespace recordio {

std::string_view step_words(Step step) {
  switch (step) {
    case Step::none: return "";
    case Step::open: return "open for writing";
    case Step::lock: return "lock";
    case Step::check: return "check against the file as read";
    case Step::read: return "read of line 1 again";
    case Step::write: return "write of line 1";
    case Step::sync: return "fsync";
    case Step::attributes: return "read of owner, mode and attributes";
    case Step::locate: return "search for its directory";
    case Step::create: return "creation of the new file";
    case Step::owner: return "owner and group of the new file";
    case Step::copy: return "write of the new file";
    case Step::xattrs: return "extended attributes of the new file";
    case Step::mode: return "mode of the new file";
    case Step::sync_new: return "fsync of the new file";
    case Step::stat_new: return "check of the new file";
    case Step::link: return "link of the new file";
    case Step::exchange: return "exchange with the new file";
    case Step::rename: return "rename of the new file";
    case Step::swap_back: return "exchange back";
    case Step::remove_old: return "removal of the old file";
    case Step::sync_dir: return "fsync of its directory";
  }
  return "";
}

Error words(std::string_view name, const Failure& f) {
  Error e(name);
  switch (f.cause) {
    case Cause::changed: return e.add("changed by another program while magsync ran").set(Fate::not_rewritten);
    case Cause::locked: return e.add("locked by another program").set(Fate::not_rewritten);
    case Cause::system: break;
  }
  // The replacement is in place, but not yet durable.
  if (f.step == Step::sync_dir) return e.add("cannot sync its directory: ").add_errno(f.err).set(Fate::rewritten);
  if (f.step == Step::open) e.add("cannot open for writing: ");
  else if (f.step == Step::none) e.add("cannot rewrite: ");
  else e.add("cannot rewrite: ").add(step_words(f.step)).add(": ");
  return e.add_errno(f.err).set(Fate::unchanged);
}

}  // namespace recordio
