// Whether a board sits in a port's socket with its chip in its boot loader, asked again and
// again: the command line's own probe (the port opened, the job's boot entry, the session's
// speed search, the port closed again), each in a thread of its own, so that the window never
// opens, writes or reads a port and never waits on one. One probe at a time a port, a new one
// kEveryMs after the last began. After one that found no port or heard a line that does not
// answer, kBackOffMs, doubled for each such probe in a row up to kBackOffMaxMs: a server that
// never stops sending costs CPU for as long as it is read.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>

#include "cli/CliArgs.h"
#include "cli/CliProbe.h"

namespace kavel::stationwin {

class TBoardPoller : public QObject {
  Q_OBJECT

 public:
  static constexpr int kEveryMs = 500;     // never faster
  static constexpr int kBackOffMs = 2000;  // a port that fails, or a line that never stops talking
  static constexpr int kBackOffMaxMs = 16000;

  // job: the checked job (its speed, boot entry and lines); port: one of its ports.
  TBoardPoller(const cli::TCliArgs& job, cli::TPortArg port, QObject* parent = nullptr);
  // A probe still under way is asked to stop, and its answer goes nowhere.
  ~TBoardPoller() override;
  // Probes from now on, the first afterMs from now.
  void Start(int afterMs = 0);
  // No more probes; one under way is asked to stop at its next step (Idle when it has).
  void Stop();
  bool Polling() const { return m_on; }
  // A probe is under way: the port is the probe's.
  bool Probing() const { return static_cast<bool>(m_probe); }

 signals:
  // After every probe that was not stopped.
  void Heard(const kavel::cli::TProbe& probe);
  // Stopped, and the probe that was under way is over: the port is free.
  void Idle();

 private:
  // Between the window and a probe's thread: whom to tell, while there is one.
  struct TLink {
    std::mutex mutex;
    TBoardPoller* poller = nullptr;
    std::atomic<bool> stop{false};
  };
  void Probe();
  void Probed(const cli::TProbe& probe);

  std::shared_ptr<const cli::TCliArgs> m_job;
  cli::TPortArg m_port;
  bool m_on = false;
  std::shared_ptr<TLink> m_probe;  // the probe under way
  QElapsedTimer m_began;           // when it began
  int m_backOffMs = 0;             // after the last probe; 0 when it learnt something
  QTimer m_next;
};

}  // namespace kavel::stationwin
