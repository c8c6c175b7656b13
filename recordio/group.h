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
  std::size_t size() const { return entries_.size(); }
  unsigned long added() const { return added_; }  // entries ever added

  // Makes every entry durable; a file whose sync fails has its old line put
  // back and synced. Then the entries are closed (and unlocked).
  void sync();

  // After sync(): 0, or the errno of entry I's failure; *PUT_BACK tells
  // whether its old line was put back and synced.
  int failure(std::size_t i, bool* put_back) const;

 private:
  struct Entry {
    int fd;
    off_t start;
    std::string was;
    int err = 0;
    bool put_back = false;
  };
  std::vector<Entry> entries_, done_;
  unsigned long added_ = 0;
};

// Called before the record layer may wait (for another program's lock, for
// a FIFO's writer): a batch makes its group durable and reports it, so that
// it never holds a lock or an unreported line while it waits.
void set_before_wait(void (*hook)());
void before_wait();

}  // namespace recordio
