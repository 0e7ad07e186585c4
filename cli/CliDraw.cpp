#include "cli/CliDraw.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <memory>
#include <string>
#include <utility>

#include "cli/CliProcess.h"

namespace kavel::cli {
namespace {

// How long a wait goes on before it looks at the stop signals again (a signal that comes
// between the look and the wait would otherwise be slept through).
constexpr int kLookMs = 200;

bool WriteWhole(int fd, const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

// The answers: "N <number>", "U" (used up), "F <why>" (failed), "S" (stopped), a line each.
std::string Answer(char kind, const std::string& text = {}) {
  std::string line(1, kind);
  if (!text.empty()) line.append(" ").append(text);
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  return line + "\n";
}

}  // namespace

void TDrawChannel::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

TRunStatus TDrawChannel::Ask(std::optional<std::int64_t>& serial, const std::function<void()>& waiting) {
  serial.reset();
  const auto gone = [this] {
    Close();
    return TRunStatus::Make(rkStationFailed, "the main kavel-isp-cli process ended before the board's number was "
                                             "drawn; nothing was written to the board");
  };
  if (!WriteWhole(m_fd, "D")) return gone();
  std::function<void()> waiting_ = waiting;
  std::string line;
  while (line.empty() || line.back() != '\n') {
    if (StopSignal() != 0) {
      Close();
      return TRunStatus::Make(rkStopped, "stopped before the board's number was drawn: nothing was written to the board");
    }
    pollfd fd{m_fd, POLLIN, 0};
    const int ready = poll(&fd, 1, kLookMs);
    if (ready < 0 && errno != EINTR) return gone();
    if (ready == 0 && waiting_) std::exchange(waiting_, nullptr)();
    if (ready <= 0) continue;
    char buffer[512];
    const ssize_t n = read(m_fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return gone();
    line.append(buffer, static_cast<std::size_t>(n));
  }
  Close();
  line.pop_back();
  const std::string text = line.size() > 2 ? line.substr(2) : std::string();
  switch (line[0]) {
    case 'N': {
      std::int64_t n = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
      if (error != std::errc() || end != text.data() + text.size()) break;
      serial = n;
      return TRunStatus::Done();
    }
    case 'U': return TRunStatus::Done();
    case 'F': return TRunStatus::Make(rkStationFailed, text);
    case 'S':
      return TRunStatus::Make(rkStopped, "stopped before the board's number was drawn: nothing was written to the board");
    default: break;
  }
  return TRunStatus::Make(rkInternal, "internal error: the main process answered the draw with \"" + line + "\"");
}

void ServeDraws(const TCliArgs& args, const TStationRun& station, std::vector<station::TRunRow>& rows,
                std::vector<int>& ends) {
  enum : std::uint8_t { kWorking, kAsking };
  std::vector<std::uint8_t> state(ends.size(), kWorking);
  const auto settle = [&ends](std::size_t i) {
    if (ends[i] >= 0) close(ends[i]);
    ends[i] = -1;
  };
  for (;;) {
    // Those that ask, in the order of the ports, up to the first that is still at work.
    std::vector<std::size_t> batch;
    for (std::size_t i = 0; i < ends.size(); ++i) {
      if (ends[i] < 0) continue;
      if (state[i] == kWorking) break;
      batch.push_back(i);
    }
    if (!batch.empty()) {
      std::string answer;
      std::vector<station::TRunRow*> drawn;
      for (const std::size_t i : batch) drawn.push_back(&rows[i]);
      std::unique_ptr<station::TStationDb> db;
      TRunStatus status = StopSignal() != 0 ? TRunStatus::Make(rkStopped, "") : station::OpenStationDb(station.where, db);
      if (status.Ok()) status = db->Draw(drawn, station.SerialDraw(args));
      for (const std::size_t i : batch) {
        if (status.kind == rkStopped) {
          answer = Answer('S');
        } else if (!status.Ok()) {
          answer = Answer('F', status.detail + "; nothing was written to the board");
        } else {
          answer = rows[i].serial ? Answer('N', std::to_string(*rows[i].serial)) : Answer('U');
        }
        (void)WriteWhole(ends[i], answer);  // a port whose process has gone asks for nothing more
        settle(i);
      }
      continue;
    }
    std::vector<pollfd> fds;
    std::vector<std::size_t> of;
    for (std::size_t i = 0; i < ends.size(); ++i) {
      if (ends[i] < 0) continue;
      fds.push_back({ends[i], POLLIN, 0});
      of.push_back(i);
    }
    if (fds.empty()) return;
    if (poll(fds.data(), fds.size(), kLookMs) <= 0) continue;
    for (std::size_t k = 0; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      char asked[16];
      const ssize_t n = read(fds[k].fd, asked, sizeof asked);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0 && asked[0] == 'D') {
        state[of[k]] = kAsking;
      } else {
        settle(of[k]);  // its work is over without a number, or its process has ended
      }
    }
  }
}

}  // namespace kavel::cli
