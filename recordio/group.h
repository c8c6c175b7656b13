// In-place updates of many files made durable together. A batch writes the
// lines of several directories, then starts every file's writeback and
// waits for each (fdatasync), so that the waits overlap. Only these files'
// data is flushed, whatever other programs have written to the same
// filesystem (syncfs would wait for all of that too, and FUSE filesystems
// do not pass syncfs on to their daemon, where fdatasync reaches the disk).
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
  // WAS before it was written (or held what it holds now already); it stays
  // locked until sync(). Returns its index among the entries since the last
  // sync.
  std::size_t add(int fd, off_t start, std::string_view was);
  // Takes over DIR, whose entry for FD (a file just put in place by a
  // replacement, open and locked) is to be made durable; FD stays locked
  // until then.
  std::size_t add_directory(int dir, int fd);
  std::size_t size() const { return entries_.size(); }
  std::size_t files() const { return files_; }     // open files held
  unsigned long added() const { return added_; }  // entries ever added

  // Makes every entry durable: the files written in place, then the
  // directories (whose syncs cost little once the first has committed the
  // filesystem's journal). A file whose sync fails has its old line put
  // back and synced. Then the entries are closed (and unlocked).
  void sync();

  // After sync(): entry I's failure, if any, as a diagnostic about the
  // file NAME, its fate saying what became of the file.
  Status failure(std::size_t i, std::string_view name) const;

 private:
  struct Entry {
    int fd;
    off_t start = 0;
    std::string was;
    int dir = -1;  // a replacement's directory, to sync in place of FD
    int err = 0;
    bool put_back = false;
  };
  std::vector<Entry> entries_, done_;
  std::size_t files_ = 0;
  unsigned long added_ = 0;
};

// Called before the record layer may wait (for another program's lock, for
// a FIFO's writer): a batch makes its group durable and reports it, so that
// it never holds a lock or an unreported line while it waits.
void set_before_wait(void (*hook)());
void before_wait();

}  // namespace recordio
