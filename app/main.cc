#include <string_view>

#include "app/run.h"

int main(int argc, char** argv) {
  // Only these two are acted on; any other argument is ignored, as callers
  // that pass arguments have always seen.
  const std::string_view arg = argc > 1 ? argv[1] : "";
  if (arg == "--help" || arg == "--version") return magsync::tell(arg == "--help");
  return magsync::run();
}
