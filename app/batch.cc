#include "app/batch.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "app/run.h"
#include "recordio/batch.h"
#include "recordio/console.h"
#include "recordio/error.h"
#include "recordio/group.h"

namespace magsync {
namespace {

using recordio::Error;

// A group's writes are synced together once it holds this many, or its
// first has waited this long; report lines wait with them, in input order.
constexpr std::size_t kGroupWrites = 64;
constexpr auto kGroupWait = std::chrono::milliseconds(50);
constexpr std::size_t kGroupLines = 1024;

constexpr std::string_view kHeader = "directory\tstatus\toutcome\tdiagnostics\n";

// A directory's report line, waiting for its group's sync.
struct Line {
  std::string dir;  // as shown
  int status;
  std::string_view outcome;
  std::string diagnostics;
  std::string sfile;  // the S file's name, for a sync that fails
  std::optional<std::size_t> write;  // its entry in the group
};

class Report {
 public:
  // Syncs the group's writes, then writes the lines. False when standard
  // output fails.
  bool flush() {
    group_.sync();
    std::string out;
    for (Line& l : lines_) {
      bool put_back = false;
      if (const int err = l.write ? group_.failure(*l.write, &put_back) : 0) {
        Error e(l.sfile);
        e.add("cannot rewrite: ").add_errno(err).set(put_back ? recordio::Fate::unchanged : recordio::Fate::partial);
        l.status = kStopStatus;
        l.outcome = "failed";
        if (!l.diagnostics.empty()) l.diagnostics += ' ';
        l.diagnostics.append(e.text()).append(e.fate_words());
      }
      all_ok_ &= l.status == kOk;
      out.append(l.dir).append(1, '\t').append(std::to_string(l.status)).append(1, '\t');
      out.append(l.outcome).append(1, '\t').append(l.diagnostics).append(1, '\n');
    }
    lines_.clear();
    if (auto e = recordio::write_out(out)) {
      recordio::report(*e);
      return false;
    }
    return true;
  }

  // Runs magsync in DIR, entered from ORIGIN, and keeps its line.
  bool run(recordio::Origin& origin, const std::string& dir) {
    Line l{recordio::shown(dir), kOk, "", {}, {}, {}};
    recordio::capture_reports(&l.diagnostics);
    const std::size_t before = group_.size();
    if (auto e = origin.enter(dir)) {
      recordio::report(*e);
      l.status = kStopStatus;
    } else {
      const Result r = run_here(&group_);
      l.status = r.status;
      l.outcome = r.status != kOk ? "failed" : !r.matched ? "no match" : r.wrote ? "rewritten" : "unchanged";
      l.sfile = r.sfile;
    }
    if (l.status != kOk) l.outcome = "failed";
    recordio::capture_reports(nullptr);
    if (group_.size() > before) {
      l.write = group_.size() - 1;
      if (before == 0) first_write_ = std::chrono::steady_clock::now();
    }
    lines_.push_back(std::move(l));
    const bool due = group_.size() >= kGroupWrites || lines_.size() >= kGroupLines ||
                     (group_.size() > 0 && std::chrono::steady_clock::now() - first_write_ >= kGroupWait);
    return !due || flush();
  }

  bool all_ok() const { return all_ok_; }

 private:
  recordio::Group group_;
  std::vector<Line> lines_;
  std::chrono::steady_clock::time_point first_write_;
  bool all_ok_ = true;
};

}  // namespace

int batch(char end, long slice, long slices) {
  recordio::Origin origin;
  if (auto e = origin.error()) {
    recordio::report(*e);
    return kStopStatus;
  }
  if (auto e = recordio::write_out(kHeader)) {
    recordio::report(*e);
    return kStopStatus;
  }
  recordio::console_off(true);
  recordio::Names names(end);
  static Report report;
  std::string dir;
  recordio::Status failed;
  for (long i = 0; names.next(dir, &failed); ++i) {
    if (slices && i % slices != slice - 1) continue;
    if (!report.run(origin, dir)) return kStopStatus;
  }
  if (!report.flush()) return kStopStatus;
  if (failed) {
    recordio::report(*failed);
    return kStopStatus;
  }
  return report.all_ok() ? kOk : 1;
}

}  // namespace magsync
