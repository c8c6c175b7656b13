// What a file holds besides its bytes, read from one file and given to another.
#pragma once

#ifndef MAGSYNC_RECORDIO_OWN
#error "recordio's own header: outside recordio/, include its interface (unit.h, update.h, group.h, ...)"
#endif

#include <sys/types.h>

#include <string>

namespace recordio {

struct Attributes {
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = 0;     // permission and set-ID bits
  int flags = 0;       // the inode flags that carry over (chattr)
  std::string xattrs;  // extended attributes, ACLs among them: each name, its length and value
  bool operator==(const Attributes&) const = default;
};

// 0 or an errno. A filesystem without extended attributes or inode flags has none.
int read_attributes(int fd, Attributes& a);

// Gives FD the extended attributes of A and no others (a new file may have
// inherited some, a directory's default ACL say). 0 or an errno.
int give_xattrs(int fd, const Attributes& a);

// Gives FD the inode flags of A that are among MASK. Appends to FAILED the
// letter of each that cannot be set.
void give_flags(int fd, const Attributes& a, int mask, std::string& failed);

}  // namespace recordio
