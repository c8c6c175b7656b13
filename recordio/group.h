// In-place updates of many files made durable together. A batch writes the
// lines of several directories, then makes them durable in one of two ways:
//  - one syncfs per filesystem, where that is sound and cheaper: only on a
//    filesystem whose syncfs reaches the disk and reports a file's failed
//    write (ext4, XFS, btrfs; Linux 5.8 and later), and only while the whole
//    system holds little dirty data, since syncfs waits for all of that
//    filesystem's, other programs' too. A disk's cache is flushed once for
//    the group, where each file's fdatasync flushes it again;
//  - otherwise each file by itself: every file's writeback started, then
//    each waited for (fdatasync), so that the waits overlap. Only these
//    files' data is flushed, whatever other programs have written, and it
//    reaches the disk on FUSE and NFS too, which do not pass syncfs on.
// A syncfs that fails does not say which file failed: that filesystem's
// files are then synced one by one.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "recordio/error.h"

namespace recordio {

struct Staged;

// One syncfs per filesystem, where sync_whole() says it serves, while the
// system holds DIRTY KiB of dirty data: sync(FD) is 0 once FD's filesystem
// is synced, the errno of its failed syncfs, or -1 where it does not serve.
struct WholeSyncs {
  long dirty;
  bool tells;  // syncfs tells of a failed write
  std::vector<std::pair<std::uint64_t, int>> done;
  int sync(int fd);
};

class Group {
 public:
  Group();
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
  // Takes over a replacement whose new file is written but neither durable
  // nor in place (recordio/detail/replace.h); the old file stays locked.
  std::size_t add_staged(std::unique_ptr<Staged> staged);
  // Whether a replacement waiting here is to replace the file ST.
  bool replacing(const struct stat& st) const;
  std::size_t size() const { return entries_.size(); }
  std::size_t files() const { return files_; }     // open files held
  unsigned long added() const { return added_; }  // entries ever added

  // Makes every entry durable: first the replacements' new files, each of
  // which then takes its file's name (checked and exchanged); then the
  // files written in place and the replacements' directories (whose syncs
  // cost little once the first has committed the filesystem's journal). A
  // file whose sync fails has its old line put back and synced. Then the
  // entries are closed (and unlocked).
  void sync();

  // After sync(): entry I's failure, if any, as a diagnostic about the
  // file NAME, its fate saying what became of the file.
  Status failure(std::size_t i, std::string_view name) const;

 private:
  struct Entry {
    // Made in place: an entry is large (its error), and not worth a copy.
    Entry(std::unique_ptr<Staged> s, int f, off_t at, std::size_t w, std::size_t n, int d);
    std::unique_ptr<Staged> staged;  // a replacement not yet in place
    std::optional<Error> error;      // its failure, once it was to be put in place
    int fd;
    off_t start = 0;
    std::size_t was_at = 0, was_size = 0;  // the line it held, in lines_
    int dir = -1;  // a replacement's directory, to sync in place of FD
    int err = 0;
    bool put_back = false;
    bool synced = false;  // by its filesystem's syncfs
  };
  std::vector<Entry> entries_, done_;
  std::vector<std::pair<dev_t, ino_t>> replaced_;  // the files staged replacements replace
  std::string lines_;  // the lines the files written in place held, one after another
  std::size_t files_ = 0;
  unsigned long added_ = 0;
  void commit_staged(WholeSyncs whole);
};

// Whether the files on a filesystem of type FS_TYPE are made durable by one
// syncfs, while the system holds DIRTY_KIB of dirty data (-1: not known).
inline constexpr long kQuietKib = 4096;
bool sync_whole(long fs_type, long dirty_kib, bool syncfs_tells_errors);

// Called before the record layer may wait (for another program's lock, for
// a FIFO's writer): a batch makes its group durable and reports it, so that
// it never holds a lock or an unreported line while it waits. STOP, when
// given, is set by a signal that ends the batch.
void set_before_wait(void (*hook)(), const volatile std::sig_atomic_t* stop = nullptr);
void before_wait();
// before_wait(), then waits until FD can be read; false, at once, when a
// signal sets STOP meanwhile (whether it comes before the wait or during it).
bool wait_to_read(int fd);

}  // namespace recordio
