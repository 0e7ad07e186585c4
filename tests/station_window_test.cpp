// The operator's station window: what a tile makes of the command line's words, and four
// simulated boards, one of them locked, programmed from one Start.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QSignalSpy>
#include <QTest>

#include <future>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/CliArgs.h"
#include "station/Sha256.h"
#include "stationwin/BoardState.h"
#include "stationwin/StationWindow.h"
#include "tests/support/CliFixture.h"

namespace kavel {
namespace {

using stationwin::TBoardPhase;

// The job as the command line checks it, as the program hands it to the window.
cli::TCliArgs CheckedJob(const std::string& path) {
  cli::TCliArgs job;
  const cli::TRunStatus checked = cli::ParseCliArgs({"--job", path}, job);
  EXPECT_TRUE(checked.Ok()) << checked.detail;
  return job;
}

TEST(StationTile, TheRunsEventsBecomeTheTile) {
  const struct {
    std::vector<std::string> lines;  // the run's standard output, about COM1
    TBoardPhase phase;
    std::string step, reason;
    int percent;
    std::optional<std::int64_t> serial;
    bool board = true;  // false: the station's fault, the board not worked on
  } cases[] = {
      {{R"({"event":"step","port":"COM1","step":"erase","text":"erasing"})",
        R"({"event":"step","port":"COM1","step":"program","text":"programming"})",
        R"({"event":"progress","port":"COM1","step":"program","done":9,"total":18})",
        R"({"event":"progress","port":"COM1","step":"erase","done":18,"total":18})",  // not the step's: no measure
        R"({"event":"serial","port":"COM1","serial":7001})"},
       TBoardPhase::bpRunning, "programming", "", 50, 7001},
      {{R"({"event":"progress","port":"COM1","step":"verify","done":156,"total":0})",  // no total: no measure
        R"({"port":"COM1","result":"ok","class":"board","serial":42,"seconds":2.3,"resent":2,"message":"programmed 18 records","diagnosis":[]})",
        R"({"event":"step","port":"COM1","step":"sync","text":"after its end"})"},
       TBoardPhase::bpPass, "done", "", 100, 42},
      {{R"({"event":"step","port":"COM1","step":"sync","text":"synchronizing"})",
        R"({"port":"COM1","result":"no answer","class":"board","message":"no answer","diagnosis":["no answer at 9600 bit/s","check the jumper"]})"},
       TBoardPhase::bpFail, "synchronizing", "no answer at 9600 bit/s\ncheck the jumper", -1, std::nullopt},
      {{R"j({"port":"COM1","result":"stopped","message":"stopped by the operator (Esc)"})j"}, TBoardPhase::bpStopped,
       "starting", "stopped by the operator (Esc)", -1, std::nullopt},
      {{R"({"port":"COM1","result":"station","class":"station","message":"the log cannot be opened","diagnosis":["the log cannot be opened"]})"},
       TBoardPhase::bpReady, "", "not programmed: see above", -1, std::nullopt, false},
      {{"not json", R"({"event":"step","step":"erase"})", R"({"event":"what","port":"COM1","step":"erase"})", R"([1,2])"},
       TBoardPhase::bpRunning, "starting", "", -1, std::nullopt},  // no line of the run's, or none of a port's
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.front());
    stationwin::TBoardState b;
    b.Begin();
    bool board = true;
    for (const std::string& line : c.lines) {
      const stationwin::TRunLine read = stationwin::ReadRunLine(line);
      if (read.kind != stationwin::TRunLine::rlNone) { EXPECT_EQ(read.port, "COM1"); }
      board = b.Take(read) && board;
    }
    EXPECT_EQ(board, c.board);
    EXPECT_EQ(b.phase, c.phase);
    EXPECT_EQ(b.step, c.step);
    EXPECT_EQ(b.reason, c.reason);
    EXPECT_EQ(b.percent, c.percent);
    EXPECT_EQ(b.serial, c.serial);
  }
  stationwin::TBoardState b;
  b.Begin();
  b.Take(stationwin::ReadRunLine(R"({"port":"COM1","result":"ok","resent":3})"));
  EXPECT_EQ(b.resent, 3u);
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
  const cli::TCliArgs job = CheckedJob(File("line.toml"));
  stationwin::TStationWindow window(job, KAVEL_CLI_EXE, "Ana");
  QSignalSpy rounds(&window, &stationwin::TStationWindow::RoundEnded);
  ASSERT_TRUE(rounds.wait(10000));  // the counters of a lot not begun: nothing yet
  EXPECT_EQ(window.Counts().all.passed + window.Counts().all.failed, 0);
  ASSERT_TRUE(window.StartReady());
  EXPECT_FALSE(window.StartReady());  // one round at a time
  ASSERT_TRUE(rounds.wait(60000));
  std::set<std::int64_t> serials;
  for (std::size_t i = 0; i < 4; ++i) {
    const stationwin::TBoardState& b = window.Board(i);
    SCOPED_TRACE(job.ports[i].name);
    EXPECT_EQ(b.phase, i == 2 ? TBoardPhase::bpFail : TBoardPhase::bpPass);
    ASSERT_TRUE(b.serial.has_value());
    serials.insert(*b.serial);
    if (i == 2) { EXPECT_NE(b.reason.find("security bit 1 is set"), std::string::npos) << b.reason; }
    // Its tile says so in words, under its accessible name, and shows the number as the
    // command line does (bytes4: its bytes).
    QLabel *state = nullptr, *number = nullptr;
    for (QLabel* l : window.findChildren<QLabel*>()) {
      if (l->accessibleName() == QString::fromStdString(job.ports[i].name + " state")) state = l;
      if (l->accessibleName() == QString::fromStdString(job.ports[i].name + " serial")) number = l;
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
  std::size_t named = 0;  // who programmed each
  for (std::size_t at = 0; (at = log.out.find("\"operator\":\"Ana\"", at)) != std::string::npos; ++at) ++named;
  EXPECT_EQ(named, 4u);
  // Automatic mode switched on now: the boards still in their sockets are done, not new.
  window.SetAutomatic(true);
  QTest::qWait(1200);
  EXPECT_FALSE(window.Running());
  // Closed in the middle of a round: the round is stopped and awaited.
  ASSERT_TRUE(window.StartReady());
}

// Stop (Esc) ends a round at the board's next safe point; closing the window during one asks
// first, then stops it the same way. The rows say which it was.
TEST_F(StationWindow, StopAndCloseEndRoundsAtASafePointAndSaySo) {
  Sim({"--block-erase-ms", "3000"}, "COM1");
  const std::string sha = station::Sha256(test::ReadWholeFile(blinkHex));
  Write("line.toml", "operation = \"program\"\nimage = \"" + blinkHex + "\"\nsha256 = \"" + sha +
                         "\"\nports = [\"COM1\"]\ndb = \"" + File("station.db") + "\"\nlot = \"W-1\"\n");
  stationwin::TStationWindow window(CheckedJob(File("line.toml")), KAVEL_CLI_EXE, "Ana");
  QSignalSpy rounds(&window, &stationwin::TStationWindow::RoundEnded);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  QTRY_VERIFY_WITH_TIMEOUT(rounds.count() == 1, 10000);
  const auto erasing = [&] {
    QTest::keyClick(&window, Qt::Key_Space);  // the pedal
    ASSERT_TRUE(window.Running());
    QTRY_VERIFY_WITH_TIMEOUT(window.Board(0).stepKey == "erase", 30000);
  };
  erasing();
  QTest::keyClick(&window, Qt::Key_Escape);
  QTRY_VERIFY_WITH_TIMEOUT(rounds.count() == 2, 30000);
  EXPECT_EQ(window.Board(0).phase, TBoardPhase::bpStopped) << window.Board(0).reason;
  erasing();
  // Closing asks; "No" keeps the round going, "Yes" stops it and closes once it has stopped.
  for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
    QTimer::singleShot(200, [answer] {
      auto* ask = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(ask, nullptr);
      EXPECT_EQ(ask->text(), "1 board is being programmed. Stop it and close?");
      ask->button(answer)->click();
    });
    window.close();
    EXPECT_TRUE(window.Running());  // going on, or stopping at its next safe point
    EXPECT_TRUE(window.isVisible());
  }
  QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 30000);
  EXPECT_FALSE(window.Running());
  const test::TRun log = Run({"log", "--json", "--db", File("station.db")});
  EXPECT_NE(log.out.find("stopped by the operator (Esc)"), std::string::npos) << log.out;
  EXPECT_NE(log.out.find("stopped when the window closed"), std::string::npos) << log.out;
}

// What is the station's, not the board's: no operator named, a log that cannot be reached, a
// command line that cannot be started, counters that cannot be read. Each is said in the
// banner, once however many ports said it; no tile fails, and the window waits on nothing.
TEST_F(StationWindow, StationFaultsAreSaidOnceAndFailNoBoard) {
  Sim({}, "COM1");
  Sim({}, "COM2");
  Write("line.toml", "operation = \"program\"\nimage = \"" + blinkHex + "\"\nsha256 = \"" +
                         station::Sha256(test::ReadWholeFile(blinkHex)) +
                         "\"\nports = [\"COM1\", \"COM2\"]\ndb = \"postgresql://kavel@127.0.0.1:9/none\"\n");
  for (const std::string& cli : {std::string(KAVEL_CLI_EXE), File("no-such-kavel-isp-cli")}) {
    SCOPED_TRACE(cli);
    stationwin::TStationWindow window(CheckedJob(File("line.toml")), QString::fromStdString(cli));
    QSignalSpy rounds(&window, &stationwin::TStationWindow::RoundEnded);
    ASSERT_TRUE(rounds.wait(10000));
    const auto banner = [&window] { return window.findChild<QLabel*>("banner")->text().toStdString(); };
    EXPECT_TRUE(banner().starts_with("the lot's counters cannot be read")) << banner();
    EXPECT_FALSE(window.StartReady());
    EXPECT_TRUE(banner().starts_with("Enter the operator's name first")) << banner();
    window.findChild<QLineEdit*>()->setText("Ana");
    ASSERT_TRUE(window.StartReady());
    ASSERT_TRUE(rounds.wait(30000));
    const std::string said = banner();
    EXPECT_TRUE(said.starts_with("Nothing was programmed") || said.starts_with("Not programmed")) << said;
    EXPECT_NE(said.find(cli == KAVEL_CLI_EXE ? "127.0.0.1" : "no-such-kavel-isp-cli"), std::string::npos) << said;
    EXPECT_EQ(said.find("Not programmed", 1), std::string::npos) << said;  // once, not a port each
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(window.Board(i).phase, TBoardPhase::bpReady);
      EXPECT_TRUE(window.Board(i).reason.starts_with("not programmed")) << window.Board(i).reason;
    }
  }
}

// Automatic mode: a board already in its socket when the window starts waits; taken out and
// put in, it is programmed once, and not again while it stays, however often its link drops;
// the next is programmed once it has gone and come back. On a pty, and behind RFC 2217 through
// a proxy that drops every 4th connection, with a chip that hears the line only after the
// job's boot entry.
class StationAutomatic : public test::CliFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(StationAutomatic, ProgramsEachBoardPutInOnce) {
  const bool network = GetParam();
  const std::string tcp = std::to_string(test::FreeTcpPort()), flaky = std::to_string(test::FreeTcpPort());
  const std::string sha = station::Sha256(test::ReadWholeFile(blinkHex));
  Write("line.toml", "operation = \"program\"\nimage = \"" + blinkHex + "\"\nsha256 = \"" + sha + "\"\nports = [\"" +
                         (network ? "rfc2217://127.0.0.1:" + flaky + "\"]\nboot-entry = \"dtr-rts" : "COM1\"]\nbaud = 115200\nstation = \"a") +
                         "\"\ndb = \"" + File("station.db") + "\"\nlot = \"W-1\"\n");
  pid_t board = 0;
  if (network) {
    board = test::StartProcess(KAVEL_SIM_EXE, {"--rfc2217", tcp, "--need-entry"}, File("sim.out"));
    sims.push_back(board);
    ASSERT_TRUE(test::WaitForText(File("sim.out"), "rfc2217://", 5000));
    sims.push_back(test::StartProcess(KAVEL_NETFAULT_EXE, {"drop", flaky, tcp, "4"}, File("proxy.out")));
    ASSERT_TRUE(test::WaitForText(File("proxy.out"), "listening", 5000));
  } else {
    board = Sim({}, "COM1");
  }
  const auto swap = [board] { kill(board, SIGUSR1); };  // the board taken out, or put in
  const auto rows = [this] {
    const std::string out = Run({"log", "--json", "--db", File("station.db")}).out;
    return std::count(out.begin(), out.end(), '\n');
  };
  stationwin::TStationWindow window(CheckedJob(File("line.toml")), KAVEL_CLI_EXE, "Ana");
  window.SetAutomatic(true);
  const auto socket = [&window] { return window.findChild<QLabel*>("socket0")->text().toStdString(); };
  QTRY_VERIFY_WITH_TIMEOUT(socket().starts_with("a board was in the socket"), 10000);
  QTest::qWait(1500);
  EXPECT_FALSE(window.Running());
  swap();  // out
  QTRY_VERIFY_WITH_TIMEOUT(socket().starts_with("empty: put a board in"), 10000);
  EXPECT_FALSE(window.Running());
  for (int next = 1; next <= 2; ++next) {
    SCOPED_TRACE(next);
    swap();  // in
    QTRY_COMPARE_WITH_TIMEOUT(window.Board(0).phase, TBoardPhase::bpPass, 30000);
    QTest::qWait(3000);  // the board stays in its socket: several probes, some of them dropped
    EXPECT_EQ(rows(), next);
    EXPECT_EQ(window.Board(0).phase, TBoardPhase::bpPass);
    swap();  // out
    QTRY_COMPARE_WITH_TIMEOUT(window.Board(0).phase, TBoardPhase::bpReady, 10000);
  }
}
INSTANTIATE_TEST_SUITE_P(PtyAndNetwork, StationAutomatic, ::testing::Bool());

// The probe automatic mode asks, on each kind of socket, with a job that pins no speed: a
// chip that answers at any speed, a slow crystal's chip that takes 9600 bit/s alone, a line
// that gives back all it is sent (something heard, never a boot loader), an empty socket (a
// line that says nothing), and a device that is not there.
TEST_F(StationWindow, TheProbeTellsABoardFromAnEmptySocketAndAPortFromNone) {
  Sim({}, "COM1");
  Sim({"--speeds", "9600"}, "COM2");
  Sim({"--loopback"}, "COM3");
  test::TPtyPair empty(dir.Path(), "COM4");
  Write("line.toml", "operation = \"program\"\nimage = \"" + blinkHex + "\"\nsha256 = \"" +
                         station::Sha256(test::ReadWholeFile(blinkHex)) +
                         "\"\nports = [\"COM1\", \"COM2\", \"COM3\", \"COM4\", \"" + File("no-such-tty") + "\"]\ndb = \"" + File("station.db") + "\"\n");
  const cli::TCliArgs job = CheckedJob(File("line.toml"));
  const struct {
    cli::TProbe::TWhat what;
    TBaudRate speed;
  } expected[] = {{cli::TProbe::pwAnswered, br115200}, {cli::TProbe::pwAnswered, br9600}, {cli::TProbe::pwNoise, br9600},
                  {cli::TProbe::pwQuiet, br9600}, {cli::TProbe::pwNoPort, br9600}};
  ASSERT_EQ(job.ports.size(), std::size(expected));
  std::vector<std::future<cli::TProbe>> probes;  // all at once, as the window asks them
  for (const cli::TPortArg& port : job.ports)
    probes.push_back(std::async(std::launch::async, [&job, port] { return cli::ProbeBoard(job, port, [] { return false; }); }));
  for (std::size_t i = 0; i < job.ports.size(); ++i) {
    SCOPED_TRACE(job.ports[i].name);
    const cli::TProbe probe = probes[i].get();
    EXPECT_EQ(int(probe.what), int(expected[i].what)) << probe.words;
    if (probe.what == cli::TProbe::pwAnswered) { EXPECT_EQ(probe.speed, expected[i].speed); }
    EXPECT_EQ(probe.words.empty(), probe.what != cli::TProbe::pwNoPort) << probe.words;
  }
  // A stop asked for ends the probe before it has learnt anything.
  EXPECT_EQ(cli::ProbeBoard(job, job.ports[3], [] { return true; }).what, cli::TProbe::pwStopped);
}

}  // namespace
}  // namespace kavel
