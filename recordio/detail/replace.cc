#include "recordio/detail/replace.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <string_view>
#include <memory>
#include <utility>

#include "recordio/detail/attributes.h"
#include "recordio/detail/copy.h"
#include "recordio/detail/newfile.h"
#include "recordio/detail/sys.h"
#include "recordio/ids.h"

namespace recordio {
namespace {

// Nothing when FD holds TEXT at OFF, a change when it holds anything else.
Failed compare_bytes(int fd, off_t off, std::string_view text) {
  char buf[512];
  for (std::size_t done = 0; done < text.size();) {
    const std::size_t n = std::min(sizeof buf, text.size() - done);
    if (auto f = read_at(fd, buf, n, off + static_cast<off_t>(done))) return f;
    if (std::string_view(buf, n) != text.substr(done, n)) return changed();
    done += n;
  }
  return std::nullopt;
}

// The file being replaced, as it was read: the checks of the commit.
class Old final : public OldFile {
 public:
  Old(int fd, const struct stat& was, const struct stat& open, std::string_view line, const Attributes& a,
      const Layout& l, int fresh)
      : fd_(fd), was_(was), open_(open), line_(line), attrs_(a), layout_(l), fresh_(fresh) {}

  Failed as_read(int dir, const char* name, Moment m) const override {
    const struct stat& was = was_;
    // Where the times cannot tell a change made within the same second (a
    // filesystem with whole-second times: its nanoseconds are all 0), nor
    // can the times tell a change made before the file was opened for
    // writing (overlayfs sets the ctime then), the bytes tell: line 1 as
    // read, and the rest against the copy. Without an exchange (NFS, FUSE)
    // they are compared just before the rename, so that only a change made
    // between the last check below and the rename can be lost.
    // Whatever is checked last leaves the only window for a change. With
    // nanoseconds, the times come last: they tell of any change until
    // then. With whole seconds, the bytes come after the extended
    // attributes and flags, and last of all the name's status (identity,
    // size, owner, mode), one call that tells of what the bytes cannot.
    const bool whole_seconds = sys::mtime(was).tv_nsec == 0 && sys::ctime(open_).tv_nsec == 0;
    const auto bytes = [&]() -> Failed {
      if (m == Moment::after_exchange) return std::nullopt;
      if (auto f = compare_bytes(fd_, layout_.start, line_)) return f;
      if (m == Moment::before_rename || whole_seconds) {
        if (auto f = compare_range(fd_, 0, layout_.start, fresh_, 0)) return f;
        return compare_range(fd_, layout_.tail, was.st_size - layout_.tail, fresh_, layout_.after);
      }
      return std::nullopt;
    };
    if (!whole_seconds)
      if (auto f = bytes()) return f;
    Attributes a;
    if (int err = read_attributes(fd_, a)) return system_failure(err);
    if (!(a == attrs_)) return changed();
    if (whole_seconds)
      if (auto f = bytes()) return f;
    struct stat now;
    if (sys::fstatat(dir, name, &now) != 0) return errno == ENOENT ? changed() : system_failure(errno);
    if (!same_file(now, was) || now.st_size != was.st_size || !sys::same_time(sys::mtime(now), sys::mtime(was)) ||
        now.st_uid != attrs_.uid || now.st_gid != attrs_.gid || (now.st_mode & 07777) != attrs_.mode)
      return changed();
    // Until the exchange its ctime tells of any change to its bytes, owner,
    // mode or extended attributes, even one undone since; the exchange
    // itself sets the ctime, so afterwards only the attributes compared one
    // by one above tell.
    if (m != Moment::after_exchange && !sys::same_time(sys::ctime(now), sys::ctime(open_))) return changed();
    return std::nullopt;
  }

 private:
  int fd_;
  const struct stat& was_;
  const struct stat& open_;
  std::string_view line_;
  const Attributes& attrs_;
  const Layout& layout_;
  int fresh_;
};

// A user or group by its name where it has one, else by its number.
Error& add_id(Error& e, std::string_view (*name_of)(unsigned, std::span<char, 64>), unsigned id) {
  std::array<char, 64> buf;
  const std::string_view name = name_of(id, buf);
  return name.empty() ? e.add(static_cast<long>(id)) : e.add(name);
}

// Only the owner or root can replace the file and keep its owner and group.
Error not_owner(const Unit& u, const LineSpan& line, std::size_t width) {
  Error e(u.name());
  e.add("line 1 has ").add(static_cast<long>(line.length)).add(" characters");
  if (line.end.empty()) e.add(" and no line end");
  e.add(", not ").add(static_cast<long>(width)).add(", so the file must be replaced, which only its owner (");
  add_id(e, user_name, u.opened().st_uid).add(") or root may do without changing its owner or group (");
  add_id(e, group_name, u.opened().st_gid).add("); once they have run magsync on it, later runs rewrite it in place");
  return e.set(Fate::unchanged);
}

// Writes the new file: the lines before, TEXT and END, the rest.
Failed fill(int in, int out, const Layout& l, std::string_view text, std::string_view end, off_t old_size) {
  if (auto f = copy_range(in, 0, l.start, out, 0)) return f;
  if (auto f = write_at(out, text.data(), text.size(), l.start)) return f;
  if (auto f = write_at(out, end.data(), end.size(), l.start + static_cast<off_t>(text.size()))) return f;
  if (auto f = copy_range(in, l.tail, old_size - l.tail, out, l.after)) return f;
  // A hole at the end stays a hole: the size is set where the copy left it
  // short. Only then, since XFS writes a new file's data out at once when
  // its size is set, even to the size it has.
  struct stat st;
  if (sys::fstat(out, &st) != 0) return system_failure(errno);
  if (st.st_size != l.size && sys::ftruncate(out, l.size) != 0) return system_failure(errno);
  return std::nullopt;
}

Error failed(const Unit& u, Failed f) { return words(u.name(), *f); }

}  // namespace

Staged::~Staged() {
  if (fd >= 0) sys::close(fd);
  if (lock >= 0) sys::close(lock);  // and the old file's lock goes
}

Result<std::unique_ptr<Staged>> stage(const Unit& u, const LineSpan& line, const struct stat& open,
                                      std::string_view was, std::string_view text) {
  const std::size_t width = was.size();
  const struct stat& st = u.opened();
  auto staged = std::make_unique<Staged>();
  Staged& g = *staged;
  Attributes& attrs = g.attrs;
  if (int err = read_attributes(u.fd(), attrs)) return failed(u, system_failure(err, Step::attributes));
  if (!(attrs.uid == st.st_uid && attrs.gid == st.st_gid && attrs.mode == (st.st_mode & 07777)))
    return failed(u, changed());
  if (int err = locate(u.path(), g.place))
    return failed(u, err == ENOENT ? changed() : system_failure(err, Step::locate));

  // A line longer than the WIDTH bytes replaced keeps the rest of itself
  // and its end (or none).
  const bool longer = line.length > static_cast<off_t>(width);
  const std::string_view end = longer ? "" : line.end.empty() ? "\n" : line.end;
  Layout& l = g.layout;
  l.start = line.start;
  l.tail = longer ? line.start + static_cast<off_t>(width)
                  : line.start + line.length + static_cast<off_t>(line.end.size());
  l.after = line.start + static_cast<off_t>(text.size() + end.size());
  l.size = st.st_size - l.tail + l.after;

  NewFile& file = g.file;
  if (int err = file.create(0600)) {
    const Error e = failed(u, system_failure(err, Step::create));
    if (err != EACCES && err != EPERM && err != EROFS) return e;
    return Error(e).add(" (line 1 has ").add(static_cast<long>(line.length)).add(" characters, not ")
        .add(static_cast<long>(text.size())).add(", so the file must be written anew beside it, in its directory)");
  }
  // Owner and group first, while the file is empty and its mode 0600: a
  // replacement that cannot keep them would widen or take away someone's
  // access, and is refused. (A change of owner would also clear set-ID bits
  // given before it.)
  if (sys::fchown(file.fd(), st.st_uid, st.st_gid) != 0)
    return errno == EPERM ? not_owner(u, line, text.size()) : failed(u, system_failure(errno, Step::owner));
  give_flags(file.fd(), attrs, sys::kNoCowFlag, g.lost_flags);  // only while empty
  if (auto f = fill(u.fd(), file.fd(), l, text, end, st.st_size)) return failed(u, at(f, Step::copy));
  if (int err = give_xattrs(file.fd(), attrs)) return failed(u, system_failure(err, Step::xattrs));
  give_flags(file.fd(), attrs, ~sys::kNoCowFlag, g.lost_flags);
  if (sys::fchmod(file.fd(), attrs.mode) != 0) return failed(u, system_failure(errno, Step::mode));
  // What the commit's checks need once the unit is gone: the file as read
  // (a descriptor of its own), and line 1's bytes as read (a shorter line
  // was read padded with blanks).
  g.fd = sys::dup(u.fd());
  if (g.fd < 0) return failed(u, system_failure(errno, Step::check));
  g.name = u.name();
  g.was = st;
  g.open = open;
  g.line_read = was.substr(0, std::min(width, static_cast<std::size_t>(line.length)));
  return staged;
}

// Only a nameless new file waits for a group: a named one would leave its
// name behind should a signal end the run while another new file is
// committed (the signal guard knows one name at a time).
bool deferrable(const Staged& g) {
  return g.file.state() == NewFile::State::nameless && g.place.syncable;
}

int sync_new(Staged& g) { return sys::fsync(g.file.fd()) == 0 ? 0 : errno; }

void warn(const Staged& g) {
  if (g.was.st_nlink > 1)
    report(Error(g.name).add("warning: the file had ").add(static_cast<long>(g.was.st_nlink) - 1)
               .add(" other hard link(s); they keep the old first line").text());
  if (!g.lost_flags.empty())
    report(Error(g.name).add("warning: inode flags not kept: ").add(g.lost_flags).text());
}

Result<Pending> commit(Staged& g, int synced, bool warned, std::string_view name) {
  NewFile& file = g.file;
  if (synced != 0) return words(g.name, {Cause::system, Step::sync_new, synced});
  struct stat mine;
  if (sys::fstat(file.fd(), &mine) != 0) return words(g.name, {Cause::system, Step::stat_new, errno});
  if (mine.st_size != g.layout.size) return words(g.name, *changed());  // written to by another program
  // Locked before it takes the name, so that another run waits until the
  // name is durable too. Where there are no locks (or this one fails), the
  // checks of that run remain.
  (void)sys::lock(file.fd());

  const Failed f = file.commit(Old(g.fd, g.was, g.open, g.line_read, g.attrs, g.layout, file.fd()));
  if (file.state() == NewFile::State::kept)
    return Error(g.name).add("replaced, but ").add(step_words(f->step)).add(": ").add_errno(f->err)
        .add(": what it held is now ").add_name(file.name()).set(Fate::rewritten);
  if (f) return words(g.name, *f);
  if (!warned) warn(g);
  // The replacement is durable once its directory is synced (by the
  // caller, or with a batch's group); where the directory may not be read,
  // the whole filesystem is synced now.
  if (g.place.syncable) return Pending(std::exchange(g.place.dir, -1), file.release_fd(), name);
  if (sys::syncfs(file.fd()) != 0) return words(g.name, {Cause::system, Step::sync_dir, errno});
  return Pending();
}

Result<Pending> replace(const Unit& u, const LineSpan& line, const struct stat& open, std::string_view was,
                        std::string_view text, Group* group, int& lock) {
  Result<std::unique_ptr<Staged>> r = stage(u, line, open, was, text);
  if (const Error* e = r.error()) return *e;
  Staged& g = **r;
  // In a batch a nameless new file waits for the group, whose sync makes
  // all its new files durable together before any takes its name.
  if (group && deferrable(g)) {
    g.lock = std::exchange(lock, -1);
    warn(g);
    group->add_staged(std::move(*r));
    return Pending();
  }
  return commit(g, sync_new(g), false, u.name());
}

}  // namespace recordio
