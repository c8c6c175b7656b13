#include "recordio/update.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <utility>

#include "recordio/detail/copy.h"
#include "recordio/detail/replace.h"
#include "recordio/detail/sys.h"
#include "recordio/failure.h"

namespace recordio {
namespace {

constexpr std::size_t kInPlaceMax = 4096;  // longest text written in place (magsync's card is 115)
constexpr auto kLockWait = std::chrono::seconds(5);  // how long a run waits for another to finish
constexpr long kLockPollNs = 10'000'000;

// The file opened for writing, and locked.
class Writer {
 public:
  ~Writer() {
    if (fd_ >= 0) sys::close(fd_);  // and the lock goes with it
  }
  // Nothing, or a failure: a change when the name leads elsewhere now.
  Failed open(const Unit& u) {
    // Not blocking: if the name led to a FIFO now, opening it must not wait.
    fd_ = sys::open(u.path(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return errno == ENOENT ? changed() : system_failure(errno, Step::open);  // removed since read
    if (sys::fstat(fd_, &open_) != 0) return system_failure(errno, Step::check);
    const struct stat& st = open_;
    if (!same_file(st, u.opened())) return changed();
    // Opening for writing may change the ctime itself (overlayfs copies a
    // lower file up): what another program changes shows in the size and
    // the mtime, and later changes in the ctime from here on.
    if (st.st_size != u.opened().st_size || !sys::same_time(sys::mtime(st), sys::mtime(u.opened()))) return changed();
    // A deadline on the monotonic clock, however long each pause takes,
    // from the first time the lock is found held.
    std::chrono::steady_clock::time_point deadline;
    for (bool waited = false;; waited = true) {
      if (sys::lock(fd_) == 0) return std::nullopt;
      if (errno == ENOLCK) return std::nullopt;  // a filesystem without locks: the checks below remain
      if (errno != EAGAIN) return system_failure(errno, Step::lock);
      if (waited && std::chrono::steady_clock::now() >= deadline) return Failure{Cause::locked, Step::lock};
      if (!waited) {
        before_wait();  // a batch lets go of what it holds (this very file, it may be)
        deadline = std::chrono::steady_clock::now() + kLockWait;
        continue;
      }
      const timespec pause = {0, kLockPollNs};
      ::nanosleep(&pause, nullptr);
    }
  }
  int fd() const { return fd_; }
  const struct stat& opened() const { return open_; }  // as it was once open for writing
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
  struct stat open_ = {};
};

// Puts WAS back at START of FD and syncs it: 0, or the errno of the failure.
int put_back(int fd, off_t start, std::string_view was) {
  if (auto f = write_at(fd, was.data(), was.size(), start)) return f->err;
  return sys::fsync(fd) == 0 ? 0 : errno;
}

// The same length: the line is written in place, and left for the caller
// to sync. Nothing, or the failure; *BACK is the errno of putting the old
// line back where the write failed and that failed too; *WROTE tells
// whether anything was written. *NOW is what the line held.
Failed in_place(const Unit& u, int fd, const LineSpan& line, std::string_view was, std::string_view text, int* back,
                bool* wrote, std::string_view* now) {
  // The name must still lead to the file, and the line and its end must
  // still hold what was read (a run before this one may have changed them).
  struct stat named;
  if (sys::stat(u.path(), &named) != 0) return errno == ENOENT ? changed() : system_failure(errno, Step::check);
  if (!same_file(named, u.opened())) return changed();
  static char old[kInPlaceMax + 2];
  if (auto f = read_at(fd, old, text.size(), line.start)) return at(f, Step::read);
  if (auto f = read_at(fd, old + text.size(), line.end.size(), line.start + line.length)) return at(f, Step::read);
  *now = std::string_view(old, text.size());
  if ((*now != was && *now != text) || line.end != std::string_view(old + text.size(), line.end.size()))
    return changed();
  // A last line without a line end must still end the file.
  struct stat st;
  if (line.end.empty() && sys::fstat(fd, &st) != 0) return system_failure(errno, Step::check);
  if (line.end.empty() && st.st_size != line.start + line.length) return changed();

  // The whole new text in one write, never a part of it alone; what
  // follows it on a longer line is left as it is.
  if (*now == text) return std::nullopt;  // held already
  Failed f = at(write_at(fd, text.data(), text.size(), line.start), Step::write);
  *wrote = !f;
  if (f) *back = put_back(fd, line.start, *now);
  return f;
}

}  // namespace

Pending::Pending(Pending&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), dir_(std::exchange(other.dir_, -1)), start_(other.start_),
      was_(other.was_), name_(other.name_) {}

Pending::~Pending() {
  if (fd_ >= 0) sys::close(fd_);
  if (dir_ >= 0) sys::close(dir_);
}

Status Pending::sync() {
  if (dir_ >= 0) {
    if (sys::fsync(dir_) == 0) return std::nullopt;
    return words(name_, {Cause::system, Step::sync_dir, errno});
  }
  if (fd_ < 0 || sys::fsync(fd_) == 0) return std::nullopt;
  const int err = errno;
  Error e = words(name_, {Cause::system, Step::sync, err});
  if (const int back = put_back(fd_, start_, was_))
    e.add("; putting the old line back failed too: ").add_errno(back).set(Fate::partial);
  return e;
}

void Pending::join(Group& group) {
  if (dir_ >= 0) group.add_directory(std::exchange(dir_, -1), std::exchange(fd_, -1));
  else if (fd_ >= 0) group.add(std::exchange(fd_, -1), start_, was_);
}

Result<Updated> update(Unit& u, std::string_view was, std::string_view text, Group* group) {
  if (!S_ISREG(u.opened().st_mode)) return Error(u.name()).add("not a regular file").set(Fate::not_rewritten);
  LineSpan line;
  if (auto e = u.last_line(line)) return *e;
  if (previewing()) return Updated{was != text ? Done::written : Done::held, {}};  // nothing opened for writing
  Writer w;
  if (auto f = w.open(u)) return words(u.name(), *f);
  // What follows the WAS bytes read on a longer line is kept, and a last
  // line without a line end stays without one. A line whose bytes read are
  // as many as TEXT's, and which is as long or longer, is written in place.
  const auto width = static_cast<off_t>(was.size());
  const bool longer = line.length > width;
  const bool same_length = line.length == width && !line.end.empty();
  if (!(same_length || longer) || was.size() != text.size() || text.size() > kInPlaceMax) {
    int lock = w.release();  // a replacement staged in a group keeps it
    Result<Pending> r = replace(u, line, w.opened(), was, text, group, lock);
    if (lock >= 0) sys::close(lock);
    if (const Error* e = r.error()) return *e;
    return Updated{Done::replaced, std::move(*r)};
  }
  int back = 0;
  bool wrote = false;
  std::string_view now;
  if (const Failed f = in_place(u, w.fd(), line, was, text, &back, &wrote, &now)) {
    if (!back) return words(u.name(), *f);
    return words(u.name(), *f).add("; putting the old line back failed too: ").add_errno(back).set(Fate::partial);
  }
  if (wrote && u.opened().st_nlink > 1)
    report(Error(u.name()).add("warning: the file has ").add(static_cast<long>(u.opened().st_nlink) - 1)
               .add(" other hard link(s); they show the new line too").text());
  return Updated{wrote ? Done::written : Done::held, Pending(w.release(), line.start, now, u.name())};
}

Status update_now(Unit& u, std::string_view was, std::string_view text) {
  Result<Updated> r = update(u, was, text);
  if (const Error* e = r.error()) return *e;
  return r->pending.sync();
}

}  // namespace recordio
