#include "app/batch.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/run.h"
#include "recordio/ahead.h"
#include "recordio/batch.h"
#include "recordio/failure.h"
#include "recordio/ids.h"
#include "recordio/console.h"
#include "recordio/error.h"
#include "recordio/group.h"
#include "recordio/unit.h"

namespace magsync {
namespace {

using recordio::Error;
using Clock = std::chrono::steady_clock;

// A group's writes are synced together once it holds this many (fewer when
// few files may be open at once: a run needs its own, and the batch its
// streams and list), or its first has waited this long, or before the batch
// waits for anything. Rows wait with them, in input order.
constexpr std::size_t kGroupWrites = 256;
constexpr rlim_t kFilesReserved = 16;
constexpr auto kGroupWait = std::chrono::milliseconds(50);
constexpr auto kProgressEvery = std::chrono::seconds(1);
// The directories to come are read ahead once runs wait for the disk: at
// least this many, and one in this many of the runs so far (a file or two
// missing from the cache, in a catalog otherwise cached, is no reason).
constexpr unsigned long kColdRuns = 3, kColdShare = 8;

constexpr std::string_view kHeader = "directory\tstatus\toutcome\tbefore\tafter\tdiagnostics\n";
constexpr std::string_view kRewritten = "rewritten", kUnchanged = "unchanged", kNoMatch = "no match",
                           kFailed = "failed", kWouldRewrite = "would rewrite";

volatile std::sig_atomic_t g_stop = 0;  // the signal that ends the batch
extern "C" void stop_batch(int sig) { g_stop = sig; }

std::size_t group_writes() {
  rlimit lim = {};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return kGroupWrites;
  if (lim.rlim_cur <= kFilesReserved + 1) return 1;
  return static_cast<std::size_t>(std::min<rlim_t>(kGroupWrites, lim.rlim_cur - kFilesReserved));
}

// A directory's report row, waiting for its group's sync.
struct Row {
  std::string dir;  // as shown
  int status;
  std::string_view outcome;
  std::string before, after;
  std::string diagnostics;
  std::string sfile;  // the S file's name, for a sync that fails
  std::optional<std::size_t> write;  // its entry in the group
};

class Report {
 public:
  // Syncs the group's writes, then writes the rows. False when standard
  // output fails; every directory changed but not reported is then named
  // on standard error.
  bool flush() {
    if (failed_) return false;
    std::string* capturing = recordio::capture_reports(nullptr);
    group_.sync();
    std::string& out = out_;  // kept, with its room, from one group to the next
    out.clear();
    const std::span rows(rows_.data(), used_);
    for (Row& r : rows) {
      if (const auto e = r.write ? group_.failure(*r.write, r.sfile) : std::nullopt) {
        r.status = kStopStatus;
        r.outcome = kFailed;
        // What the S file holds now: the old line put back, the new one, or either.
        if (e->fate() != recordio::Fate::rewritten) r.after = e->fate() == recordio::Fate::unchanged ? r.before : "";
        if (!r.diagnostics.empty()) r.diagnostics += ' ';
        r.diagnostics.append(e->text()).append(e->fate_words());
      }
      count(r);
      out.append(r.dir).append(1, '\t').append(std::to_string(r.status)).append(1, '\t').append(r.outcome);
      out.append(1, '\t').append(r.before).append(1, '\t').append(r.after).append(1, '\t').append(r.diagnostics);
      out.append(1, '\n');
    }
    if (auto e = recordio::write_out(out)) {
      failed_ = true;
      recordio::report(*e);
      for (const Row& r : rows)
        if (r.outcome == kRewritten) recordio::report(Error(r.dir).add("rewritten, but not reported").text());
    }
    used_ = 0;
    recordio::capture_reports(capturing);
    return !failed_;
  }

  // Runs magsync in DIR, entered from ORIGIN, and keeps its row; false when
  // the report can no longer be written.
  bool run(recordio::Origin& origin, const std::string& dir) {
    // A row of an earlier group, its strings' room kept; counted among the
    // rows only once done, since the group may be flushed during the run.
    const std::size_t at = used_;
    if (at == rows_.size()) rows_.emplace_back();
    Row& r = rows_[at];
    recordio::show(dir, r.dir);
    r.status = kOk;
    r.outcome = kFailed;
    r.before.clear();
    r.after.clear();
    r.diagnostics.clear();
    r.sfile.clear();
    r.write.reset();
    recordio::capture_reports(&r.diagnostics);
    const unsigned long before = group_.added();
    if (auto e = origin.enter(dir, root_)) {
      recordio::report(*e);
      r.status = kStopStatus;
    } else {
      const Result res = run_here(&group_);
      r.status = res.status;
      r.outcome = res.status != kOk ? kFailed : !res.matched ? kNoMatch : !res.wrote ? kUnchanged
                  : recordio::previewing() ? kWouldRewrite : kRewritten;
      r.before = res.before;
      r.after = res.after;
      r.sfile = res.sfile;
    }
    recordio::capture_reports(nullptr);
    if (group_.added() > before) {
      r.write = group_.size() - 1;
      if (group_.size() == 1) first_write_ = Clock::now();
    }
    if (at != used_) std::swap(rows_[used_], r);  // the rows before it were flushed meanwhile
    ++used_;
    // Rows of directories that wrote nothing go out at once when no sync is pending.
    const bool due = group_.size() == 0 || group_.files() >= writes_ || Clock::now() - first_write_ >= kGroupWait;
    progress(false);
    return !due || flush();
  }

  bool all_ok() const { return !failed_ && counts_[3] == 0; }
  bool root() const { return root_; }

  // On a terminal, a line of counts; PROGRESS: at most once a second, and
  // overwritten by the next.
  void progress(bool last) {
    if (!terminal_ || (!last && Clock::now() - shown_at_ < kProgressEvery)) return;
    shown_at_ = Clock::now();
    std::string line = "magsync: " + std::to_string(dirs_) + " directories: ";
    const std::string_view names[] = {recordio::previewing() ? kWouldRewrite : kRewritten, kUnchanged, kNoMatch, kFailed};
    for (int i = 0; i < 4; ++i) line.append(i ? ", " : "").append(std::to_string(counts_[i])).append(" ").append(names[i]);
    recordio::report_progress(line, last);
  }

 private:
  void count(const Row& r) {
    ++dirs_;
    ++counts_[r.outcome == kRewritten || r.outcome == kWouldRewrite ? 0 : r.outcome == kUnchanged ? 1
              : r.outcome == kNoMatch ? 2 : 3];
  }

  recordio::Group group_;
  std::vector<Row> rows_;  // the first USED_ wait for the group's sync; the rest are kept for their room
  std::size_t used_ = 0;
  std::string out_;
  Clock::time_point first_write_, shown_at_ = Clock::now();
  std::size_t writes_ = group_writes();
  bool root_ = recordio::is_root();
  bool terminal_ = recordio::errors_to_terminal();
  bool failed_ = false;
  unsigned long dirs_ = 0, counts_[4] = {};
};

Report* g_report = nullptr;
void flush_before_wait() { (void)g_report->flush(); }

// The directories a report's rows name, of those that failed.
class Failures {
 public:
  Failures(const char* report) : rows_(report, '\n', &g_stop) {}
  recordio::Status error() const { return rows_.error(); }
  bool next(std::string& dir, recordio::Status* err) {
    std::string row;
    while (rows_.next(row, err)) {
      if (++line_ == 1 && row.starts_with("directory\t")) continue;
      const std::size_t tab = row.find('\t');
      if (tab == row.npos || !recordio::unshown(std::string_view(row).substr(0, tab), dir)) {
        *err = Error::tool().add("line ").add(line_).add(" of the report is not a row of a magsync report");
        return false;
      }
      if (row.compare(tab + 1, 2, "0\t") != 0) return true;  // a status other than 0
    }
    return false;
  }

 private:
  recordio::Names rows_;
  long line_ = 0;
};

}  // namespace

int batch(const char* list, char end, long slice, long slices, const char* retry) {
  recordio::Origin origin;
  if (auto e = origin.error()) {
    recordio::report(*e);
    return kStopStatus;
  }
  // Static, like the rest of a run's state: a small stack is enough.
  static Report report;
  static std::optional<recordio::Names> names;
  static std::optional<Failures> failures;
  static recordio::ReadAhead ahead(kControlName, kNameWidth, 2);
  if (retry) failures.emplace(retry);
  else names.emplace(list, end, &g_stop);
  if (auto e = retry ? failures->error() : names->error()) {
    recordio::report(*e);
    return kStopStatus;
  }
  if (auto e = recordio::write_out(kHeader)) {
    recordio::report(*e);
    return kStopStatus;
  }
  recordio::console_off(true);
  g_report = &report;
  recordio::set_before_wait(flush_before_wait, &g_stop);
  // SIGINT, SIGTERM and SIGHUP end the batch once the directory at hand is
  // done, and what was written is synced and reported.
  struct sigaction sa = {};
  sa.sa_handler = stop_batch;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old = {};
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) ::sigaction(sig, &sa, nullptr);
  }

  std::string dir;
  recordio::Status failed;
  const auto mine = [slice, slices](long i) { return !slices || i % slices == slice - 1; };
  unsigned long runs = 0, cold = 0;  // runs, and those that waited for the disk
  for (long i = 0; !g_stop;) {
    // Names read already go ahead of their runs, and their files are read meanwhile.
    while (ahead.on() && !ahead.full() && names->buffered(dir))
      if (mine(i++)) ahead.push(dir);
    if (!ahead.on() || !ahead.pop(dir)) {
      if (!(retry ? failures->next(dir, &failed) : names->next(dir, &failed))) break;
      if (!mine(i++)) continue;
    }
    const unsigned long reads = recordio::disk_reads();
    if (!ahead.on()) recordio::probe_next_read();  // its control file's read tells
    if (!report.run(origin, dir)) return kStopStatus;
    ++runs;
    cold += recordio::disk_reads() > reads;
    if (!retry && !ahead.on() && cold >= kColdRuns && cold * kColdShare >= runs) ahead.start(origin, report.root());
  }
  recordio::set_before_wait(nullptr);
  if (!report.flush()) return kStopStatus;
  report.progress(true);
  if (g_stop) return 128 + g_stop;
  if (failed) {
    recordio::report(*failed);
    return kStopStatus;
  }
  return report.all_ok() ? kOk : 1;
}

}  // namespace magsync
