// Whether a board sits in a port's socket with its chip in the boot loader, asked every
// 500 ms at the least: the port opened, the job's boot entry run when it has one, one "U"
// written, its echo listened for 150 ms, the port closed again (so that the round that
// programs the board can open it). Never blocks the window: the waits are its timers.
#pragma once

#include <QObject>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

#include "link/BootEntry.h"
#include "link/ComPort.h"

namespace kavel::stationwin {

class TBoardPoller : public QObject {
  Q_OBJECT

 public:
  static constexpr int kEveryMs = 500;   // never faster
  static constexpr int kListenMs = 150;  // the chip's "U" back

  TBoardPoller(std::string port, TBaudRate speed, std::vector<TModemStep> entry = {}, bool invertDtr = false,
               bool invertRts = false, QObject* parent = nullptr);
  ~TBoardPoller() override;
  void Start();
  void Stop();
  bool Polling() const { return m_tick.isActive(); }

 signals:
  // After every poll: true when a chip answered.
  void Heard(bool present);

 private:
  void Poll();
  void Enter();  // the entry's steps from m_step on, a pause on its timer
  void Listened();

  std::string m_portName;
  TBaudRate m_speed;
  std::vector<TModemStep> m_entry;
  bool m_invertDtr, m_invertRts;
  std::size_t m_step = 0;
  bool m_dtr = false, m_rts = false;
  std::unique_ptr<TCustomComPort> m_port;
  QTimer m_tick, m_listen, m_pause;
};

}  // namespace kavel::stationwin
