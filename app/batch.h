#pragma once

namespace magsync {

// Runs magsync in each directory named on standard input (records ended by
// END, '\n' or '\0'; with SLICES, only the SLICE-th of every SLICES, from
// 1), as a run started there would, and writes a report on standard
// output. Returns 0 when every run would have ended 0, else 1; 2 when the
// batch itself cannot go on.
int batch(char end, long slice, long slices);

}  // namespace magsync
