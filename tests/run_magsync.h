// Runs the built magsync in a scratch working directory.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/scratch.h"

struct Outcome {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// Runs magsync with WORK as its working directory, and ARG as its one
// argument if given. BEFORE runs in the child just before exec (to set
// limits or drop privileges). PREFIX, if given, is a command that runs
// magsync (strace and its options); DURING runs in this process while
// magsync does (another program at work), given the child's process ID (of
// PREFIX's command when there is one); ARGS follow ARG.
inline Outcome run_magsync(const Scratch& work, const std::function<void()>& before = {},
                           const std::string& exe = MAGSYNC_EXE, const char* arg = nullptr,
                           const std::vector<std::string>& prefix = {}, const std::function<void(pid_t)>& during = {},
                           const std::vector<std::string>& args = {}) {
  std::vector<const char*> argv;
  for (const std::string& p : prefix) argv.push_back(p.c_str());
  argv.push_back(prefix.empty() ? "magsync" : exe.c_str());
  if (arg) argv.push_back(arg);
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  const std::string program = prefix.empty() ? exe : prefix[0];
  Scratch io;
  const std::string out = io / "out", err = io / "err";
  pid_t pid = ::fork();
  if (pid == 0) {
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0 || ::chdir(work.path().c_str()) != 0)
      ::_exit(126);
    if (before) before();
    if (!prefix.empty()) ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // LeakSanitizer cannot run under strace
    ::execv(program.c_str(), const_cast<char* const*>(argv.data()));
    ::_exit(127);
  }
  if (during) during(pid);
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  Outcome r;
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  r.out = Scratch::slurp(out);
  r.err = Scratch::slurp(err);
  return r;
}

// A copy of magsync that any user may run, wherever the build lies (under
// /root, say), and whose working directory WORK they may enter.
inline std::string public_exe(const Scratch& work) {
  static Scratch dir;
  static const std::string exe = dir / "magsync";
  if (!std::filesystem::exists(exe)) {
    std::filesystem::copy_file(MAGSYNC_EXE, exe);
    ::chmod(dir.path().c_str(), 0755);
  }
  ::chmod(work.path().c_str(), 0755);
  return exe;
}

// The console line of the two names, each at its full 18 characters.
inline std::string names_line(std::string k, std::string s) {
  k.resize(18, ' ');
  s.resize(18, ' ');
  return " " + k + s + "\n";
}

// A card as held: TEXT cut to WIDTH, then blanks to 115.
inline std::string card_of(std::string text, std::size_t width = 115) {
  if (text.size() > width) text.resize(width);
  text.resize(115, ' ');
  return text;
}

// Lines from a FIFO, read as they come, so that a test waits for an event
// itself (a report row, a line of strace's) and never for a clock.
class Fifo {
 public:
  explicit Fifo(const Scratch& dir) : path_(dir / "fifo") { ::mkfifo(path_.c_str(), 0600); }
  ~Fifo() {
    if (fd_ >= 0) ::close(fd_);
  }
  const std::string& path() const { return path_; }
  // Opens it for reading, once its writer has (before the first line).
  void open() {
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  }

  // Whether its writers have all closed it (after until("") returned).
  bool ended() {
    pollfd p = {fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
  }
  // The lines read up to and with the first that holds TEXT, or to the end.
  std::string until(std::string_view text) {
    std::string read;
    for (std::string line; next(line);) {
      read += line + "\n";
      if (!text.empty() && line.find(text) != line.npos) break;
    }
    return read;
  }

 private:
  bool next(std::string& line) {
    open();
    for (std::size_t nl; (nl = buf_.find('\n')) == buf_.npos;) {
      // A minute is an upper bound no passing run reaches: a line that never
      // comes fails the test rather than hang it.
      pollfd p = {fd_, POLLIN, 0};
      if (::poll(&p, 1, 60000) != 1) return false;
      char chunk[4096];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buf_.append(chunk, static_cast<std::size_t>(n));
    }
    const std::size_t nl = buf_.find('\n');
    line = buf_.substr(0, nl);
    buf_.erase(0, nl + 1);
    return true;
  }
  std::string path_, buf_;
  int fd_ = -1;
};

// With strace's output in TRACE (-o TRACE, inject=CALL:signal=SIGSTOP):
// the process strace holds stopped, once the stop has taken hold, or -1 if
// strace ends first.
inline pid_t stopped(Fifo& trace) {
  constexpr std::string_view kStopped = "--- stopped by SIGSTOP ---";  // after "PID " (-f)
  const std::string read = trace.until(kStopped);
  const std::size_t at = read.find(kStopped);
  if (at == read.npos) return -1;
  const std::size_t line = read.rfind('\n', at);
  return std::atoi(read.c_str() + (line == read.npos ? 0 : line + 1));
}
// Lets PID go on, and reads TRACE on until strace has ended (and PID with it).
inline void resume(Fifo& trace, pid_t pid) {
  if (pid > 0) ::kill(pid, SIGCONT);
  trace.until("");
}
