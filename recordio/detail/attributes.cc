#include "recordio/detail/attributes.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "recordio/detail/sys.h"

namespace recordio {
namespace {

bool unsupported(int err) {
  return err == ENOTSUP || err == EOPNOTSUPP || err == ENOTTY || err == EINVAL || err == ENOSYS;
}

// The names of FD's extended attributes, each ending in a NUL. 0 or an errno.
int list_names(int fd, std::string& names) {
  for (;;) {
    const ssize_t want = sys::list_xattr(fd, nullptr, 0);
    if (want < 0) return unsupported(errno) ? (names.clear(), 0) : errno;
    names.resize(static_cast<std::size_t>(want));
    if (want == 0) return 0;  // a size of 0 would ask for the size again
    const ssize_t n = sys::list_xattr(fd, names.data(), names.size());
    if (n >= 0) return names.resize(static_cast<std::size_t>(n)), 0;
    if (errno != ERANGE) return errno;  // ERANGE: one was added meanwhile
  }
}

// Calls F(name) for each name of NAMES.
template <class F>
int each_name(const std::string& names, F f) {
  for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1)
    if (int err = f(names.c_str() + at)) return err;
  return 0;
}

// Calls F(name, value) for each extended attribute A holds.
template <class F>
int each_xattr(const Attributes& a, F f) {
  const std::string& s = a.xattrs;
  for (std::size_t at = 0; at < s.size();) {
    const char* name = s.c_str() + at;
    at += std::strlen(name) + 1;
    std::size_t n = 0;
    const char* colon = std::from_chars(s.data() + at, s.data() + s.size(), n).ptr;
    at = static_cast<std::size_t>(colon + 1 - s.data());
    if (int err = f(name, std::string_view(s).substr(at, n))) return err;
    at += n;
  }
  return 0;
}

}  // namespace

int read_attributes(int fd, Attributes& a) {
  struct stat st;
  if (sys::fstat(fd, &st) != 0) return errno;
  a.uid = st.st_uid;
  a.gid = st.st_gid;
  a.mode = st.st_mode & 07777;
  a.flags = 0;
  if (sys::get_flags(fd, &a.flags) != 0) {
    if (!unsupported(errno)) return errno;
    a.flags = 0;
  }
  int carried = 0;
  for (std::size_t i = 0; i < sys::kCarriedFlagCount; ++i) carried |= sys::kCarriedFlags[i].bit;
  a.flags &= carried;

  std::string names;
  if (int err = list_names(fd, names)) return err;
  a.xattrs.clear();
  std::string value;
  return each_name(names, [&](const char* name) {
    for (;;) {
      const ssize_t want = sys::get_xattr(fd, name, nullptr, 0);
      if (want < 0) return errno;
      value.resize(static_cast<std::size_t>(want) + 1);  // never 0, which asks for the size
      const ssize_t n = sys::get_xattr(fd, name, value.data(), value.size());
      if ((n < 0 && errno == ERANGE) || n == static_cast<ssize_t>(value.size())) continue;  // it grew meanwhile
      if (n < 0) return errno;
      a.xattrs.append(name, std::strlen(name) + 1).append(std::to_string(n)).append(1, ':');
      a.xattrs.append(value.data(), static_cast<std::size_t>(n));
      return 0;
    }
  });
}

int give_xattrs(int fd, const Attributes& a) {
  std::string names;
  if (int err = list_names(fd, names)) return err;
  const int err = each_name(names, [&](const char* name) {
    const bool kept = each_xattr(a, [&](const char* theirs, std::string_view) {
      return static_cast<int>(std::strcmp(name, theirs) == 0);
    });
    // ENODATA: gone with another already removed (XFS lists an ACL twice,
    // as system.posix_acl_access and, to root, trusted.SGI_ACL_FILE).
    return kept || sys::remove_xattr(fd, name) == 0 || errno == ENODATA ? 0 : errno;
  });
  if (err) return err;
  return each_xattr(a, [&](const char* name, std::string_view value) {
    return sys::set_xattr(fd, name, value.data(), value.size()) == 0 ? 0 : errno;
  });
}

void give_flags(int fd, const Attributes& a, int mask, std::string& failed) {
  int now = 0;
  const bool readable = sys::get_flags(fd, &now) == 0;
  for (std::size_t i = 0; i < sys::kCarriedFlagCount; ++i) {
    const sys::Flag& f = sys::kCarriedFlags[i];
    if (!(a.flags & mask & f.bit) || (readable && (now & f.bit))) continue;
    if (readable && sys::set_flags(fd, now | f.bit) == 0) now |= f.bit;
    else failed += f.name;
  }
}

}  // namespace recordio
