#include "recordio/group.h"

#include <cerrno>

#include "recordio/detail/copy.h"
#include "recordio/detail/sys.h"
#include "recordio/failure.h"

namespace recordio {

Group::~Group() {
  for (const Entry& e : entries_) {
    sys::close(e.fd);
    if (e.dir >= 0) sys::close(e.dir);
  }
}

std::size_t Group::add(int fd, off_t start, std::string_view was) {
  entries_.push_back({fd, start, std::string(was)});
  ++files_;
  ++added_;
  return entries_.size() - 1;
}

std::size_t Group::add_directory(int dir, int fd) {
  entries_.push_back({fd, 0, {}, dir});
  files_ += 2;
  ++added_;
  return entries_.size() - 1;
}

void Group::sync() {
  // Every file's writeback started first (a failure here only loses the
  // overlap), then each waited for; then the directories.
  for (const Entry& e : entries_)
    if (e.dir < 0) (void)sys::start_writeback(e.fd, e.start, static_cast<off_t>(e.was.size()));
  for (Entry& e : entries_) {
    if (e.dir >= 0 || sys::fdatasync(e.fd) == 0) continue;
    e.err = errno;
    e.put_back = !write_at(e.fd, e.was.data(), e.was.size(), e.start) && sys::fdatasync(e.fd) == 0;
  }
  for (Entry& e : entries_)
    if (e.dir >= 0 && sys::fsync(e.dir) != 0) e.err = errno;
  for (const Entry& e : entries_) {
    sys::close(e.fd);
    if (e.dir >= 0) sys::close(e.dir);
  }
  done_ = std::move(entries_);
  entries_.clear();
  files_ = 0;
}

Status Group::failure(std::size_t i, std::string_view name) const {
  const Entry& e = done_[i];
  if (!e.err) return std::nullopt;
  if (e.dir >= 0) return words(name, {Cause::system, Step::sync_dir, e.err});
  return words(name, {Cause::system, Step::sync, e.err}).set(e.put_back ? Fate::unchanged : Fate::partial);
}

namespace {
void (*g_before_wait)() = nullptr;
}  // namespace

void set_before_wait(void (*hook)()) { g_before_wait = hook; }
void before_wait() {
  if (g_before_wait) g_before_wait();
}

}  // namespace recordio
