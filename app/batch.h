#pragma once

namespace magsync {

// Runs magsync in each directory named in LIST (standard input when null or
// "-"; records ended by END, '\n' or '\0'; with SLICES, only the SLICE-th of
// every SLICES, from 1), or, with RETRY, in each directory whose row in the
// report RETRY says it failed; as a run started there would, and writes a
// report on standard output. Returns 0 when every run would have ended 0,
// else 1; 2 when the batch itself cannot go on; 128+N when signal N (SIGINT,
// SIGTERM, SIGHUP) ended it, once what was written is synced and reported.
int batch(const char* list, char end, long slice, long slices, const char* retry);

}  // namespace magsync
