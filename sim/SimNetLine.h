// The simulated line as a network port: an RFC 2217 server on a loopback TCP port, whose
// client sets the line speed and the modem lines. The speed a client sets is the speed the
// devices hear (bytes at another speed arrive garbled), and DTR and RTS drive the devices'
// reset lines (TSimDevice::ModemLines): what a pseudo-terminal cannot carry. One client at a
// time; a stop request is noticed at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "sim/SimDevice.h"
#include "sim/SimWake.h"

struct telnet_t;
union telnet_event_t;

namespace kavel::sim {

class TSimNetLine {
 public:
  TSimNetLine();
  ~TSimNetLine();
  TSimNetLine(const TSimNetLine&) = delete;
  TSimNetLine& operator=(const TSimNetLine&) = delete;

  // Listens on 127.0.0.1:port. False with a message in error on failure.
  bool Listen(int port, std::string& error);
  void AddDevice(TSimDevice* device) { m_devices.push_back(device); }
  void SetLog(std::FILE* log) { m_log = log; }
  // What the devices send goes to the client at the line speed (10 bits a byte), as a real
  // line behind the server would carry it, not as fast as the socket takes it.
  void SetPaced(bool paced) { m_paced = paced; }
  // Serves clients until RequestStop.
  void Run();
  // Async-signal-safe.
  void RequestStop() noexcept { m_wake.RequestStop(); }
  // As TSimLine's: toggle(nowMs) takes the board out or puts it back, on Run()'s thread, and
  // returns a note for the wire log; what the devices had not yet sent is dropped first. The
  // server goes on accepting and negotiating as before.
  void SetToggle(std::function<std::string(std::int64_t nowMs)> toggle) { m_toggle = std::move(toggle); }
  // Async-signal-safe: asks Run() to call the toggle.
  void RequestToggle() noexcept { m_wake.RequestToggle(); }

 private:
  static void OnTelnetEvent(telnet_t* telnet, telnet_event_t* event, void* self);
  void OnEvent(telnet_event_t& event);
  void OnCommand(const std::uint8_t* value, std::size_t size);
  void Answer(std::uint8_t command, const std::string& value);
  void SendDue(std::int64_t now);
  void SendPaced();          // what the line's time allows of the outbox
  int PacedWaitMs() const;   // until the next byte's time on the line; -1: nothing waits
  void Flush();
  void Drop();  // the client went
  bool TakeAsked();  // what was asked through m_wake; true when the server is to stop
  std::int64_t NowMs() const;
  void Log(char direction, const std::string& bytes);

  int m_listen = -1;
  int m_client = -1;
  TSimWake m_wake;
  std::function<std::string(std::int64_t)> m_toggle;
  telnet_t* m_telnet = nullptr;
  std::string m_tx;
  std::string m_outbox;           // data for the client, waiting for its time on the line
  bool m_paced = false;
  std::int64_t m_lineFreeUs = 0;  // when the line is free for the next byte
  std::uint32_t m_speed = 9600;
  bool m_dtr = false, m_rts = false;
  std::vector<TSimDevice*> m_devices;
  std::vector<TSimOutput> m_pending;
  std::FILE* m_log = nullptr;
  std::int64_t m_origin = 0;
};

}  // namespace kavel::sim
