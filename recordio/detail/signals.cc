#include "recordio/detail/signals.h"

#include <csignal>
#include <initializer_list>

namespace recordio::signals {
namespace {

// Signals whose default action does not end the run, and those no handler can catch.
bool ends_the_run(int sig) {
  for (int s : {SIGKILL, SIGSTOP, SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU})
    if (sig == s) return false;
  return true;
}
#ifdef NSIG
constexpr int kSignals = NSIG;
#else
constexpr int kSignals = 65;
#endif

void (*volatile g_cleanup)() = nullptr;
sigset_t g_set, g_mask;  // the signals handled; the mask before holding
bool g_holding = false;
alignas(16) char g_altstack[64 * 1024];

extern "C" void clean_up_and_die(int sig) {
  if (g_cleanup) g_cleanup();
  ::raise(sig);  // the action is the default again (SA_RESETHAND): delivered on return
}

}  // namespace

void arm(void (*cleanup)()) {
  g_cleanup = cleanup;
  static bool installed = false;
  if (installed) return;
  installed = true;
  stack_t ss = {};
  ss.ss_sp = g_altstack;
  ss.ss_size = sizeof g_altstack;
  ::sigaltstack(&ss, nullptr);
  sigemptyset(&g_set);
  for (int s = 1; s < kSignals; ++s)
    if (ends_the_run(s)) sigaddset(&g_set, s);
  struct sigaction sa = {};
  sa.sa_handler = clean_up_and_die;
  sa.sa_mask = g_set;
  sa.sa_flags = static_cast<int>(SA_RESETHAND | SA_ONSTACK);
  for (int s = 1; s < kSignals; ++s) {
    // Numbers the C library keeps for itself fail here and are left alone.
    struct sigaction old;
    if (ends_the_run(s) && ::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) ::sigaction(s, &sa, nullptr);
  }
}

void hold() {
  if (g_holding) return;
  ::sigprocmask(SIG_BLOCK, &g_set, &g_mask);
  g_holding = true;
}

void release() {
  if (!g_holding) return;
  g_holding = false;
  ::sigprocmask(SIG_SETMASK, &g_mask, nullptr);
}

}  // namespace recordio::signals
