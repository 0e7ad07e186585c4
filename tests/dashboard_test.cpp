// The line's page: its answers are the log's own objects, its questions the log's filters,
// and it asks for its token off this machine; against a log filled by real runs.
#include <signal.h>

#include <httplib.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "dashboard/Dashboard.h"
#include "tests/support/CliFixture.h"

namespace kavel {
namespace {

TEST(DashboardAddresses, ListenAddressesAndTokens) {
  const struct {
    const char* text;
    bool good;
    std::string host;
    int port;
    bool loopback;
  } cases[] = {
      {"127.0.0.1:8480", true, "127.0.0.1", 8480, true}, {"[::1]:80", true, "::1", 80, true},
      {"localhost:1", true, "localhost", 1, true},       {"0.0.0.0:8480", true, "0.0.0.0", 8480, false},
      {"::1:80", false, "", 0, false},                   {"host:0", false, "", 0, false},
      {"host:65536", false, "", 0, false},               {":80", false, "", 0, false},
      {"host:8x", false, "", 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string host;
    int port = 0;
    ASSERT_EQ(dashboard::SplitListen(c.text, host, port), c.good);
    if (!c.good) continue;
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(dashboard::IsLoopback(host), c.loopback);
  }
  EXPECT_TRUE(dashboard::SameSecret("s3cret", "s3cret"));
  EXPECT_FALSE(dashboard::SameSecret("s3cre", "s3cret"));
  EXPECT_FALSE(dashboard::SameSecret("", ""));  // no token is no token
}

class Dashboard : public test::CliFixture {
 protected:
  // Two boards of station a (one passes, one locked fails) and one of a station whose name is markup.
  void Fill() {
    Sim({}, "COM1");
    Sim({"--security", "1"}, "COM2");
    for (const auto& [port, station] : {std::pair{"COM1", "a"}, {"COM2", "a"}, {"COM1", "<img src=x onerror=alert(1)>"}})
      Run({"program", blinkHex, "--port", port, "--db", File("log.db"), "--station", station, "--lot", "L1", "-q"});
  }
};

TEST_F(Dashboard, AnswersAreTheLogsObjectsAndItsFiltersTheQuestions) {
  auto now = std::chrono::steady_clock::now();
  dashboard::TLog log(File("log.db"), [&now] { return now; });
  // A log that is not there yet cannot be read: said, and read once it is there.
  EXPECT_EQ(log.Ask(false, {}).status, 503);
  Fill();
  const struct {
    bool stats;
    dashboard::TQuery query;
    int status;
    std::size_t objects;
  } cases[] = {
      {false, {}, 200, 3},
      {false, {{"station", "a"}, {"result", "ok"}}, 200, 1},
      {false, {{"since", "-1d"}, {"port", "COM2"}}, 200, 1},
      {false, {{"limit", "2"}}, 200, 2},
      {false, {{"limit", "1001"}}, 400, 0},
      {false, {{"limit", "0"}}, 400, 0},
      {true, {{"by", "station"}}, 200, 2},
      {true, {{"by", "station,hour"}, {"lot", "L1"}}, 200, 2},
      {false, {{"by", "station"}}, 400, 0},  // figures' key, not a row's
      {false, {{"since", "soon"}}, 400, 0},
      {false, {{"nothing", "1"}}, 400, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query.empty() ? "all" : c.query.front().first + "=" + c.query.front().second);
    const dashboard::TAnswer answer = log.Ask(c.stats, c.query);
    ASSERT_EQ(answer.status, c.status) << answer.body;
    const nlohmann::json body = nlohmann::json::parse(answer.body);
    if (c.status != 200) {
      EXPECT_TRUE(body["error"].is_string());
      continue;
    }
    ASSERT_TRUE(body.is_array());
    EXPECT_EQ(body.size(), c.objects) << answer.body;
  }
  // The same objects as the command line's, markup in a name kept as text.
  const test::TRun cli = Run({"log", "--stats", "--json", "--by", "station", "--db", File("log.db")});
  const nlohmann::ordered_json page = nlohmann::ordered_json::parse(log.Ask(true, {{"by", "station"}}).body);
  std::string lines;
  for (const nlohmann::ordered_json& o : page) lines += o.dump() + "\n";
  EXPECT_EQ(lines, cli.out);
  EXPECT_EQ(page[0]["station"], "<img src=x onerror=alert(1)>");

  // An answer is kept a while for every browser that asks the same; then read again.
  Run({"program", blinkHex, "--port", "COM1", "--db", File("log.db"), "--station", "b", "-q"});
  EXPECT_EQ(nlohmann::json::parse(log.Ask(false, {}).body).size(), 3u);
  now += dashboard::kKeptFor;
  EXPECT_EQ(nlohmann::json::parse(log.Ask(false, {}).body).size(), 4u);
  // A page of rows is the newest, in the log's order.
  const nlohmann::json newest = nlohmann::json::parse(log.Ask(false, {{"limit", "2"}}).body);
  ASSERT_EQ(newest.size(), 2u);
  EXPECT_EQ(newest[0]["station"], "<img src=x onerror=alert(1)>");
  EXPECT_EQ(newest[1]["station"], "b");
}

// The program itself: off this machine only with a token, which a request carries as a
// header, or as the cookie its first address sets; every answer forbids inline script.
TEST_F(Dashboard, OffThisMachineEveryRequestCarriesItsToken) {
  const std::string port = std::to_string(test::FreeTcpPort());
  EXPECT_EQ(test::WaitExit(test::StartProcess(KAVEL_DASHBOARD_EXE, {"--db", File("log.db"), "--listen", "0.0.0.0:" + port},
                                              "", File("err")), 5000), 2);
  EXPECT_NE(test::ReadWholeFile(File("err")).find("needs --token-file"), std::string::npos);
  Write("token", "t0ken\n");
  const pid_t server = test::StartProcess(
      KAVEL_DASHBOARD_EXE, {"--db", File("log.db"), "--listen", "0.0.0.0:" + port, "--token-file", File("token")}, File("out"));
  ASSERT_TRUE(test::WaitForText(File("out"), "the line's page is at", 5000));
  httplib::Client client("127.0.0.1", std::stoi(port));
  const struct {
    const char* path;
    httplib::Headers headers;
    int status;
  } cases[] = {
      {"/api/stats", {}, 401},
      {"/api/stats", {{"Authorization", "Bearer wrong"}}, 401},
      {"/api/stats", {{"Authorization", "Bearer t0ken"}}, 503},  // no log yet: said, not hidden
      {"/api/rows", {{"Cookie", "kavel_token=t0ken"}}, 503},
      {"/?token=t0ken", {}, 303},
      {"/", {{"Cookie", "other=1; kavel_token=t0ken"}}, 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto res = client.Get(c.path, c.headers);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    EXPECT_NE(res->get_header_value("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
    if (c.status == 303) { EXPECT_NE(res->get_header_value("Set-Cookie").find("kavel_token=t0ken; HttpOnly"), std::string::npos); }
  }
  kill(server, SIGTERM);
  EXPECT_EQ(test::WaitExit(server, 5000), 0);
}

}  // namespace
}  // namespace kavel
