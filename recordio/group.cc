#include "recordio/group.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#include "recordio/detail/copy.h"
#include "recordio/detail/replace.h"
#include "recordio/detail/sys.h"
#include "recordio/failure.h"

namespace recordio {

namespace {
// Calls EACH(i) for every i below N that WANTED(i) picks, several at once:
// the syncs of a group's files wait together.
template <class Wanted, class Each>
void at_once(std::size_t n, Wanted wanted, Each each) {
  std::vector<std::size_t> picked;
  for (std::size_t i = 0; i < n; ++i)
    if (wanted(i)) picked.push_back(i);
  auto call = [&](std::size_t k) { each(picked[k]); };
  sys::overlapped(picked.size(), call);
}
}  // namespace

Group::Group() = default;

Group::~Group() {
  for (const Entry& e : entries_) {
    if (e.fd >= 0) sys::close(e.fd);
    if (e.dir >= 0) sys::close(e.dir);
  }
}

Group::Entry::Entry(std::unique_ptr<Staged> s, int f, off_t at, std::size_t w, std::size_t n, int d)
    : staged(std::move(s)), fd(f), start(at), was_at(w), was_size(n), dir(d) {}

std::size_t Group::add(int fd, off_t start, std::string_view was) {
  entries_.emplace_back(nullptr, fd, start, lines_.size(), was.size(), -1);
  lines_.append(was);
  ++files_;
  ++added_;
  return entries_.size() - 1;
}

std::size_t Group::add_directory(int dir, int fd) {
  entries_.emplace_back(nullptr, fd, 0, 0, 0, dir);
  files_ += 2;
  ++added_;
  return entries_.size() - 1;
}

std::size_t Group::add_staged(std::unique_ptr<Staged> staged) {
  const std::pair file{staged->was.st_dev, staged->was.st_ino};
  replaced_.insert(std::ranges::lower_bound(replaced_, file), file);  // kept in order, to be searched
  entries_.emplace_back(std::move(staged), -1, 0, 0, 0, -1);
  files_ += 4;  // the old file twice (as read, and locked), the new one, the directory
  ++added_;
  return entries_.size() - 1;
}

bool Group::replacing(const struct stat& st) const {
  return std::ranges::binary_search(replaced_, std::pair{st.st_dev, st.st_ino});
}

// The replacements' new files made durable (one syncfs per filesystem where
// that serves, else every writeback started, then each synced: the first
// sync commits the journal for them all), then each put in place. Each then
// stands as its directory's entry, or holds its failure.
void Group::commit_staged(WholeSyncs whole) {  // a copy: the names are synced anew afterwards
  std::vector<int> synced(entries_.size(), -1);  // each new file's: 0 or an errno; -1 while not synced
  for (std::size_t i = 0; i < entries_.size(); ++i)  // a failed syncfs does not say whose data failed: each is synced below
    if (const Staged* g = entries_[i].staged.get(); g && whole.sync(g->file.fd()) == 0) synced[i] = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (const Staged* g = entries_[i].staged.get(); g && synced[i] < 0)
      (void)sys::start_writeback(g->file.fd(), 0, g->layout.size);
  at_once(entries_.size(), [&](std::size_t i) { return entries_[i].staged && synced[i] < 0; },
          [&](std::size_t i) { synced[i] = sync_new(*entries_[i].staged); });
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    Entry& e = entries_[i];
    if (!e.staged) continue;
    Result<Pending> r = commit(*e.staged, synced[i], true, {});  // the group words its own failures
    if (const Error* err = r.error()) e.error = *err;
    else e.dir = std::exchange(r->dir_, -1), e.fd = std::exchange(r->fd_, -1);
    e.staged.reset();  // only now: a name it left is removed before the next commit
  }
}

bool sync_whole(long fs_type, long dirty_kib, bool syncfs_tells_errors) {
  constexpr long kExt4 = 0xEF53, kXfs = 0x58465342, kBtrfs = 0x9123683E;
  return syncfs_tells_errors && dirty_kib >= 0 && dirty_kib <= kQuietKib &&
         (fs_type == kExt4 || fs_type == kXfs || fs_type == kBtrfs);
}

int WholeSyncs::sync(int fd) {
  std::uint64_t id = 0;
  if (dirty < 0 || !sync_whole(sys::fs_type(fd, &id), dirty, tells)) return -1;  // no fstatfs where syncfs cannot serve
  auto fs = std::ranges::find(done, id, &std::pair<std::uint64_t, int>::first);
  if (fs == done.end()) fs = done.insert(fs, {id, sys::syncfs(fd) == 0 ? 0 : errno});
  return fs->second;
}

void Group::sync() {
  if (entries_.empty()) return done_.clear();
  // Where it is sound and cheaper, one syncfs per filesystem (its files
  // were all written, and replacements' names exchanged, before this).
  const bool tells = sys::syncfs_tells_errors();
  WholeSyncs whole{tells ? sys::dirty_kib() : -1, tells, {}};
  commit_staged(whole);
  // A replacement that failed has nothing to sync.
  for (Entry& e : entries_) e.synced = e.fd < 0 || whole.sync(e.fd) == 0;
  // The others each by itself: every file's writeback started first (a
  // failure here only loses the overlap), then each waited for, several at
  // once; then the old lines of those that failed put back; then the
  // directories, several at once.
  for (const Entry& e : entries_)
    if (e.dir < 0 && !e.synced) (void)sys::start_writeback(e.fd, e.start, static_cast<off_t>(e.was_size));
  at_once(entries_.size(), [&](std::size_t i) { return entries_[i].dir < 0 && !entries_[i].synced; },
          [&](std::size_t i) { entries_[i].err = sys::fdatasync(entries_[i].fd) == 0 ? 0 : errno; });
  for (Entry& e : entries_)
    if (e.dir < 0 && e.err)
      e.put_back = !write_at(e.fd, lines_.data() + e.was_at, e.was_size, e.start) && sys::fdatasync(e.fd) == 0;
  at_once(entries_.size(), [&](std::size_t i) { return entries_[i].dir >= 0 && !entries_[i].synced; },
          [&](std::size_t i) { entries_[i].err = sys::fsync(entries_[i].dir) == 0 ? 0 : errno; });
  for (const Entry& e : entries_) {
    if (e.fd >= 0) sys::close(e.fd);
    if (e.dir >= 0) sys::close(e.dir);
  }
  std::swap(done_, entries_);  // both keep their room: a group's entries are large
  entries_.clear();
  replaced_.clear();
  lines_.clear();
  files_ = 0;
}

Status Group::failure(std::size_t i, std::string_view name) const {
  const Entry& e = done_[i];
  if (e.error) return e.error;
  if (!e.err) return std::nullopt;
  if (e.dir >= 0) return words(name, {Cause::system, Step::sync_dir, e.err});
  return words(name, {Cause::system, Step::sync, e.err}).set(e.put_back ? Fate::unchanged : Fate::partial);
}

namespace {
void (*g_before_wait)() = nullptr;
const volatile std::sig_atomic_t* g_stop = nullptr;
bool stopping() { return g_stop && *g_stop; }
}  // namespace

void set_before_wait(void (*hook)(), const volatile std::sig_atomic_t* stop) {
  g_before_wait = hook;
  g_stop = stop;
}
void before_wait() {
  if (g_before_wait) g_before_wait();
}

bool wait_to_read(int fd) {
  before_wait();
  pollfd p = {fd, POLLIN, 0};
#ifdef __APPLE__
  // No ppoll: the wait is cut into tenths of a second, and STOP is looked
  // at between them.
  for (int r; !stopping() && ((r = ::poll(&p, 1, 100)) == 0 || (r < 0 && errno == EINTR));) {}
  return !stopping();
#else
  // Signals are held while STOP is looked at, and let in only by the wait
  // itself: one that comes between the two cannot be missed.
  sigset_t all, was;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &was);
  while (!stopping() && ::ppoll(&p, 1, nullptr, &was) < 0 && errno == EINTR) {}
  const bool stopped = stopping();
  ::pthread_sigmask(SIG_SETMASK, &was, nullptr);
  return !stopped;
#endif
}

}  // namespace recordio
