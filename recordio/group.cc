#include "recordio/group.h"

#include <sys/stat.h>

#include <cerrno>

#include "recordio/copy.h"
#include "recordio/sys.h"

namespace recordio {

Group::~Group() {
  for (const Entry& e : entries_) sys::close(e.fd);
}

std::size_t Group::add(int fd, off_t start, std::string_view was) {
  struct stat st = {};
  (void)sys::fstat(fd, &st);  // a failure only costs a sync of its own below
  entries_.push_back({fd, st.st_dev, start, std::string(was)});
  return entries_.size() - 1;
}

void Group::sync() {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const dev_t dev = entries_[i].dev;
    bool seen = false;  // its filesystem dealt with at an entry before it
    for (std::size_t j = 0; j < i && !seen; ++j) seen = entries_[j].dev == dev;
    if (seen || sys::syncfs(entries_[i].fd) == 0) continue;
    // The filesystem could not be synced: each of its files on its own.
    for (std::size_t j = i; j < entries_.size(); ++j) {
      Entry& f = entries_[j];
      if (f.dev != dev || sys::fsync(f.fd) == 0) continue;
      f.err = errno;
      f.put_back = write_at(f.fd, f.was.data(), f.was.size(), f.start) == 0 && sys::fsync(f.fd) == 0;
    }
  }
  for (const Entry& e : entries_) sys::close(e.fd);
  done_ = std::move(entries_);
  entries_.clear();
}

int Group::failure(std::size_t i, bool* put_back) const {
  *put_back = done_[i].put_back;
  return done_[i].err;
}

}  // namespace recordio
