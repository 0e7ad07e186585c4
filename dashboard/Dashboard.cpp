#include "dashboard/Dashboard.h"

#include <charconv>
#include <map>

#include <nlohmann/json.hpp>

#include "cli/CliArgs.h"
#include "cli/CliLog.h"

namespace kavel::dashboard {
namespace {

TAnswer Error(int status, const std::string& words) {
  return {status, nlohmann::json{{"error", words}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
}

}  // namespace

TAnswer TLog::Ask(bool stats, const TQuery& query) {
  std::string question = stats ? "stats" : "rows";
  for (const auto& [key, value] : query) question.append(1, '\0').append(key).append(1, '\0').append(value);
  const std::lock_guard<std::mutex> one(m_mutex);
  const auto now = m_now();
  if (const auto kept = m_kept.find(question); kept != m_kept.end() && now - kept->second.at < kKeptFor)
    return {200, kept->second.body};
  TAnswer answer = Read(stats, query);
  if (answer.status != 200) return answer;  // asked again at once: a log that is back is seen
  if (m_kept.size() >= 256) std::erase_if(m_kept, [now](const auto& k) { return now - k.second.at >= kKeptFor; });
  if (m_kept.size() < 256) m_kept[question] = {now, answer.body};
  return answer;
}

TAnswer TLog::Read(bool stats, const TQuery& query) {
  // The query as the command line's log options, checked by its parser.
  static const std::map<std::string, std::string, std::less<>> kOptions{
      {"since", "--since"}, {"until", "--until"},       {"station", "--station"}, {"lot", "--lot"},
      {"port", "--port"},   {"operator", "--operator"}, {"result", "--result"},   {"serial", "--serial"},
      {"by", "--by"}};
  std::vector<std::string> argv{"log", "--json", "--db", m_where};
  if (stats) argv.push_back("--stats");
  std::size_t newest = kMaxRows;
  for (const auto& [key, value] : query) {
    if (key == "limit" && !stats) {  // rows a page: the newest, at most kMaxRows
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), newest);
      if (ec != std::errc() || end != value.data() + value.size() || newest < 1 || newest > kMaxRows)
        return Error(400, "limit is a number of rows from 1 to " + std::to_string(kMaxRows) + ", not " + value);
      continue;
    }
    const auto option = kOptions.find(key);
    if (option == kOptions.end() || (key == "by" && !stats)) return Error(400, "no such filter: " + key);
    argv.insert(argv.end(), {option->second, value});
  }
  cli::TCliArgs args;
  if (const cli::TRunStatus usable = cli::ParseCliArgs(argv, args); !usable.Ok()) return Error(400, usable.detail);
  std::string text;
  cli::TRunStatus read = cli::TRunStatus::Done();
  if (!m_db) read = station::OpenStationDb(m_where, m_db, station::TDbUse::duBrowse);
  if (read.Ok()) read = cli::LogText(args, m_db.get(), text, newest);
  if (!read.Ok()) {
    m_db.reset();  // opened again at the next request
    return Error(503, read.detail);
  }
  // JSON Lines into one array.
  std::string body = "[";
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    if (end > at) (body += body.size() > 1 ? "," : "").append(text, at, end - at);
    at = end + 1;
  }
  return {200, body + "]"};
}

bool IsLoopback(std::string_view host) {
  return host == "localhost" || host == "::1" || host == "[::1]" || host.starts_with("127.");
}

bool SplitListen(std::string_view text, std::string& host, int& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view h = text.substr(0, colon), p = text.substr(colon + 1);
  if (h.starts_with('[')) {
    if (!h.ends_with(']')) return false;
    h = h.substr(1, h.size() - 2);
  } else if (h.find(':') != std::string_view::npos) {
    return false;  // an IPv6 address goes in brackets
  }
  const auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), port);
  if (h.empty() || ec != std::errc() || end != p.data() + p.size() || port < 1 || port > 65535) return false;
  host = h;
  return true;
}

bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || b.empty()) return false;
  unsigned char differ = 0;
  for (std::size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

}  // namespace kavel::dashboard
