// Automatic mode: a poller a socket, and what its probes heard made into the socket's line and
// a round for a new board.
#include "stationwin/StationWindow.h"

#include <QCheckBox>
#include <QLabel>
#include <QSignalBlocker>

namespace kavel::stationwin {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A socket is ready for the next board once it has been seen empty this long, by two
// probes in a row at the least: a probe that missed a chip's answer once is no empty socket.
constexpr qint64 kEmptyForMs = 1000;

}  // namespace

void TStationWindow::SetAutomatic(bool on) {
  m_automatic = on;
  {
    const QSignalBlocker quiet(m_automaticBox);
    m_automaticBox->setChecked(on);
  }
  if (m_pollers.empty()) {
    for (std::size_t i = 0; i < m_job.ports.size(); ++i) {
      m_pollers.push_back(std::make_unique<TBoardPoller>(m_job, m_job.ports[i]));
      connect(m_pollers[i].get(), &TBoardPoller::Heard, this, [this, i](const cli::TProbe& p) { Heard(i, p); });
      connect(m_pollers[i].get(), &TBoardPoller::Idle, this, [this] {
        for (std::size_t r = 0; r < m_rounds.size(); ++r) Launch(*m_rounds[r]);
      });
    }
  }
  // A board in its socket now is not new: it waits for Start, or to be taken out.
  m_sockets.assign(m_boards.size(), {});
  for (std::size_t i = 0; i < m_pollers.size(); ++i) {
    if (on && !InRound(i)) m_pollers[i]->Start();
    if (!on) m_pollers[i]->Stop();
    ShowSocket(i, on && !InRound(i) ? "looking for a board..." : "");
  }
}

void TStationWindow::Heard(std::size_t board, const cli::TProbe& probe) {
  if (!m_automatic || InRound(board)) return;
  TSocket& s = m_sockets[board];
  if (probe.what != cli::TProbe::pwQuiet) s.quiet = 0;
  switch (probe.what) {
    case cli::TProbe::pwQuiet: {
      const qint64 now = m_clock.elapsed();
      if (s.quiet++ == 0) s.quietSinceMs = now;
      if (!s.armed && s.quiet >= 2 && now - s.quietSinceMs >= kEmptyForMs) {
        s.armed = true;  // the board has gone: the socket is ready for the next
        m_boards[board] = {};
        Show(board);
      }
      return ShowSocket(board, s.armed ? "empty: put a board in" : "empty?");
    }
    case cli::TProbe::pwAnswered:
      if (s.armed) {
        if (!StartRound({board})) ShowSocket(board, "a board answers: it waits for the operator's name");
        return;
      }
      return ShowSocket(board, m_boards[board].phase == TBoardPhase::bpReady
                                   ? "a board was in the socket: press Start to program it, or take it out"
                                   : "the board is still in its socket: take it out for the next");
    case cli::TProbe::pwNoise: return ShowSocket(board, "board present, not answering");
    case cli::TProbe::pwNoPort: return ShowSocket(board, "the port cannot be opened: " + Q(probe.words));
    case cli::TProbe::pwStopped: return;
  }
}

}  // namespace kavel::stationwin
