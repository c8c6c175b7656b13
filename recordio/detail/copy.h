// Copying and comparing ranges of two files, for a file's replacement.
#pragma once

#ifndef MAGSYNC_RECORDIO_OWN
#error "recordio's own header: outside recordio/, include its interface (unit.h, update.h, group.h, ...)"
#endif

#include <sys/types.h>

#include <cstddef>

#include <cerrno>

#include "recordio/detail/sys.h"
#include "recordio/failure.h"

namespace recordio {

// Each gives nothing, a system failure, or a change by another program,
// none of them with a step: the caller names it.

// Writes all N bytes of P to FD at offset TO.
inline Failed write_at(int fd, const char* p, std::size_t n, off_t to) {
  while (n > 0) {
    const ssize_t w = sys::pwrite(fd, p, n, to);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return system_failure(errno);
    if (w == 0) return system_failure(EIO);
    p += w;
    n -= static_cast<std::size_t>(w);
    to += w;
  }
  return std::nullopt;
}
// Reads N bytes of FD at OFF into P, all of them; a change when the file
// ends first.
Failed read_at(int fd, char* p, std::size_t n, off_t off);

// Copies the LEN bytes of IN at OFF to OUT at TO, the data regions only: a
// hole of a sparse IN is not read, and stays a hole in OUT once OUT is given
// its size. The kernel copies where the offsets lie alike within a page
// (sharing blocks where the filesystem can, on the server over NFS), else
// a buffer does.
// A change when IN turns out shorter than LEN.
Failed copy_range(int in, off_t off, off_t len, int out, off_t to);

// Whether the LEN bytes of A at OFF are those of B at TO: a change when
// they differ or one is shorter.
Failed compare_range(int a, off_t off, off_t len, int b, off_t to);

}  // namespace recordio
