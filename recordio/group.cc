#include "recordio/group.h"

#include <cerrno>

#include "recordio/detail/copy.h"
#include "recordio/detail/sys.h"

namespace recordio {

Group::~Group() {
  for (const Entry& e : entries_) sys::close(e.fd);
}

std::size_t Group::add(int fd, off_t start, std::string_view was) {
  entries_.push_back({fd, start, std::string(was)});
  ++added_;
  return entries_.size() - 1;
}

void Group::sync() {
  // Every file's writeback started first (a failure here only loses the
  // overlap), then each waited for.
  for (const Entry& e : entries_)
    (void)sys::start_writeback(e.fd, e.start, static_cast<off_t>(e.was.size()));
  for (Entry& e : entries_) {
    if (sys::fdatasync(e.fd) == 0) continue;
    e.err = errno;
    e.put_back = !write_at(e.fd, e.was.data(), e.was.size(), e.start) && sys::fdatasync(e.fd) == 0;
  }
  for (const Entry& e : entries_) sys::close(e.fd);
  done_ = std::move(entries_);
  entries_.clear();
}

int Group::failure(std::size_t i, bool* put_back) const {
  *put_back = done_[i].put_back;
  return done_[i].err;
}

namespace {
void (*g_before_wait)() = nullptr;
}  // namespace

void set_before_wait(void (*hook)()) { g_before_wait = hook; }
void before_wait() {
  if (g_before_wait) g_before_wait();
}

}  // namespace recordio
