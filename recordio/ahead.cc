#include "recordio/ahead.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>

#include "recordio/detail/sys.h"
#include "recordio/ids.h"

namespace recordio {

struct ReadAhead::Shared {
  std::mutex m;
  std::condition_variable cv;
  std::array<std::string, kDepth> ring;  // directory I in ring[I % kDepth]
  std::size_t pushed = 0, popped = 0, asked = 0, fetched = 0;  // counts of names; kDepth divides their wrap
  bool stop = false;
  // Set before the thread starts, and only read after.
  int origin = -1;
  bool root = false;  // as root: see start()
  std::string control;
  std::size_t width;
  int lines;

  ~Shared() {
    if (origin >= 0) ::close(origin);
  }
};

namespace {

constexpr std::size_t kControlBytes = 512;  // enough of the control file for its names
constexpr off_t kFileBytes = 4096;          // a run reads a file's first line only

// NAME opened for reading, when it is a regular file (a FIFO would wait, and
// a device may act on being opened), and with ROOT one only root may write;
// -1 otherwise.
int open_regular(int dir, const char* name, bool root = false) {
  struct stat st;
  if (::fstatat(dir, name, &st, 0) != 0 || !S_ISREG(st.st_mode) || (root && !only_root_writes(st))) return -1;
  return ::openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// DIR opened as the batch enters it; as root, only one that only root may write.
int open_dir(const ReadAhead::Shared& s, const std::string& dir) {
  const int d = Origin::open(s.origin, dir, s.root);
  struct stat st;
  if (d >= 0 && s.root && (::fstat(d, &st) != 0 || !only_root_writes(st))) {
    ::close(d);
    return -1;
  }
  return d;
}

// Asks the disk for the start of file NAME in DIR, and waits for nothing.
void ask(int dir, const char* name, bool root = false) {
  if (const int f = open_regular(dir, name, root); f >= 0) {
#ifdef POSIX_FADV_WILLNEED
    (void)::posix_fadvise(f, 0, kFileBytes, POSIX_FADV_WILLNEED);
#endif
    ::close(f);
  }
}

// The first step for DIR: its control file is asked of the disk.
void ask_control(const ReadAhead::Shared& s, const std::string& dir) {
  const int d = open_dir(s, dir);
  if (d < 0) return;
  ask(d, s.control.c_str(), s.root);
  ::close(d);
}

// The second, some directories later: DIR's control file is read, and the
// files it names are asked of the disk.
void fetch(const ReadAhead::Shared& s, const std::string& dir, char* buf) {
  const int d = open_dir(s, dir);
  if (d < 0) return;
  const int c = open_regular(d, s.control.c_str(), s.root);
  const ssize_t n = c >= 0 ? ::pread(c, buf, kControlBytes - 1, 0) : -1;
  if (c >= 0) ::close(c);
  std::string_view text(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
  for (int i = 0; i < s.lines && !text.empty(); ++i) {
    const std::size_t nl = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(std::min(nl + 1, text.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = line.substr(0, s.width);
    while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
    if (line.empty() || line.find('\0') != line.npos) continue;
    char name[256];
    *std::copy(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(std::min(line.size(), sizeof name - 1)), name) = '\0';
    ask(d, name);
  }
  ::close(d);
}

extern "C" void* read_ahead(void* arg) {
  const std::unique_ptr<std::shared_ptr<ReadAhead::Shared>> own(static_cast<std::shared_ptr<ReadAhead::Shared>*>(arg));
  ReadAhead::Shared& s = **own;
  const std::unique_ptr<char[]> buf(new char[kControlBytes]);
  std::string dir;
  for (;;) {
    bool first;
    {
      std::unique_lock lock(s.m);
      s.cv.wait(lock, [&s] { return s.stop || std::max(s.fetched, s.popped) < s.pushed; });
      if (s.stop) return nullptr;
      s.fetched = std::max(s.fetched, s.popped);  // the batch has reached these
      s.asked = std::max(s.asked, s.fetched);
      // Every directory's control file is asked for as soon as it is known,
      // so that many are on their way from the disk at once.
      first = s.asked < s.pushed;
      dir = s.ring[(first ? s.asked++ : s.fetched++) % s.ring.size()];
    }
    if (first) ask_control(s, dir);
    else fetch(s, dir, buf.get());
  }
}

}  // namespace

ReadAhead::ReadAhead(const char* control, std::size_t width, int lines) : s_(std::make_shared<Shared>()) {
  s_->control = control;
  s_->width = width;
  s_->lines = lines;
}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(s_->m);
    s_->stop = true;
  }
  s_->cv.notify_one();
}

bool ReadAhead::start(const Origin& origin, bool root) {
  if (tried_) return on_;
  tried_ = true;
  s_->origin = ::fcntl(origin.fd(), F_DUPFD_CLOEXEC, 0);
  s_->root = root;
  if (s_->origin < 0) return false;
  auto* arg = new std::shared_ptr<Shared>(s_);
  pthread_t t;
  const int err = sys::start_thread(&t, read_ahead, arg, true);
  if (err != 0) delete arg;
  on_ = err == 0;
  return on_;
}

bool ReadAhead::full() const { return s_->pushed - s_->popped >= kDepth; }

void ReadAhead::push(const std::string& dir) {
  {
    std::lock_guard lock(s_->m);
    s_->ring[s_->pushed++ % kDepth].assign(dir);
  }
  s_->cv.notify_one();
}

bool ReadAhead::pop(std::string& dir) {
  if (s_->popped == s_->pushed) return false;  // only this thread changes either
  std::lock_guard lock(s_->m);
  dir.swap(s_->ring[s_->popped++ % kDepth]);
  return true;
}

}  // namespace recordio
