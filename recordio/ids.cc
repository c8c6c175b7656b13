#include "recordio/ids.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#ifdef MAGSYNC_STATIC_LINK
#include <charconv>
#include <optional>

#include "recordio/unit.h"
#else
#include <grp.h>
#include <pwd.h>

#include <vector>
#endif

namespace recordio {

bool is_root() {
  static int root = -1;  // the effective user does not change while magsync runs
  if (root < 0) root = ::geteuid() == 0;
  return root;
}

Status status_of(const char* path, struct stat& st) {
  if (::stat(path, &st) != 0) return Error(path).add_errno(errno);
  return std::nullopt;
}

namespace {

std::string_view copied(std::string_view name, std::span<char, 64> buf) {
  if (name.size() > buf.size()) return {};
  return {buf.data(), name.copy(buf.data(), name.size())};
}

#ifdef MAGSYNC_STATIC_LINK
// A statically linked C library looks names up (NSS: LDAP, SSSD, systemd)
// only by loading the system's shared modules at run time, which must come
// from the very version it was linked with, or it crashes or says nothing.
// So the static tool reads /etc/passwd and /etc/group as any other file:
// lines "name:password:id:...". A name known only to a directory service
// is shown as its number.
std::string_view find(const char* db, unsigned id, std::span<char, 64> buf) {
  static std::optional<Unit> unit;  // not on the stack: a unit's buffer would not fit a small one
  Unit& u = unit.emplace();
  if (u.open(db, Need::old)) return {};
  std::string_view name;
  char line[128];
  while (!u.read_field(line, sizeof line)) {
    const std::string_view l(line, sizeof line);
    const std::size_t a = l.find(':'), b = l.find(':', a + 1), c = l.find(':', b + 1);
    if (c == l.npos) continue;
    unsigned n = 0;
    auto [p, ec] = std::from_chars(line + b + 1, line + c, n);
    if (ec == std::errc{} && p == line + c && n == id) {
      name = copied(l.substr(0, a), buf);
      break;
    }
  }
  (void)u.close();
  return name;
}
#else
// Through the C library, which asks every source the system names (files,
// LDAP, SSSD).
template <class Entry, class Lookup>
std::string_view find(Lookup lookup, unsigned id, std::span<char, 64> buf) {
  std::vector<char> scratch(1024);
  Entry entry, *found = nullptr;
  int err;
  while ((err = lookup(id, &entry, scratch.data(), scratch.size(), &found)) == ERANGE && scratch.size() < (1u << 20))
    scratch.resize(scratch.size() * 2);
  if (err != 0 || !found) return {};
  if constexpr (requires { entry.pw_name; }) return copied(found->pw_name, buf);
  else return copied(found->gr_name, buf);
}
#endif

}  // namespace

std::string_view user_name(unsigned uid, std::span<char, 64> buf) {
#ifdef MAGSYNC_STATIC_LINK
  return find("/etc/passwd", uid, buf);
#else
  return find<struct passwd>(::getpwuid_r, uid, buf);
#endif
}

std::string_view group_name(unsigned gid, std::span<char, 64> buf) {
#ifdef MAGSYNC_STATIC_LINK
  return find("/etc/group", gid, buf);
#else
  return find<struct group>(::getgrgid_r, gid, buf);
#endif
}

}  // namespace recordio
