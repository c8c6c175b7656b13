#include <csignal>

#include "app/run.h"

int main() {
  // A write past a file size limit must fail as an error, not kill the run
  // halfway through replacing a file.
  std::signal(SIGXFSZ, SIG_IGN);
  return magsync::run();
}
