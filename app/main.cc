#include <string_view>

#include "app/run.h"

int main(int argc, char** argv) {
  return magsync::start(argc, argv);
}
