// kavel-isp-station's window: the job's boards as tiles, one Start for every ready board and
// one Stop, the operator's name, and the lot's counters. The boards are programmed by
// kavel-isp-cli with the same job (one process a round, which runs each port in a process of
// its own, draws their serial numbers in the order of the ports and logs every board), so
// that the window only shows what it says, from its typed events and results: this window
// and a script program a lot alike.
#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QWidget>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliArgs.h"
#include "cli/CliProbe.h"
#include "stationwin/BoardPoller.h"
#include "stationwin/BoardState.h"

class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace kavel::stationwin {

class TStationWindow : public QWidget {
  Q_OBJECT

 public:
  // job: the job as the command line's parser checked it; cli: the kavel-isp-cli to run;
  // operatorName: the operator's, else the job's, else asked for.
  TStationWindow(cli::TCliArgs job, QString cli, const QString& operatorName = {}, QWidget* parent = nullptr);
  ~TStationWindow() override;

  // Starts every board that is not running at once (Start, Enter, space). False when none,
  // or when the operator has not said who they are.
  bool StartReady();
  // Asks the running boards to stop at their next safe point (Stop, Esc): their rows say
  // they were stopped by the operator.
  void StopAll() { StopRounds(SIGINT); }
  bool Running() const { return !m_rounds.empty(); }
  // Automatic mode: each idle socket is asked for a chip in its boot loader; a board that
  // answers is programmed, and its socket is ready again once it has been seen empty. A board
  // found in its socket when the mode is switched on waits for Start, or to be taken out.
  void SetAutomatic(bool on);
  const TBoardState& Board(std::size_t i) const { return m_boards[i]; }
  const TLotCounts& Counts() const { return m_counts; }
  QString OperatorName() const;
  // A stop signal the program received (SIGTERM, SIGHUP, SIGINT): the rounds are stopped by
  // it, their rows say so, and the window closes once they have ended.
  void StopAndClose(int signal);

 signals:
  // A round ended and the counters were read again.
  void RoundEnded();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  struct TTile {
    QLabel *port, *state, *socket, *step, *serial, *reason, *counts;
    QProgressBar* bar;
  };
  // One kavel-isp-cli run for some boards; begun once their ports are free of probes.
  struct TRound {
    std::unique_ptr<QProcess> process;
    std::vector<std::size_t> boards;
    QByteArray out, err;
    bool stopped = false;  // stopped before it began
    bool saidFault = false;  // a result said a fault of the station's in the banner
  };
  // What automatic mode knows of a socket.
  struct TSocket {
    bool armed = false;        // seen empty since its last board: the next board is new
    int quiet = 0;             // probes in a row that heard nothing
    qint64 quietSinceMs = 0;   // when the first of them ended
    int retryMs = 0;           // the pause before a board the station failed is tried again
  };
  // The window's parts, top to bottom: the job and the operator's field; the lot's counters
  // and the banner; the tiles; Start, Stop, automatic mode and the keys that do the same.
  void BuildHead(QVBoxLayout* top, const QString& jobName, const QString& operatorName);
  void BuildBanners(QVBoxLayout* top);
  void BuildTiles(QGridLayout* grid);
  void BuildControls(QVBoxLayout* top);
  // The rounds (StationRounds.cpp) and automatic mode (StationAutomatic.cpp).
  bool StartRound(std::vector<std::size_t> boards);
  void Launch(TRound& round);
  bool InRound(std::size_t board) const;
  void StopRounds(int signal);
  void Show(std::size_t i);
  void ShowCounts();
  void TakeOutput(TRound& round);
  void Finished(TRound* round, int exit, bool crashed);
  void Heard(std::size_t board, const cli::TProbe& probe);
  void ReadCounts();
  // The banner says what is the station's, not a board's, a part each: the operator's name
  // missing, what became of the last round, the counters. add: a line more for the part,
  // unless it says that already.
  enum TBannerKind : std::uint8_t { bkOperator, bkRound, bkCounts, bkKinds };
  void Banner(TBannerKind kind, const QString& text, bool add = false);
  void ShowSocket(std::size_t i, const QString& text);

  cli::TCliArgs m_job;
  QString m_cli;
  std::vector<TBoardState> m_boards;
  std::vector<TTile> m_tiles;
  std::vector<std::unique_ptr<TRound>> m_rounds;
  std::unique_ptr<QProcess> m_stats[2];  // log --stats: the lot's, and this station's a port
  QByteArray m_statsOut[2];
  int m_statsPending = 0;
  QString m_statsFailed;
  bool m_automatic = false;
  bool m_closing = false;  // the window closes once its rounds have ended
  std::vector<std::unique_ptr<TBoardPoller>> m_pollers;
  std::vector<TSocket> m_sockets;
  QElapsedTimer m_clock;  // automatic mode's times
  TLotCounts m_counts;
  QLabel *m_banner = nullptr, *m_lot = nullptr;
  QString m_said[bkKinds];
  QLineEdit* m_operator = nullptr;
  QPushButton *m_start = nullptr, *m_stop = nullptr;
  QCheckBox* m_automaticBox = nullptr;
};

}  // namespace kavel::stationwin
