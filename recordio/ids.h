// Users and groups by number: the process's own, a file's, and their names.
#pragma once

#include <sys/stat.h>

#include <span>
#include <string_view>

#include "recordio/error.h"

namespace recordio {

bool is_root();  // the effective user is root

// Whether only root may write what ST describes: root's own, and not
// writable by its group or others.
inline bool only_root_writes(const struct stat& st) { return st.st_uid == 0 && !(st.st_mode & (S_IWGRP | S_IWOTH)); }

// What PATH leads to, or why it cannot be known.
Status status_of(const char* path, struct stat& st);

// The name of user UID or group GID, in BUF, or an empty view when it has
// none that this build can see.
std::string_view user_name(unsigned uid, std::span<char, 64> buf);
std::string_view group_name(unsigned gid, std::span<char, 64> buf);

}  // namespace recordio
