// The operator's station window: what a tile makes of the command line's words, and four
// simulated boards, one of them locked, programmed from one Start.
#include <QLabel>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "station/Job.h"
#include "station/Sha256.h"
#include "stationwin/BoardState.h"
#include "stationwin/StationWindow.h"
#include "tests/support/CliFixture.h"

namespace kavel {
namespace {

using stationwin::TBoardPhase;

TEST(StationTile, TheCommandLinesWordsBecomeTheTile) {
  const struct {
    std::vector<std::string> err;  // its lines, label taken off
    std::string json;              // its object; "" for none
    TBoardPhase phase;
    std::string step, reason;
    int percent;
    std::optional<std::int64_t> serial;
  } cases[] = {
      {{"erasing the blocks the image touches: 0 7", "programming 50% (9/18 records)"}, "", TBoardPhase::bpRunning,
       "programming", "", 50, std::nullopt},
      {{"verifying 100% (156/156 bytes)", "line speed: 115200 bit/s"},
       R"({"result":"ok","serial":42,"seconds":2.3,"message":"programmed 18 records"})", TBoardPhase::bpPass, "done", "",
       100, 42},
      {{"the chip refused to erase block 0: security bit 1 is set"},
       R"({"result":"refused","serial":3,"message":"the chip refused to erase block 0: security bit 1 is set"})",
       TBoardPhase::bpFail, "", "the chip refused to erase block 0: security bit 1 is set", -1, 3},
      {{"programming 10% (2/18 records)"}, R"({"result":"stopped","message":"stopped"})", TBoardPhase::bpStopped,
       "programming", "stopped", 10, std::nullopt},
      {{"programming 10% (2/18 records)"}, "", TBoardPhase::bpFail, "programming", "its process was killed", 10,
       std::nullopt},  // ended without an object
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    stationwin::TBoardState b;
    b.Begin();
    for (const std::string& line : c.err) b.TakeErrLine(line);
    if (!c.json.empty()) {
      EXPECT_TRUE(b.TakeResult(c.json));
    }
    if (c.phase != TBoardPhase::bpRunning) b.Ended("its process was killed");
    EXPECT_EQ(b.phase, c.phase);
    EXPECT_EQ(b.step, c.step);
    EXPECT_EQ(b.reason, c.reason);
    EXPECT_EQ(b.percent, c.percent);
    EXPECT_EQ(b.serial, c.serial);
  }
  EXPECT_EQ(stationwin::SplitLabel("COM12: programming", {"COM1", "COM12"}),
            (std::pair<std::string, std::string>{"COM12", "programming"}));
  EXPECT_EQ(stationwin::SplitLabel("no label", {"COM1", "COM2"}).first, "");
  // The lot's counters: every station's figures in all, this station's a port; lines that are
  // no figures count nothing.
  const stationwin::TLotCounts counts = stationwin::CountStats(
      R"({"boards":5,"passed":2,"failed":2,"unfinished":1})",
      "{\"port\":\"COM1\",\"passed\":1,\"failed\":0}\nnot figures\n{\"port\":\"COM2\",\"passed\":0,\"failed\":1}\n"
      "{\"port\":\"COM9\",\"passed\":7,\"failed\":0}\n",
      {"COM1", "COM2"});
  EXPECT_EQ(counts.all.passed, 2);
  EXPECT_EQ(counts.all.failed, 2);
  EXPECT_EQ(counts.all.Yield(), 50.0);
  EXPECT_EQ(counts.ports[0].passed, 1);
  EXPECT_EQ(counts.ports[1].failed, 1);
  EXPECT_FALSE(stationwin::TCounts{}.Yield().has_value());
}

class StationWindow : public test::CliFixture {};

TEST_F(StationWindow, OneStartProgramsEveryBoardAndTheCountersAreTheLogs) {
  for (const char* port : {"COM1", "COM2", "COM4"}) Sim({}, port);
  Sim({"--security", "1"}, "COM3");  // locked: its blocks cannot be erased
  const std::string sha = station::Sha256(test::ReadWholeFile(blinkHex));
  Write("line.toml", "operation = \"program\"\nimage = \"" + blinkHex + "\"\nsha256 = \"" + sha +
                         "\"\nports = [\"COM1\", \"COM2\", \"COM3\", \"COM4\"]\nserial = \"7FFC:bytes4\"\ndb = \"" +
                         File("station.db") + "\"\nstation = \"line-2\"\nlot = \"W-1742\"\n");
  station::TJob job;
  ASSERT_TRUE(station::LoadJob(File("line.toml"), job).Ok());
  stationwin::TStationWindow window(job, KAVEL_CLI_EXE);
  QSignalSpy rounds(&window, &stationwin::TStationWindow::RoundEnded);
  ASSERT_TRUE(rounds.wait(10000));  // the counters of a lot not begun: nothing yet
  EXPECT_EQ(window.Counts().all.passed + window.Counts().all.failed, 0);
  ASSERT_TRUE(window.StartReady());
  EXPECT_FALSE(window.StartReady());  // one round at a time
  ASSERT_TRUE(rounds.wait(60000));
  std::set<std::int64_t> serials;
  for (std::size_t i = 0; i < 4; ++i) {
    const stationwin::TBoardState& b = window.Board(i);
    SCOPED_TRACE(job.ports[i]);
    EXPECT_EQ(b.phase, i == 2 ? TBoardPhase::bpFail : TBoardPhase::bpPass);
    ASSERT_TRUE(b.serial.has_value());
    serials.insert(*b.serial);
    if (i == 2) { EXPECT_NE(b.reason.find("security bit 1 is set"), std::string::npos) << b.reason; }
    // Its tile says so in words, under its accessible name, and shows the number as the
    // command line does (bytes4: its bytes).
    QLabel *state = nullptr, *number = nullptr;
    for (QLabel* l : window.findChildren<QLabel*>()) {
      if (l->accessibleName() == QString::fromStdString(job.ports[i] + " state")) state = l;
      if (l->accessibleName() == QString::fromStdString(job.ports[i] + " serial")) number = l;
    }
    ASSERT_NE(state, nullptr);
    ASSERT_NE(number, nullptr);
    EXPECT_EQ(state->text(), i == 2 ? "FAIL" : "PASS");
    EXPECT_TRUE(number->text().startsWith(QString("serial 00:00:00:0%1 ").arg(*b.serial))) << number->text().toStdString();
  }
  EXPECT_EQ(serials.size(), 4u);  // none twice
  EXPECT_EQ(window.Counts().all.passed, 3);
  EXPECT_EQ(window.Counts().all.failed, 1);
  EXPECT_EQ(window.Counts().ports[2].failed, 1);
  // The same as the log says.
  const test::TRun log = Run({"log", "--json", "--db", File("station.db"), "--lot", "W-1742"});
  int rows = 0;
  for (std::size_t at = 0; (at = log.out.find('\n', at)) != std::string::npos; ++at) ++rows;
  EXPECT_EQ(rows, 4);
  // Automatic mode switched on now: the boards still in their sockets are done, not new.
  window.SetAutomatic(true);
  QTest::qWait(1200);
  EXPECT_FALSE(window.Running());
  // Closed in the middle of a round: the round is stopped and awaited.
  ASSERT_TRUE(window.StartReady());
}

// Stop (Esc) ends a round at the board's next safe point, as Ctrl-C does; its row says so.
TEST_F(StationWindow, StopEndsTheRoundAtASafePoint) {
  Sim({"--block-erase-ms", "3000"}, "COM1");
  const std::string sha = station::Sha256(test::ReadWholeFile(blinkHex));
  Write("line.toml", "operation = \"program\"\nimage = \"" + blinkHex + "\"\nsha256 = \"" + sha +
                         "\"\nports = [\"COM1\"]\ndb = \"" + File("station.db") + "\"\nlot = \"W-1\"\n");
  station::TJob job;
  ASSERT_TRUE(station::LoadJob(File("line.toml"), job).Ok());
  stationwin::TStationWindow window(job, KAVEL_CLI_EXE);
  QSignalSpy rounds(&window, &stationwin::TStationWindow::RoundEnded);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  QTRY_VERIFY_WITH_TIMEOUT(rounds.count() == 1, 10000);
  QTest::keyClick(&window, Qt::Key_Space);  // the pedal
  ASSERT_TRUE(window.Running());
  QTRY_VERIFY_WITH_TIMEOUT(window.Board(0).step.starts_with("erasing"), 30000);
  QTest::keyClick(&window, Qt::Key_Escape);
  QTRY_VERIFY_WITH_TIMEOUT(rounds.count() == 2, 30000);
  EXPECT_EQ(window.Board(0).phase, TBoardPhase::bpStopped) << window.Board(0).reason;
  const test::TRun log = Run({"log", "--json", "--db", File("station.db")});
  EXPECT_NE(log.out.find("\"result\":\"stopped\""), std::string::npos) << log.out;
}

// A command line that cannot be started: the counters say why, and the window waits on
// nothing (its end of reading them still comes).
TEST_F(StationWindow, ACommandLineThatCannotStartIsSaidAndHoldsNothingUp) {
  Write("line.toml", "operation = \"program\"\nimage = \"" + blinkHex + "\"\nsha256 = \"" +
                         station::Sha256(test::ReadWholeFile(blinkHex)) +
                         "\"\nports = [\"COM1\"]\ndb = \"postgresql://kavel@127.0.0.1:9/none\"\n");
  station::TJob job;
  ASSERT_TRUE(station::LoadJob(File("line.toml"), job).Ok());
  stationwin::TStationWindow window(job, QString::fromStdString(File("no-such-kavel-isp-cli")));
  QSignalSpy rounds(&window, &stationwin::TStationWindow::RoundEnded);
  ASSERT_TRUE(rounds.wait(10000));
  QString said;
  for (const QLabel* label : window.findChildren<QLabel*>())
    if (label->text().startsWith("the lot's counters cannot be read")) said = label->text();
  EXPECT_FALSE(said.isEmpty());
}

// Automatic mode: a board put in is programmed once, and not again until it has gone and
// another (here the same simulator, started again) comes; on a pty, and behind RFC 2217 with
// a chip that hears the line only after the job's boot entry.
class StationAutomatic : public test::CliFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(StationAutomatic, ProgramsEachBoardPutInOnce) {
  const bool network = GetParam();
  const std::string tcp = std::to_string(test::FreeTcpPort());
  const std::string sha = station::Sha256(test::ReadWholeFile(blinkHex));
  Write("line.toml", "operation = \"program\"\nimage = \"" + blinkHex + "\"\nsha256 = \"" + sha + "\"\nports = [\"" +
                         (network ? "rfc2217://127.0.0.1:" + tcp + "\"]\nboot-entry = \"dtr-rts" : "COM1\"]\nstation = \"a") +
                         "\"\ndb = \"" + File("station.db") + "\"\nlot = \"W-1\"\n");
  const auto put = [&] {
    if (!network) return (void)Sim({}, "COM1");
    std::remove(File("sim.out").c_str());
    sims.push_back(test::StartProcess(KAVEL_SIM_EXE, {"--rfc2217", tcp, "--need-entry"}, File("sim.out")));
    ASSERT_TRUE(test::WaitForText(File("sim.out"), "rfc2217://", 5000));
  };
  station::TJob job;
  ASSERT_TRUE(station::LoadJob(File("line.toml"), job).Ok());
  stationwin::TStationWindow window(job, KAVEL_CLI_EXE);
  QSignalSpy rounds(&window, &stationwin::TStationWindow::RoundEnded);
  window.SetAutomatic(true);
  QTest::qWait(1200);  // no board yet: nothing happens
  EXPECT_FALSE(window.Running());
  const auto boards = [this] {
    const std::string out = Run({"log", "--json", "--db", File("station.db")}).out;
    return std::count(out.begin(), out.end(), '\n');
  };
  for (int board = 1; board <= 2; ++board) {
    SCOPED_TRACE(board);
    put();
    QTRY_COMPARE_WITH_TIMEOUT(window.Board(0).phase, TBoardPhase::bpPass, 30000);
    QTest::qWait(1500);  // the board stays in its socket: three polls, no second round
    EXPECT_EQ(boards(), board);
    StopSims();
    QTRY_COMPARE_WITH_TIMEOUT(window.Board(0).phase, TBoardPhase::bpReady, 5000);
  }
}
INSTANTIATE_TEST_SUITE_P(PtyAndNetwork, StationAutomatic, ::testing::Bool());

}  // namespace
}  // namespace kavel
