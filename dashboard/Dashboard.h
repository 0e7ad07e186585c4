// The line's page: what it answers, apart from the HTTP server that carries it (main.cpp), so
// that the answers can be tested without a socket. Its questions are the command line's log
// filters; its answers are the objects log --json and log --stats --json write, as a JSON
// array, computed by the same code (cli::LogText).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "station/StationDb.h"

namespace kavel::dashboard {

// The page's own files (index.html, app.js, app.css), built into the program; "" for a name
// it has none of.
std::string_view PageFile(std::string_view name);

// The most rows one answer holds: the newest that match (fewer when the question's limit says).
inline constexpr std::size_t kMaxRows = 1000;

struct TAnswer {
  int status = 200;  // 400: a question that is no filter; 503: the log cannot be read now
  std::string body;  // JSON: the array, or {"error": words}
};

using TQuery = std::vector<std::pair<std::string, std::string>>;

// How long an answer is kept and given to every browser that asks the same again: twenty
// browsers on the line cost the log what one does.
inline constexpr std::chrono::milliseconds kKeptFor{2000};

// The station's log, read (never written) by the page's requests, one at a time, each
// statement given up after a bound (station::kBrowseBoundMs). A log that cannot be read is
// opened again at the next request: the page recovers by itself when its server is back.
class TLog {
 public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;
  explicit TLog(std::string where, TClock now = &std::chrono::steady_clock::now)
      : m_where(std::move(where)), m_now(std::move(now)) {}
  // The rows (stats false; the newest kMaxRows, or limit) or the figures the query's filters
  // select.
  TAnswer Ask(bool stats, const TQuery& query);

 private:
  TAnswer Read(bool stats, const TQuery& query);

  struct TKept {
    std::chrono::steady_clock::time_point at;
    std::string body;
  };
  std::string m_where;
  TClock m_now;
  std::mutex m_mutex;
  std::unique_ptr<station::TStationDb> m_db;
  std::map<std::string, TKept> m_kept;  // answers by question
};

// Whether an address to listen on is this machine's own (127.0.0.0/8, ::1, localhost): any
// other needs a token.
bool IsLoopback(std::string_view host);
// "HOST:PORT" (an IPv6 host in brackets) into its parts; false when it is none.
bool SplitListen(std::string_view text, std::string& host, int& port);
// a and b equal, in a time that does not tell where they differ.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace kavel::dashboard
