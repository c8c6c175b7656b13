#pragma once

namespace magsync {

// One whole run in the current directory; returns the exit status.
int run();

}  // namespace magsync
