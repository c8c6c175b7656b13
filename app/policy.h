// What root may do: never act on the names another user may have chosen.
#pragma once

#include <sys/stat.h>


#include "recordio/error.h"

namespace magsync {

// Run as root, a diagnostic when NAME (with status ST; looked up when ST is
// null) is owned by another user or may be written by anyone but root, with
// the command that runs magsync as its owner instead; else nothing.
recordio::Status root_refuses(const char* name, const struct stat* st = nullptr);

}  // namespace magsync
