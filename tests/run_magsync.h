// Runs the built magsync in a scratch working directory.
#pragma once

#include <fcntl.h>
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

// The text of a /proc file, or "" once its process is gone (a read of a
// process that has just ended fails with ESRCH; no exception for that).
inline std::string read_proc(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return text;
}

// Process PID's state letter and, while it is stopped under a tracer, the
// signal or event it stopped for (the last field of /proc/PID/stat); 'X'
// once it is gone.
inline std::pair<char, int> proc_state(pid_t pid) {
  const std::string text = read_proc("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t paren = text.rfind(')');
  if (paren == text.npos || paren + 2 >= text.size()) return {'X', 0};
  std::istringstream fields(text.substr(paren + 2));
  char state = 'X';
  std::string field;
  fields >> state;
  while (fields >> field) {}
  return {state, std::atoi(field.c_str())};
}

// Waits, on the event and not on a clock, until magsync, run by TRACER
// (strace, told to inject=CALL:signal=SIGSTOP), is held stopped by that
// SIGSTOP, and returns its process ID; -1 after a minute, which no passing
// run reaches. (strace's own probes stop themselves too: they are not magsync.)
inline pid_t stopped_child(pid_t tracer) {
  const std::string children = "/proc/" + std::to_string(tracer) + "/task/" + std::to_string(tracer) + "/children";
  for (int i = 0; i < 60000; ++i) {
    std::istringstream in(read_proc(children));
    for (pid_t p; in >> p;) {
      std::string comm;
      std::istringstream(read_proc("/proc/" + std::to_string(p) + "/comm")) >> comm;
      if (comm == "magsync" && proc_state(p) == std::pair<char, int>{'t', SIGSTOP}) return p;
    }
    const timespec ms = {0, 1000000};
    ::nanosleep(&ms, nullptr);
  }
  return -1;
}

// Lets a process that stopped_child() found go on, and waits until it has
// ended. A SIGCONT that comes before the stop has fully taken hold is lost,
// so it is sent until the process is gone (it only ever continues a run).
inline void resume(pid_t pid) {
  while (pid > 0 && proc_state(pid).first != 'X' && proc_state(pid).first != 'Z') {
    ::kill(pid, SIGCONT);
    const timespec ms = {0, 1000000};
    ::nanosleep(&ms, nullptr);
  }
}
