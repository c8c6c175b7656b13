#include "tests/faults.h"

#include <map>

namespace faults {
namespace {
std::vector<Fault> g_faults;
std::vector<Made> g_made;
std::map<Call, int> g_count;
bool g_whole_seconds = false;
bool g_syncfs_serves = false;
}  // namespace

void inject(std::vector<Fault> f) {
  g_faults = std::move(f);
  g_made.clear();
  g_count.clear();
}

void whole_seconds(bool on) { g_whole_seconds = on; }
void syncfs_serves(bool on) { g_syncfs_serves = on; }

const std::vector<Made>& made() { return g_made; }

}  // namespace faults

namespace recordio::faults {
int before(sys::Call call, bool* half) {
  using ::faults::g_faults;
  const int nth = ++::faults::g_count[call];
  ::faults::g_made.push_back({call, nth});
  int err = 0;
  for (const auto& f : g_faults) {
    if (f.call != call || (f.nth != 0 && f.nth != nth)) continue;
    if (f.action) f.action();
    if (f.err) {
      err = f.err;
      if (half) *half = f.half;
    }
  }
  return err;
}
bool whole_seconds() { return ::faults::g_whole_seconds; }
bool syncfs_serves() { return ::faults::g_syncfs_serves; }
}  // namespace recordio::faults
