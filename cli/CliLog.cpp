#include "cli/CliLog.h"

#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/CliProcess.h"
#include "cli/CliReport.h"
#include "image/HexText.h"
#include "link/WireText.h"
#include "station/Conninfo.h"
#include "station/Spool.h"
#include "station/Stats.h"

namespace kavel::cli {
namespace {

// The columns of the log, in order, with a row's value in each.
struct TColumn {
  const char* name;
  bool text;  // a text (quoted in JSON, guarded in CSV); else a number, a truth or null
  std::string (*value)(const station::TRunRow&);
};

template <typename T>
std::string Number(const std::optional<T>& v) {
  return v ? std::to_string(*v) : std::string();
}
std::string Seconds(const std::optional<double>& v) {
  if (!v) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", *v);
  return text;
}

const TColumn kColumns[] = {
    {"id", false, [](const station::TRunRow& r) { return std::to_string(r.id); }},
    {"started", true, [](const station::TRunRow& r) { return r.started; }},
    {"ended", true, [](const station::TRunRow& r) { return r.ended; }},
    {"station", true, [](const station::TRunRow& r) { return r.station; }},
    {"port", true, [](const station::TRunRow& r) { return r.port; }},
    {"command", true, [](const station::TRunRow& r) { return r.command; }},
    {"image", true, [](const station::TRunRow& r) { return r.image; }},
    {"image_sha256", true, [](const station::TRunRow& r) { return r.imageSha256; }},
    {"device_id", true,
     [](const station::TRunRow& r) { return r.deviceId ? HexText(static_cast<unsigned>(*r.deviceId), 2) : std::string(); }},
    {"serial_name", true, [](const station::TRunRow& r) { return r.serialName; }},
    {"serial", false, [](const station::TRunRow& r) { return Number(r.serial); }},
    {"serial_verified", false,
     [](const station::TRunRow& r) { return r.serial ? std::string(r.serialVerified ? "true" : "false") : std::string(); }},
    {"result", true, [](const station::TRunRow& r) { return r.result; }},
    {"exit_status", false, [](const station::TRunRow& r) { return Number(r.exitStatus); }},
    {"first_difference", true, [](const station::TRunRow& r) { return r.firstDifference; }},
    {"seconds", false, [](const station::TRunRow& r) { return Seconds(r.seconds); }},
    {"speed", false, [](const station::TRunRow& r) { return Number(r.speed); }},
    {"retries", false, [](const station::TRunRow& r) { return std::to_string(r.retries); }},
    {"operator", true, [](const station::TRunRow& r) { return r.operatorName; }},
    {"lot", true, [](const station::TRunRow& r) { return r.lot; }},
    {"device", true, [](const station::TRunRow& r) { return r.device; }},
    {"reason", true, [](const station::TRunRow& r) { return r.reason; }},
    {"serial_kept", false,
     [](const station::TRunRow& r) { return r.serial ? std::string(r.serialKept ? "true" : "false") : std::string(); }},
    {"result_class", true, [](const station::TRunRow& r) { return r.resultClass; }},
};

std::string JsonLine(const station::TRunRow& row) {
  nlohmann::ordered_json line;
  for (const TColumn& c : kColumns) {
    const std::string v = c.value(row);
    // A value that is no text is a number or a truth written by this program.
    line[c.name] = v.empty() ? nlohmann::ordered_json(nullptr)
                   : c.text  ? nlohmann::ordered_json(JsonText(v))
                             : nlohmann::ordered_json::parse(v);
  }
  return line.dump() + "\n";
}

// A CSV field (RFC 4180): quoted when it holds a comma, a quote or a line end; a text that a
// spreadsheet would take for a formula (one that begins with = + - or @, after any blanks,
// tabs and line ends, which spreadsheets skip) is kept a text by a leading apostrophe.
std::string CsvField(const std::string& value, bool text) {
  std::string v;
  const std::size_t first = value.find_first_not_of(" \t\r\n");
  if (text && first != std::string::npos && std::string_view("=+-@").find(value[first]) != std::string_view::npos)
    v += '\'';
  v += value;
  if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
  std::string quoted = "\"";
  for (char c : v) {
    quoted += c;
    if (c == '"') quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string CsvLine(const station::TRunRow* row) {
  std::string out;
  for (const TColumn& c : kColumns) {
    if (!out.empty()) out += ",";
    out += row ? CsvField(c.value(*row), c.text) : c.name;
  }
  return out + "\r\n";
}

// Lines of cells in columns, two spaces between them.
std::string Columns(const std::vector<std::vector<std::string>>& cells) {
  std::vector<std::size_t> width;
  for (const auto& line : cells) {
    width.resize(std::max(width.size(), line.size()), 0);
    for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  }
  std::string out;
  for (const auto& line : cells) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      text += line[i];
      if (i + 1 < line.size()) text += std::string(width[i] - line[i].size() + 2, ' ');
    }
    out += text + "\n";
  }
  return out;
}

// The table for a person: the columns that tell one board from another.
std::string Table(const std::vector<station::TRunRow>& rows) {
  const char* const names[] = {"id", "started", "station", "port", "command", "serial", "result", "exit_status", "seconds", "image", "reason"};
  std::vector<std::vector<std::string>> cells;
  cells.emplace_back(std::begin(names), std::end(names));
  for (const station::TRunRow& r : rows) {
    std::vector<std::string> line;
    for (const char* name : names) {
      for (const TColumn& c : kColumns)
        if (std::string_view(c.name) == name) line.push_back(c.value(r).empty() ? "-" : Printable(c.value(r)));
    }
    cells.push_back(std::move(line));
  }
  std::string out = Columns(cells);
  if (rows.empty()) out += "no runs recorded\n";
  return out;
}

// A figure with one decimal; "" for none.
std::string OneDecimal(const std::optional<double>& v) {
  if (!v) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", *v);
  return text;
}

// "no_answer 2, refused 1": counts by result kind.
std::string CountsText(const std::map<std::string, int>& counts, const char* between) {
  std::string text;
  for (const auto& [kind, count] : counts) text.append(text.empty() ? "" : between).append(kind + " " + std::to_string(count));
  return text;
}

// The figures as JSON Lines, a group a line.
std::string StatsJson(const std::vector<station::TStatsGroup>& groups, const std::vector<station::TStatsBy>& keys) {
  std::string out;
  const auto number = [](const std::optional<double>& v) {
    return v ? nlohmann::ordered_json(std::round(*v * 1000) / 1000) : nlohmann::ordered_json(nullptr);
  };
  const auto counts = [](const std::map<std::string, int>& by) {
    nlohmann::ordered_json o = nlohmann::ordered_json::object();
    for (const auto& [kind, count] : by) o[JsonText(kind)] = count;
    return o;
  };
  for (const station::TStatsGroup& g : groups) {
    nlohmann::ordered_json line;
    for (std::size_t i = 0; i < keys.size(); ++i) line[station::StatsByName(keys[i])] = JsonText(g.keys[i]);
    line["boards"] = g.boards;
    line["passed"] = g.passed;
    line["failed"] = g.failed;
    line["unfinished"] = g.Unfinished();
    line["yield"] = number(g.Yield());
    line["seconds_average"] = number(g.Average());
    line["seconds_longest"] = number(g.timed ? std::optional<double>(g.longest) : std::nullopt);
    line["failures"] = counts(g.failures);
    line["first_tries"] = g.firstTries;
    line["first_passed"] = g.firstPassed;
    line["first_pass_yield"] = number(g.FirstPassYield());
    line["not_boards"] = g.notBoards;
    line["not_boards_by_result"] = counts(g.notBoardResults);
    out += line.dump() + "\n";
  }
  return out;
}

// The figures' cells as CSV, the header first: every text guarded as the rows' CSV guards
// it, the keys (the first keyCount cells) and the counts by kind.
std::string StatsCsv(const std::vector<std::vector<std::string>>& cells, std::size_t keyCount) {
  std::string out;
  const std::vector<std::string>& header = cells[0];
  const auto text = [&](std::size_t i) {
    return i < keyCount || header[i] == "failures" || header[i] == "not_boards_by_result";
  };
  for (std::size_t row = 0; row < cells.size(); ++row) {
    std::string line;
    for (std::size_t i = 0; i < cells[row].size(); ++i)
      line.append(i ? "," : "").append(row ? CsvField(cells[row][i], text(i)) : cells[row][i]);
    out += line + "\r\n";
  }
  return out;
}

// The figures of log --stats, a group a line: a table, JSON Lines or CSV.
std::string StatsText(const std::vector<station::TStatsGroup>& groups, const std::vector<station::TStatsBy>& keys,
                      bool json, bool csv) {
  if (json) return StatsJson(groups, keys);
  // The table and the CSV: the keys, then the figures; CSV adds the first tries' counts and
  // the station's rows at the end, the table says those under it.
  std::vector<std::vector<std::string>> cells(1);
  for (station::TStatsBy by : keys) cells[0].emplace_back(station::StatsByName(by));
  const std::vector<std::string> figures =
      csv ? std::vector<std::string>{"boards", "passed", "failed", "unfinished", "yield", "seconds_average",
                                     "seconds_longest", "failures", "first_tries", "first_passed", "first_pass_yield",
                                     "not_boards", "not_boards_by_result"}
          : std::vector<std::string>{"boards", "passed", "failed", "unfinished", "yield", "first_pass", "average_s",
                                     "longest_s", "failures"};
  cells[0].insert(cells[0].end(), figures.begin(), figures.end());
  int notBoards = 0;
  std::map<std::string, int> notBoardResults;
  for (const station::TStatsGroup& g : groups) {
    const auto percent = [csv](const std::optional<double>& v) { return OneDecimal(v) + (v && !csv ? "%" : ""); };
    std::vector<std::string> line = g.keys;
    line.insert(line.end(), {std::to_string(g.boards), std::to_string(g.passed), std::to_string(g.failed),
                             std::to_string(g.Unfinished()), percent(g.Yield())});
    if (!csv) line.push_back(percent(g.FirstPassYield()));
    line.insert(line.end(), {OneDecimal(g.Average()), g.timed ? OneDecimal(g.longest) : std::string(),
                             CountsText(g.failures, csv ? "; " : ", ")});
    if (csv) {
      line.insert(line.end(), {std::to_string(g.firstTries), std::to_string(g.firstPassed), percent(g.FirstPassYield()),
                               std::to_string(g.notBoards), CountsText(g.notBoardResults, "; ")});
    }
    notBoards += g.notBoards;
    for (const auto& [kind, count] : g.notBoardResults) notBoardResults[kind] += count;
    cells.push_back(std::move(line));
  }
  if (csv) return StatsCsv(cells, keys.size());
  for (auto& line : cells)
    for (std::string& cell : line) cell = cell.empty() ? "-" : Printable(cell);
  std::string out = Columns(cells);
  if (notBoards > 0) {
    out += "not boards: " + std::to_string(notBoards) + (notBoards == 1 ? " run" : " runs") +
           " the station refused or gave up before any chip answered (" + Printable(CountsText(notBoardResults, ", ")) +
           ")\n";
  }
  return out;
}

// log --flush: the spool sent to the database --db names.
int FlushLog(const TCliArgs& args) {
  const std::string where = args.db.empty() ? station::DefaultStationDbPath() : args.db;
  if (!station::IsConninfo(where)) {
    Complain(AtJobKey(args, "--db",
                      TRunStatus::Make(rkUsage, "log --flush sends the rows that wait for a PostgreSQL server: name "
                                                "it with --db postgresql://... (an SQLite log keeps no spool)"))
                 .detail);
    return kExitUsage;
  }
  std::unique_ptr<station::TStationDb> db;
  station::TFlushed flushed;
  TRunStatus status = station::OpenStationDb(where, db);
  if (status.Ok()) status = station::FlushSpool(station::DefaultSpoolPath(), where, *db, flushed);
  if (!status.Ok()) {
    Complain(AtJobKey(args, "--db", status).detail +
             (flushed.left ? "; " + std::to_string(flushed.left) + " rows wait in the spool" : ""));
    return kExitStation;
  }
  const std::string line = std::to_string(flushed.sent) + (flushed.sent == 1 ? " row" : " rows") + " sent to " +
                           station::Masked(where, where) + ", " + std::to_string(flushed.left) + " waiting\n";
  if (flushed.left > 0) {
    Complain(std::to_string(flushed.left) + " rows in the spool cannot be read; they wait");
    return kExitStation;
  }
  if (args.quiet || WriteOut(line)) return kExitOk;
  Complain(std::string("cannot write standard output: ") + std::strerror(OutputError()));
  return kExitChip;
}

}  // namespace

station::TLogFilter LogFilter(const TCliArgs& args) {
  station::TLogFilter filter;
  filter.since = args.since;
  filter.until = args.until;
  filter.serial = args.serialNumber;
  filter.station = args.station;
  filter.operatorName = args.operatorName;
  filter.lot = args.lot;
  filter.results = args.results;
  if (args.portsGiven && args.ports.size() == 1) filter.port = args.ports[0].name;
  return filter;
}

TRunStatus LogText(const TCliArgs& args, station::TStationDb* db, std::string& text, std::size_t newest) {
  station::TLogFilter filter = LogFilter(args);
  filter.newest = newest;
  std::vector<station::TRunRow> rows;
  std::vector<station::TStatsGroup> groups = station::Stats({}, args.statsBy);  // of no rows, until read
  if (db) {
    if (TRunStatus read = args.stats ? db->Stats(filter, args.statsBy, groups) : db->List(filter, rows); !read.Ok())
      return read;
  }
  text.clear();
  if (args.stats) {
    text = StatsText(groups, args.statsBy, args.json, args.csv);
  } else {
    if (args.csv) text += CsvLine(nullptr);
    for (const station::TRunRow& row : rows) {
      if (args.json) text += JsonLine(row);
      if (args.csv) text += CsvLine(&row);
    }
    if (!args.json && !args.csv) text = Table(rows);
  }
  return TRunStatus::Done();
}

int ListLog(const TCliArgs& args) {
  if (args.flush) return FlushLog(args);
  // Only read: a database named wrongly is not made, and the default one that is not there
  // yet holds no runs.
  const std::string where = args.db.empty() ? station::DefaultStationDbPath() : args.db;
  struct stat st {};
  const bool nothingYet = args.db.empty() && stat(where.c_str(), &st) != 0 && errno == ENOENT;
  std::unique_ptr<station::TStationDb> db;
  TRunStatus status = nothingYet ? TRunStatus::Done() : station::OpenStationDb(where, db, station::TDbUse::duRead);
  std::string text;
  if (status.Ok()) status = LogText(args, db.get(), text);
  if (!status.Ok()) {
    Complain(AtJobKey(args, "--db", status).detail);
    return kExitStation;
  }
  if (WriteOut(text)) return kExitOk;
  Complain(std::string("cannot write standard output: ") + std::strerror(OutputError()));
  return kExitChip;
}

}  // namespace kavel::cli
