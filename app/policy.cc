#include "app/policy.h"

#include "recordio/ids.h"

namespace magsync {

using recordio::Error;

recordio::Status root_refuses(const char* name, const struct stat* st) {
  if (!recordio::is_root()) return std::nullopt;
  struct stat here;
  if (!st) {
    if (auto e = recordio::status_of(name, here)) return e;
    st = &here;
  }
  if (recordio::only_root_writes(*st)) return std::nullopt;
  char buf[64];
  const std::string_view user = recordio::user_name(st->st_uid, buf);
  Error e(name);
  if (st->st_uid != 0) {
    e.add("owned by ");
    if (user.empty()) e.add("user ").add(static_cast<long>(st->st_uid));
    else e.add(user);
  } else {
    e.add(st->st_mode & S_IWOTH ? "writable by anyone" : "writable by its group");
  }
  // --init-groups needs the user's name; a user without one has no groups to give.
  return e.add(": root does not act on the names another user may have chosen; run magsync as the user "
               "the event belongs to, for example: setpriv --reuid=").add(static_cast<long>(st->st_uid))
      .add(" --regid=").add(static_cast<long>(st->st_gid))
      .add(user.empty() ? " --clear-groups" : " --init-groups").add(" magsync");
}

}  // namespace magsync
