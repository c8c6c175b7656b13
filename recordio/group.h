// In-place updates of many S files made durable together: a batch writes
// the lines of several directories, then syncs each filesystem once, rather
// than waiting for one sync per file.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "recordio/error.h"

namespace recordio {

class Group {
 public:
  Group() = default;
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;
  ~Group();

  // Takes over FD, opened for writing and locked, whose line at START held
  // WAS before it was written; it stays locked until sync(). Returns its
  // index among the entries since the last sync.
  std::size_t add(int fd, off_t start, std::string_view was);
  std::size_t size() const { return entries_.size(); }

  // Makes every entry durable: each filesystem synced once; where that
  // fails, each of its files on its own, and a file that still fails has
  // its old line put back. Then the entries are closed (and unlocked).
  void sync();

  // After sync(): 0, or the errno of entry I's failure; *PUT_BACK tells
  // whether its old line was put back and synced.
  int failure(std::size_t i, bool* put_back) const;

 private:
  struct Entry {
    int fd;
    dev_t dev;
    off_t start;
    std::string was;
    int err = 0;
    bool put_back = false;
  };
  std::vector<Entry> entries_, done_;
};

}  // namespace recordio
