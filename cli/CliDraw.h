// The serial numbers of a run on several ports: drawn once each board's chip has answered,
// and still in the order of the ports among the boards that answered. Each port's process
// asks its parent when its chip has answered and waits; the parent draws for those that
// ask as soon as every port before them has asked too, or has ended its work without a
// number, and answers each with its number.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "cli/CliStation.h"
#include "cli/CliStatus.h"

namespace kavel::cli {

// A port's end of the line to its parent (a socket); closed when the board needs no
// number any more.
class TDrawChannel {
 public:
  explicit TDrawChannel(int fd = -1) : m_fd(fd) {}
  ~TDrawChannel() { Close(); }
  TDrawChannel(const TDrawChannel&) = delete;
  TDrawChannel& operator=(const TDrawChannel&) = delete;

  // The number comes from the parent.
  bool Open() const { return m_fd >= 0; }
  // Asks the parent for the board's number and waits for its answer: done with the number
  // (nothing when the source is used up), recorded in the board's row by the parent; or
  // rkStationFailed (the parent could not draw, or has gone), or rkStopped (a stop signal
  // came first: nothing is drawn for this board). The channel is closed after. waiting is
  // called once when the answer does not come at once (the ports before it are still at work).
  TRunStatus Ask(std::optional<std::int64_t>& serial, const std::function<void()>& waiting = {});
  // The board will ask for nothing: the ports after it need not wait for it.
  void Close();

 private:
  int m_fd;
};

// The parent's ends, one a port (-1 for a port without one), and its rows, begun. Serves the
// ports' asks, drawing in the order of the ports, until every port has closed its end (or
// its process has ended); each end is closed here. A stop signal ends the drawing: a port
// that asks after it is told so.
void ServeDraws(const TCliArgs& args, const TStationRun& station, std::vector<station::TRunRow>& rows,
                std::vector<int>& ends);

}  // namespace kavel::cli
