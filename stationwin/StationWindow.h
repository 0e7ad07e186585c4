// kavel-isp-station's window: the job's boards as tiles, one Start for every ready board and
// one Stop, and the lot's counters. The boards are programmed by kavel-isp-cli with the same
// job (one process a round, which runs each port in a process of its own, draws their serial
// numbers in the order of the ports and logs every board), so that the window only shows what
// it says: this window and a script program a lot alike.
#pragma once

#include <QProcess>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

#include "station/Job.h"
#include "stationwin/BoardState.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace kavel::stationwin {

class TStationWindow : public QWidget {
  Q_OBJECT

 public:
  // job: loaded and checked; cli: the kavel-isp-cli to run.
  TStationWindow(station::TJob job, QString cli, QWidget* parent = nullptr);
  ~TStationWindow() override;

  // Starts every ready board at once (Start, Enter, space). False when none is ready.
  bool StartReady();
  // Asks the running boards to stop at their next safe point, as Ctrl-C does (Stop, Esc).
  void StopAll();
  bool Running() const { return m_round && m_round->state() != QProcess::NotRunning; }
  const TBoardState& Board(std::size_t i) const { return m_boards[i]; }
  const TLotCounts& Counts() const { return m_counts; }

 signals:
  // A round ended and the counters were read again.
  void RoundEnded();

 private:
  struct TTile {
    QLabel *port, *state, *step, *serial, *reason, *counts;
    QProgressBar* bar;
  };
  void Show(std::size_t i);
  void ShowCounts();
  void TakeOutput();
  void TakeErrors();
  void Finished();
  void ReadCounts();
  void Banner(const QString& text);

  station::TJob m_job;
  QString m_cli;
  std::string m_station;  // the job's station, else this host's name
  std::vector<TBoardState> m_boards;
  std::vector<TTile> m_tiles;
  std::vector<std::size_t> m_inRound;  // the boards of the running round
  std::unique_ptr<QProcess> m_round, m_log;
  QByteArray m_out, m_err;
  QString m_lastErr;
  TLotCounts m_counts;
  QLabel *m_banner = nullptr, *m_lot = nullptr;
  QPushButton *m_start = nullptr, *m_stop = nullptr;
};

}  // namespace kavel::stationwin
