// Reading ahead of a batch. While the batch works in one directory, or
// waits for its group's sync, a thread of its own reads the files of the
// next directories into the cache: files nobody has read lately then come
// from the disk while the batch works, not while it waits. The thread only
// reads: it creates, writes and locks nothing, opens only regular files,
// enters directories as the batch does (as root, only where only root may
// write), and passes over a directory the batch has reached.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "recordio/batch.h"

namespace recordio {

class ReadAhead {
 public:
  // In each directory, the first LINES lines of CONTROL name (in their first
  // WIDTH characters, blanks after the name dropped) the files its run reads.
  ReadAhead(const char* control, std::size_t width, int lines);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Starts the thread, once, with directories named from ORIGIN and opened
  // as ORIGIN enters them; false when it cannot be started. As ROOT, a
  // listed link is not followed, and, as a run does, only a directory and
  // control file that only root may write are read from.
  bool start(const Origin& origin, bool root);
  bool on() const { return on_; }
  bool full() const;                  // kDepth directories wait for their runs
  void push(const std::string& dir);  // the next directory the batch will run
  bool pop(std::string& dir);         // the first one pushed and not popped yet

  struct Shared;

 private:
  static constexpr std::size_t kDepth = 32;
  std::shared_ptr<Shared> s_;  // the thread holds it too, and may end last
  bool on_ = false, tried_ = false;
};

}  // namespace recordio
