// The production station on a real PostgreSQL server that the test starts in a private
// cluster (tests/support/pg_cluster.sh) and stops: two stations share one sequence, and a
// server that goes away is a failure of its own that never leaves a board without its row.
#include <signal.h>

#include <cstdio>
#include <set>

#include <nlohmann/json.hpp>

#include "station/StationDb.h"
#include "tests/support/CliFixture.h"
#include "tests/support/StatsRows.h"

namespace kavel {
namespace {

class StationPg : public test::CliFixture {
 protected:
  // The cluster's folder is its own, beside the test's (which the postgres user may not enter).
  void SetUp() override {
    char folder[] = "/tmp/kavel-pg-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    pgDir = folder;
    url = Cluster("start");
    ASSERT_EQ(url.rfind("postgresql://", 0), 0u) << "the private PostgreSQL cluster did not start";
  }
  void TearDown() override { Cluster("remove"); }
  // Runs the cluster script; its first line of output.
  std::string Cluster(const std::string& action) {
    const std::string command = "bash " KAVEL_PG_CLUSTER " " + action + " " + pgDir;
    std::FILE* out = popen(command.c_str(), "r");
    if (!out) return {};
    char line[512] = {};
    const bool got = std::fgets(line, sizeof line, out) != nullptr;
    pclose(out);
    std::string text = got ? line : "";
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  std::vector<nlohmann::json> Log() {
    const test::TRun run = Run({"--db", url, "log", "--json"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<nlohmann::json> rows;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) rows.push_back(nlohmann::json::parse(line));
    return rows;
  }
  std::string pgDir, url;
};

TEST_F(StationPg, TwoStationsOfFourBoardsShareOneSequence) {
  std::vector<std::string> a{"--db", url}, b{"--db", url};
  for (int i = 1; i <= 8; ++i) {
    Sim({}, "COM" + std::to_string(i));
    (i <= 4 ? a : b).insert((i <= 4 ? a : b).end(), {"--port", "COM" + std::to_string(i)});
  }
  for (auto* station : {&a, &b}) station->insert(station->end(), {"--quiet", "program", "--serial", "7FFC", blinkBin});
  const pid_t first = test::StartProcess(KAVEL_CLI_EXE, a, File("a.out"), File("a.err"));
  const pid_t second = test::StartProcess(KAVEL_CLI_EXE, b, File("b.out"), File("b.err"));
  EXPECT_EQ(test::WaitExit(first, 60000), 0) << test::ReadWholeFile(File("a.err"));
  EXPECT_EQ(test::WaitExit(second, 60000), 0) << test::ReadWholeFile(File("b.err"));
  std::set<std::int64_t> serials;
  std::set<std::string> ports;
  for (const auto& row : Log()) {
    EXPECT_EQ(row["result"], "ok");
    EXPECT_EQ(row["serial_verified"], true);
    serials.insert(row["serial"].get<std::int64_t>());
    ports.insert(row["port"].get<std::string>());
  }
  EXPECT_EQ(serials, (std::set<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(ports.size(), 8u);
}

// Two stations draw from two versions of one list of five values at once (one has a comment
// more, so that the files differ), eight boards: five get a value each, never one twice, and
// the other three are refused untouched.
TEST_F(StationPg, TwoVersionsOfAListShareItsValuesAndItRunsOutForBoth) {
  const std::string values = "0x100\n0x101\n0x102\n0x103\n0x104\n";
  std::vector<std::string> a{"--db", url}, b{"--db", url};
  for (int i = 1; i <= 8; ++i) {
    Sim({}, "COM" + std::to_string(i));
    (i <= 4 ? a : b).insert((i <= 4 ? a : b).end(), {"--port", "COM" + std::to_string(i)});
  }
  a.insert(a.end(), {"--quiet", "program", "--serial", "7FFE:be16", "--serial-list", Write("a.txt", values), blinkBin});
  b.insert(b.end(), {"--quiet", "program", "--serial", "7FFE:be16", "--serial-list", Write("b.txt", "# version 2\n" + values), blinkBin});
  const pid_t first = test::StartProcess(KAVEL_CLI_EXE, a, File("a.out"), File("a.err"));
  const pid_t second = test::StartProcess(KAVEL_CLI_EXE, b, File("b.out"), File("b.err"));
  const int statuses[] = {test::WaitExit(first, 60000), test::WaitExit(second, 60000)};
  EXPECT_NE(statuses[0] + statuses[1], 0);  // at least one station ran out
  std::multiset<std::int64_t> serials;
  int refused = 0;
  for (const auto& row : Log()) {
    if (row["result"] == "ok") {
      serials.insert(row["serial"].get<std::int64_t>());
    } else {
      EXPECT_EQ(row["result"], "station_failed") << row;
      EXPECT_TRUE(row["serial"].is_null());
      ++refused;
    }
  }
  EXPECT_EQ(serials, (std::multiset<std::int64_t>{0x100, 0x101, 0x102, 0x103, 0x104}));
  EXPECT_EQ(refused, 3);
}

// The server adds up its rows a quarter hour at a time; the local days and hours, worked out
// from those, are the rows' own in a zone half an hour off UTC and across a change to summer
// time.
TEST_F(StationPg, TheServerAddsUpWhatItsRowsSay) {
  std::unique_ptr<station::TStationDb> db;
  ASSERT_TRUE(station::OpenStationDb(url, db).Ok());
  test::ExpectTheDatabaseAddsUp(*db, {"Asia/Kolkata", "Europe/Berlin"}, {"ok", "bad_image"});
}

TEST_F(StationPg, AServerThatGoesAwayKeepsTheRowInTheSpoolAndNoBoardIsWrittenWithoutItsRow) {
  const std::string big = Write("16k.bin", std::string(16384, '\x33'));
  Sim({"--reply-delay", "5"});
  const pid_t cli = Start({"--db", url, "program", "--serial", "7FFC", big});
  ASSERT_TRUE(test::WaitForText(File("err"), "programming ", 30000));
  Cluster("stop");
  EXPECT_EQ(test::WaitExit(cli, 120000), 0);  // the board is good; its row waits
  const std::string err = test::ReadWholeFile(File("err"));
  EXPECT_NE(err.find("the station database postgresql://kavel@127.0.0.1:"), std::string::npos) << err;
  EXPECT_NE(err.find("this board's row waits in the spool " + File("KAVEL/spool.db")), std::string::npos) << err;
  StopSims();

  // With the server gone, the next board is not touched at all.
  Sim();
  const test::TRun refused = Run({"--db", url, "program", "--serial", "7FFC", blinkBin});
  EXPECT_EQ(refused.status, 5);
  EXPECT_NE(refused.err.find("cannot be reached"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("nothing was sent to any board"), std::string::npos) << refused.err;
  StopSims();
  EXPECT_NE(Report().find("records=0\n"), std::string::npos);

  // Back again, the board that was written has its row, with its number, unfinished until
  // the spool is sent.
  ASSERT_EQ(Cluster("start"), url);
  auto rows = Log();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["result"], "unfinished");
  EXPECT_EQ(rows[0]["serial"], 1);

  // The next run sends it first. A server restarted while its board is programmed: the row
  // is finished on a new connection.
  Sim({"--reply-delay", "5"});
  const pid_t again = Start({"--db", url, "program", "--serial", "7FFC", big});
  ASSERT_TRUE(test::WaitForText(File("err"), "programming ", 30000));
  EXPECT_NE(test::ReadWholeFile(File("err")).find("1 row sent from the spool"), std::string::npos);
  Cluster("stop");
  ASSERT_EQ(Cluster("start"), url);
  EXPECT_EQ(test::WaitExit(again, 120000), 0) << test::ReadWholeFile(File("err"));
  StopSims();
  rows = Log();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["result"], "ok");
  EXPECT_EQ(rows[0]["serial_verified"], true);
  EXPECT_EQ(rows[1]["result"], "ok");
  EXPECT_EQ(rows[1]["serial"], 2);
  EXPECT_EQ(rows[1]["serial_verified"], true);
}

// A server that goes away while its boards are programmed, and a spool that cannot take their
// rows either (a directory in its place, bytes of no database, an immutable file, a file that
// may grow no more): each run says so in one line naming the spool and why, exits as its row
// was lost, and JSON says "logged": "lost".
TEST_F(StationPg, ASpoolThatCannotTakeTheRowSaysWhyAndTheRowIsLost) {
  const std::string big = Write("16k.bin", std::string(16384, '\x33'));
  const struct {
    const char* name;
    std::string prepare;  // a shell command, in the spool's folder
    const char* why;
    bool root;            // it takes root (an immutable file, a file system of the test's own)
  } cases[] = {
      {"a directory", "mkdir spool.db", "cannot be opened: it is a directory", false},
      {"random bytes", "head -c 8192 /dev/urandom > spool.db", "file is not a database", false},
      {"an immutable file", "sqlite3 spool.db 'CREATE TABLE t (x)' && chattr +i spool.db", "readonly database", true},
      {"a full disk",
       "mount -t tmpfs -o size=256k tmpfs \"$PWD\" && cd \"$PWD\" && sqlite3 spool.db 'CREATE TABLE t (x)' && "
       "{ head -c 1000000 /dev/zero > filler 2>/dev/null || true; }",
       "database or disk is full", true},
  };
  const bool root = geteuid() == 0;
  std::vector<pid_t> runs;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string port = "COM" + std::to_string(i + 1), home = File("home" + std::to_string(i));
    if (cases[i].root && !root) continue;
    ASSERT_EQ(std::system(("mkdir -p " + home + "/KAVEL && cd " + home + "/KAVEL && " + cases[i].prepare).c_str()), 0);
    Sim({"--reply-delay", "5"}, port);
    runs.push_back(test::StartProcess(KAVEL_CLI_EXE, {"--port", port, "--db", url, "--json", "program", big},
                                      File(port + ".out"), File(port + ".err"), {"XDG_DATA_HOME=" + home}));
  }
  for (std::size_t i = 0; i < runs.size(); ++i)
    ASSERT_TRUE(test::WaitForText(File("COM" + std::to_string(i + 1) + ".err"), "programming ", 30000));
  Cluster("stop");
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const std::string port = "COM" + std::to_string(i + 1), spool = File("home" + std::to_string(i)) + "/KAVEL/spool.db";
    EXPECT_EQ(test::WaitExit(runs[i], 60000), 5);
    const std::string err = test::ReadWholeFile(File(port + ".err"));
    EXPECT_NE(err.find("; the spool " + spool + " "), std::string::npos) << err;
    EXPECT_NE(err.find(cases[i].why), std::string::npos) << err;
    EXPECT_NE(err.find(": this board's row is lost (program was carried out)"), std::string::npos) << err;
    const auto json = nlohmann::json::parse(test::ReadWholeFile(File(port + ".out")));
    EXPECT_EQ(json["logged"], "lost");
    EXPECT_EQ(json["result"], "station_failed");
  }
  if (root) {
    EXPECT_EQ(std::system(("chattr -i " + File("home2/KAVEL/spool.db") + " && umount " + File("home3/KAVEL")).c_str()), 0);
  }
}

// A server that stops answering (its processes frozen) while a board is programmed: the run
// ends within the statements' bound, nothing it sent commits later, and the row waits in the
// spool until log --flush sends it, once, though two send it at the same moment.
TEST_F(StationPg, AFrozenServersRowWaitsInTheSpoolAndIsFinishedOnce) {
  Sim({"--reply-delay", "5"});
  const pid_t cli = Start({"--db", url, "--json", "program", "--serial", "7FFC", Write("16k.bin", std::string(16384, '3'))});
  ASSERT_TRUE(test::WaitForText(File("err"), "programming ", 30000));
  Cluster("freeze");
  const int exit = test::WaitExit(cli, 40000);  // the bound is 10 s after the board is done
  Cluster("thaw");
  EXPECT_EQ(exit, 0);
  const std::string err = test::ReadWholeFile(File("err"));
  EXPECT_NE(err.find("the server did not answer within 10 s; this board's row waits in the spool"), std::string::npos)
      << err;
  const auto json = nlohmann::json::parse(test::ReadWholeFile(File("out")));
  EXPECT_EQ(json["serial"], 1);
  EXPECT_EQ(json["exit"], 0);
  EXPECT_EQ(json["logged"], "spooled");
  usleep(1000 * 1000);  // the server takes up what it was sent before the connection closed
  ASSERT_EQ(Log().size(), 1u);
  EXPECT_EQ(Log()[0]["result"], "unfinished");
  std::vector<pid_t> flushes;
  for (const char* name : {"f1", "f2"}) {
    flushes.push_back(test::StartProcess(KAVEL_CLI_EXE, {"--db", url, "log", "--flush"}, File(std::string(name) + ".out"),
                                         File(std::string(name) + ".err")));
  }
  for (pid_t f : flushes) EXPECT_EQ(test::WaitExit(f, 30000), 0);
  const auto rows = Log();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["result"], "ok");
  EXPECT_EQ(rows[0]["serial_verified"], true);
  const test::TRun none = Run({"--db", url, "log", "--flush"});
  EXPECT_EQ(none.status, 0);
  EXPECT_NE(none.out.find("0 rows sent to postgresql://kavel@127.0.0.1:"), std::string::npos) << none.out;
}

}  // namespace
}  // namespace kavel
