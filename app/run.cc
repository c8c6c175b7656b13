#include "app/run.h"

#include "app/batch.h"
#include "app/policy.h"

#include <algorithm>
#include <charconv>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include "card/card.h"
#include "card/field.h"
#include "reconcile/reconcile.h"
#include "recordio/console.h"
#include "recordio/unit.h"
#include "recordio/update.h"

namespace magsync {
namespace {

using recordio::Error;
using recordio::Need;
using recordio::Status;
using recordio::Unit;

using Name = std::array<char, kNameWidth>;

std::string_view trimmed(std::span<const char> text) {
  std::string_view s(text.data(), text.size());
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

struct Run {
  Unit control, kfile, sfile;  // the units of "mp", the K file and the S file
  Name kfilename, sfilename;
  card::Card card[2];      // [0] the K card, [1] the S card
  card::Values values[2];  // time, xlat, xlon, xmag of each card
  card::Card out;          // the rewritten S card
  bool rewritten = false;  // the S file holds OUT
  bool matched = false;    // the cards describe the same event
  bool wrote = false;      // the S file was written (not when it held OUT already)
  int status = kOk;
};

// Reads line LINE of the control file into NAME: its first 18 characters.
Status read_name(Unit& control, Name& name, long line) {
  bool longer = false;
  if (auto e = control.read_field(name, kNameWidth, &longer)) {
    if (e->kind() == Error::Kind::end_of_file)
      e->add("; line 1 of mp names the K file, line 2 the S file");
    return e;
  }
  if (longer) {
    recordio::report(Error(kControlName)
                         .add("line ")
                         .add(line)
                         .add(": warning: name longer than 18 characters; using ")
                         .add_quoted(trimmed(name))
                         .text());
  }
  return std::nullopt;
}

Status open_named(Unit& unit, const Name& name, long line, Need need) {
  std::string_view s = trimmed(name);
  if (s.empty()) return Error(kControlName).add("line ").add(line).add(": empty file name");
  if (s.find('\0') != s.npos)
    return Error(kControlName).add("line ").add(line).add(": file name holds a NUL byte");
  return unit.open(s, need);
}

std::string_view text(std::span<const char> s) { return {s.data(), s.size()}; }

// Starts a diagnostic about columns S of the line last read from UNIT.
Error span_error(const Unit& unit, card::Span s) {
  Error e(unit.name());
  e.add("line ").add(unit.line());
  if (s.width == 1) return e.add(", column ").add(s.first);
  return e.add(", columns ").add(s.first).add("-").add(s.first + s.width - 1);
}
Error field_error(const Unit& unit, const card::Column& c) { return span_error(unit, {c.first, c.width}); }

// What a curator should hear of a match before the S card is written: a
// blank K magnitude (written as 0), and columns that are not compared but
// differ (the date, the hemisphere letters).
void warn_of_match(const Run& r) {
  const card::Span magnitude = {card::kMagnitude.first, card::kMagnitude.width};
  if (card::blank(card::columns(r.card[0], magnitude)))
    recordio::report(span_error(r.kfile, magnitude).add(": warning: the K card's magnitude is blank; it is written as 0").text());
  const auto differ = [&](card::Span s, std::string_view what, std::string_view then) {
    const std::string_view k = card::columns(r.card[0], s), sc = card::columns(r.card[1], s);
    if (k == sc) return;
    Error e = span_error(r.sfile, s);
    e.add(": warning: the cards' ").add(what).add(" differ (").add_name(k).add(", ").add_name(sc).add("); ").add(then);
    recordio::report(e.text());
  };
  differ(card::kDate, "columns 1-6", "only the time of day is compared");
  for (card::Span h : card::kHemispheres) differ(h, "hemisphere letters", "they are not compared");
}

// Echoes card I, decodes it and writes its line of values.
Status report_card(Run& r, int i) {
  const Unit& unit = i == 0 ? r.kfile : r.sfile;
  if (auto e = recordio::console_line({text(r.card[i])})) return e;
  if (const int c = card::tab_column(r.card[i]))
    recordio::report(Error(unit.name()).add("line ").add(unit.line()).add(", column ").add(c)
                         .add(": warning: a tab; columns count characters, not tab stops").text());
  card::Decoded d = card::decode(r.card[i]);
  const bool bom = card::has_byte_order_mark(r.card[i]);
  if (d.bad) {
    Error e = field_error(unit, *d.bad->column);
    if (d.bad->fault == card::Fault::out_of_range)
      e.add(": ").add_quoted(d.bad->text()).add(" is beyond the range of single precision");
    else
      e.add(": cannot read ").add_quoted(d.bad->text()).add(" as a number");
    return bom ? e.add("; the line begins with a byte-order mark (EF BB BF), which moves every column") : e;
  }
  if (bom)
    recordio::report(span_error(unit, card::kByteOrderMark)
                         .add(": warning: the line begins with a byte-order mark (EF BB BF), which moves every column")
                         .text());
  const card::Values& v = r.values[i] = card::derive(d.fields);
  return recordio::console_line({v.time, v.xlat, v.xlon, v.xmag});
}

// When the cards describe the same event, the K magnitude goes into the S
// card, which replaces the S file's first line and is echoed as it stands.
Status reconcile_cards(Run& r, recordio::Group* group) {
  if (!reconcile::same_event(r.values[0], r.values[1])) return std::nullopt;
  r.matched = true;
  warn_of_match(r);
  const std::optional<int> magout = reconcile::magout(r.values[0].xmag);
  if (!magout)
    return field_error(r.kfile, card::kMagnitude).add(": the magnitude does not fit the S card's field");
  r.out = reconcile::rewritten(r.card[1], *magout);
  recordio::Result<recordio::Updated> u = recordio::update(r.sfile, text(r.card[1]), text(r.out), group);
  if (const Error* e = u.error()) return *e;
  r.wrote = u->done != recordio::Done::held;
  // Durable now, or with the group's other lines, its lock held till then.
  if (group) u->pending.join(*group);
  else if (auto e = u->pending.sync()) return e;
  r.rewritten = true;
  return recordio::console_record(text(r.out));
}

// The run up to its end; an error ends it at once through the error stop.
Status steps(Run& r, recordio::Group* group) {
  if (auto e = root_refuses(".")) return e;
  if (auto e = r.control.open(kControlName, Need::any)) return e;
  if (auto e = root_refuses(kControlName, &r.control.opened())) return e;
  if (auto e = read_name(r.control, r.kfilename, 1)) return e;
  if (auto e = read_name(r.control, r.sfilename, 2)) return e;
  if (auto e = recordio::console_line({text(r.kfilename), text(r.sfilename)})) return e;
  if (auto e = open_named(r.kfile, r.kfilename, 1, Need::old)) return e;
  if (auto e = open_named(r.sfile, r.sfilename, 2, Need::update)) return e;
  // A file that a replacement waiting in the batch's group is to replace
  // (a directory listed twice, or one S file for two) is read only once that
  // replacement is made, as it would have been read after a single run.
  if (group && (group->replacing(r.kfile.opened()) || group->replacing(r.sfile.opened()))) {
    recordio::before_wait();
    for (Unit* u : {&r.kfile, &r.sfile})
      if (auto e = u->close()) return e;
    if (auto e = open_named(r.kfile, r.kfilename, 1, Need::old)) return e;
    if (auto e = open_named(r.sfile, r.sfilename, 2, Need::update)) return e;
  }
  if (recordio::same_file(r.kfile.opened(), r.sfile.opened()))
    return Error(kControlName).add("lines 1 and 2 name one file (").add_name(r.kfile.name()).add(", ")
        .add_name(r.sfile.name()).add("); the K file is never written");
  if (auto e = recordio::console_line({"Starting"})) return e;

  // The K card is the first 40 characters of its line, then blanks.
  // (Made in place: a Status is large, and not copied on the way.)
  Status bad = [&r] {
    if (Status e = r.kfile.read_field(r.card[0], card::kKWidth)) return e;
    return r.sfile.read_field(r.card[1], card::kLength);
  }();
  if (bad && bad->kind() != Error::Kind::read) return bad;
  if (bad) {
    // The system could not read a card: say so, and end the run at "Done"
    // with nothing decoded and the S file unchanged.
    recordio::report(bad->text());
    r.status = kReadFailStatus;
  } else {
    for (int i : {0, 1})
      if (auto e = report_card(r, i)) return e;
    if (auto e = reconcile_cards(r, group)) return e;
  }

  if (auto e = recordio::console_line({"Done"})) return e;
  if (auto e = r.kfile.close()) return e;
  if (auto e = r.sfile.close()) return e;
  return std::nullopt;
}

}  // namespace

Result run_here(recordio::Group* group) {
  // Static, so that a small stack is enough; default-initialized, not
  // zeroed: every buffer is filled before it is read, and zeroing its 13 KB
  // would cost a third of a run's instructions.
  alignas(Run) static unsigned char storage[sizeof(Run)];
  static Run* run = nullptr;
  if (run) run->~Run();  // the run before, in a batch: its files closed
  run = ::new (storage) Run;
  Run& r = *run;
  if (auto e = steps(r, group)) {
    // The error stop: the diagnostic, then every open unit is closed as R goes.
    if (r.rewritten) e->set(recordio::Fate::rewritten);
    recordio::report(*e);
    r.status = kStopStatus;
  }
  const auto magnitude = [](const card::Card& c) {
    return std::string_view(c.data() + card::kMagnitude.first - 1, static_cast<std::size_t>(card::kMagnitude.width));
  };
  return {r.status, r.matched, r.wrote, r.sfile.name(), r.matched ? magnitude(r.card[1]) : std::string_view(),
          r.rewritten ? magnitude(r.out) : std::string_view()};
}

namespace {

// What "--help" (HELP) or "--version" prints on standard output, and no
// file opened; returns the exit status.
int tell(bool help) {
  constexpr std::string_view kUsage =
      "Usage: magsync [--check] [--help | --version]\n"
      "       magsync --batch [--check] [--null] [--slice I/N] [LIST | --retry REPORT]\n"
      "In the current directory, copy an event's magnitude from its K card into\n"
      "its S card when the two cards describe the same event. With --batch, do\n"
      "so in each directory named in LIST or on standard input (one a line, or\n"
      "each ended by a NUL with --null or -0; with --slice I/N only the I-th of\n"
      "every N; with --retry, each that failed in an earlier batch's REPORT), and\n"
      "print a report: a row for each, tab-separated: the directory, its exit\n"
      "status, the outcome (rewritten, unchanged, no match, failed), the S\n"
      "card's columns 35-36 before and after, and the diagnostics; then exit 0\n"
      "when every run would have, else 1. With --check (or --dry-run), decide and\n"
      "report as a run would, but create, lock and write nothing (the outcome\n"
      "is then \"would rewrite\").\n"
      "\n"
      "  mp      read: line 1 names the K file, line 2 the S file (created empty if missing)\n"
      "  K file  read: the first 40 characters of its first line\n"
      "  S file  read, and its first line rewritten when the cards match (created empty if missing)\n"
      "\n"
      "Other arguments are ignored; options other than these are refused.\n"
      "\n"
      "Exit status:\n"
      "  0  the run completed, whether or not the cards matched\n"
      "  2  error stop: a file could not be opened, read or written, a file ended\n"
      "     before the line needed, or a card could not be decoded\n"
      "  3  the system could not read a card (a directory named as a file, say)\n"
      "With --batch: 0 every run would have ended 0; 1 some would not; 2 a usage\n"
      "error, or the list or the report could not be read or written; 128+N the\n"
      "batch was ended by signal N, once what it had written was reported.\n"
      "See magsync(1).";
  constexpr std::string_view kVersion =
      "magsync " MAGSYNC_VERSION "\n"
      "Copyright (C) 2026 the magsync developers.\n"
      "License MIT: <https://opensource.org/licenses/MIT>.\n"
      "This is free software: you are free to change and redistribute it.\n"
      "There is NO WARRANTY, to the extent permitted by law.";
  const Status s = recordio::console_record(help ? kUsage : kVersion);
  if (!s) return kOk;
  recordio::report(s->text());
  return kStopStatus;
}

}  // namespace

// A usage error: the diagnostic and where to read more.
int usage(Error e) {
  recordio::report(e.text());
  recordio::report("Try 'magsync --help' for more information.");
  return kStopStatus;
}

// I/N into SLICE and SLICES: the I-th of N slices of the input, I from 1 to N.
bool parse_slice(std::string_view v, long& slice, long& slices) {
  const std::size_t slash = v.find('/');
  if (slash == v.npos) return false;
  const std::string_view i = v.substr(0, slash), n = v.substr(slash + 1);
  const auto [p, ec] = std::from_chars(i.data(), i.data() + i.size(), slice);
  const auto [q, ec2] = std::from_chars(n.data(), n.data() + n.size(), slices);
  return ec == std::errc{} && ec2 == std::errc{} && p == i.data() + i.size() && q == n.data() + n.size() &&
         slices >= 1 && slice >= 1 && slice <= slices;
}

// The long options that take no value.
constexpr std::string_view kFlags[] = {"--help", "--version", "--batch", "--check", "--dry-run", "--null"};

int start(int argc, char** argv) {
  // What becomes of the S file, said at the end of a diagnostic.
  static constexpr recordio::FateWords kFates = {"; not rewritten", "; the file is unchanged",
                                                 "; the S file has been rewritten",
                                                 "; line 1 may hold part of the new card"};
  recordio::set_fate_words(&kFates);
  bool help = false, version = false, batch_mode = false, null = false, options = true, check = false;
  const char* list = nullptr;   // the first operand: the batch's list of directories
  const char* retry = nullptr;  // the report whose failures a batch runs again
  int others = 0;               // operands after the first
  long slice = 0, slices = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::string_view missing;  // a long option given without its value
    // A long option's value, after '=' or as the next argument.
    const auto value = [&](std::string_view name) -> std::optional<std::string_view> {
      if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=')
        return arg.substr(name.size() + 1);
      if (arg != name) return std::nullopt;
      if (i + 1 < argc) return std::string_view(argv[++i]);
      missing = name;
      return std::nullopt;
    };
    if (!options || arg == "-" || arg.empty() || arg[0] != '-') {
      // An operand, before or after --batch: the first is the batch's list;
      // a single run ignores them all, as it always did.
      if (!list) list = argv[i];
      else ++others;
    } else if (arg == "--") options = false;
    else if (arg == "--help") help = true;
    else if (arg == "--version") version = true;
    else if (arg == "--batch") batch_mode = true;
    else if (arg == "--check" || arg == "--dry-run") check = true;
    else if (arg == "--null") null = true;
    else if (arg[1] != '-') {
      // Short options, as getopt reads them: -0, also run together (-00).
      for (const char c : arg.substr(1)) {
        if (c != '0') return usage(Error::tool().add("invalid option -- '").add({&c, 1}).add("'"));
        null = true;
      }
    } else if (auto v = value("--slice")) {
      if (!parse_slice(*v, slice, slices))
        return usage(Error::tool().add("--slice wants I/N, with I from 1 to N, not ").add_quoted(*v));
    } else if (auto r = value("--retry")) {
      if (r->empty()) return usage(Error::tool().add("--retry wants the report of an earlier batch"));
      retry = r->data();
      batch_mode = true;
    } else if (!missing.empty()) {
      return usage(Error::tool().add("option '").add(missing).add("' requires an argument"));
    } else if (const std::size_t eq = arg.find('='); eq != arg.npos && std::ranges::count(kFlags, arg.substr(0, eq)) != 0) {
      return usage(Error::tool().add("option '").add(arg.substr(0, eq)).add("' doesn't allow an argument"));
    } else {
      return usage(Error::tool().add("unrecognized option '").add(arg).add("'"));
    }
  }
  if (help || version) return tell(help);
  if (!batch_mode && (null || slices))
    return usage(Error::tool().add(null ? "--null" : "--slice").add(" goes with --batch"));
  if (auto e = recordio::start_up()) {
    recordio::report(*e);
    return kStopStatus;
  }
  if (list && (!batch_mode || retry)) ++others;  // not a list after all
  if (others) recordio::report("magsync: warning: arguments are ignored; mp names the K file and the S file");
  recordio::preview_only(check);
  if (batch_mode) return batch(list, null ? '\0' : '\n', slice, slices, retry);
  return run_here(nullptr).status;
}

}  // namespace magsync
