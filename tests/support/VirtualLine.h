// The operations against the simulated chip on a line in virtual time: what goes over the
// wire, at which speed and when, with the chip's state to check afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/IspOperations.h"
#include "isp/Session.h"
#include "link/NAVOPort.h"
#include "sim/SimChip.h"
#include "tests/support/SimComDevice.h"
#include "link/WireText.h"
#include "sim/SimController.h"
#include "tests/support/NullHost.h"

namespace kavel::test {

class VirtualLine : public ::testing::Test {
 protected:
  // A line with the chip of these options on it (none: nothing connected), and the controller
  // when one was made before, port open.
  void Connect(std::unique_ptr<sim::TSimChip> chipOnLine) {
    chip = std::move(chipOnLine);
    auto d = std::make_unique<sim::TSimComDevice>(clock);
    device = d.get();
    if (chip) device->AddDevice(chip.get());
    if (controller) device->AddDevice(controller.get());
    port = std::make_unique<TNAVOPort>(1, 0, std::move(d));
    port->OpenPort();
    ops = std::make_unique<TIspOperations>(*port, clock, host);
    observer = test::TTestObserver{};
    session = std::make_unique<TIspSession>(*port, clock, wireWait, observer);
  }
  void ConnectChip(sim::TSimChipOptions options = {}) {
    Connect(std::make_unique<sim::TSimChip>(std::move(options)));
  }
  // The session synchronized at 9600 bit/s, as a run of the command line begins.
  void Synchronized() {
    TSyncResult result;
    ASSERT_TRUE(session->Synchronize(TSyncPlan{}, result).Ok());
  }
  // The speeds at which the program's writes of text (escaped as in wire logs) went out.
  std::vector<unsigned> SpeedsOfWrites(const std::string& text) const {
    std::vector<unsigned> speeds;
    for (const TWireEntry& e : device->WireLog())
      if (e.direction == '>' && Escape(e.bytes) == text) speeds.push_back(e.speed);
    return speeds;
  }

  // The program's writes, in order (escaped as in wire logs), and the virtual time of each.
  std::vector<std::string> Written() const {
    std::vector<std::string> out;
    for (const auto& [at, text] : Writes()) out.push_back(text);
    return out;
  }
  std::vector<std::pair<std::int64_t, std::string>> Writes() const {
    std::vector<std::pair<std::int64_t, std::string>> out;
    for (const TWireEntry& e : device->WireLog())
      if (e.direction == '>') out.emplace_back(e.atMs, Escape(e.bytes));
    return out;
  }

  TVirtualClock clock;
  TNullHost host;
  std::unique_ptr<sim::TSimChip> chip;
  std::unique_ptr<sim::TSimController> controller;
  sim::TSimComDevice* device = nullptr;
  std::unique_ptr<TNAVOPort> port;
  std::unique_ptr<TIspOperations> ops;  // the window's operations, with the host
  // The session as a front end without a window drives it: at the wire's pace.
  TWireSpeedWait wireWait;
  test::TTestObserver observer;
  std::unique_ptr<TIspSession> session;
};

}  // namespace kavel::test
