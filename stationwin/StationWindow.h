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
#include "station/Serial.h"
#include "stationwin/BoardPoller.h"
#include "stationwin/BoardState.h"

class QCheckBox;
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

  // Starts every board that is not running at once (Start, Enter, space). False when none.
  bool StartReady();
  // Asks the running boards to stop at their next safe point, as Ctrl-C does (Stop, Esc).
  void StopAll();
  bool Running() const { return !m_rounds.empty(); }
  // Automatic mode: each idle port asked every 500 ms for a chip in its boot loader; a board
  // that answers is programmed, and its port is ready again once the board has gone.
  void SetAutomatic(bool on);
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
  // One kavel-isp-cli run for some boards.
  struct TRound {
    std::unique_ptr<QProcess> process;
    std::vector<std::size_t> boards;
    QByteArray out, err;
    QString lastErr;  // what it said about the whole round
  };
  bool StartRound(std::vector<std::size_t> boards);
  bool InRound(std::size_t board) const;
  void Show(std::size_t i);
  void ShowCounts();
  void TakeOutput(TRound& round);
  void TakeErrors(TRound& round);
  void Finished(TRound* round);
  void Heard(std::size_t board, bool present);
  void ReadCounts();
  void Banner(const QString& text);

  station::TJob m_job;
  QString m_cli;
  std::string m_station;  // the job's station, else this host's name
  station::TSerialPlace m_serialPlace;  // the job's --serial (be32 unless it says otherwise)
  std::vector<TBoardState> m_boards;
  std::vector<TTile> m_tiles;
  std::vector<std::unique_ptr<TRound>> m_rounds;
  std::unique_ptr<QProcess> m_stats[2];  // log --stats: the lot's, and this station's a port
  QByteArray m_statsOut[2];
  int m_statsPending = 0;
  QString m_statsFailed;
  bool m_automatic = false;
  std::vector<std::unique_ptr<TBoardPoller>> m_pollers;
  std::vector<bool> m_armed;  // the socket was seen empty since its last board: the next is new
  TLotCounts m_counts;
  QLabel *m_banner = nullptr, *m_lot = nullptr;
  QPushButton *m_start = nullptr, *m_stop = nullptr;
  QCheckBox* m_automaticBox = nullptr;
};

}  // namespace kavel::stationwin
