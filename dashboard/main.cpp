// kavel-isp-dashboard --db DB [--listen HOST:PORT] [--token-file FILE]: the line's page.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>
#include <httplib.h>

#include "dashboard/Dashboard.h"
#include "version/Version.h"

namespace {

using kavel::dashboard::TAnswer;

// Debian's Chart.js (libjs-chart.js): the system's copy, never a CDN's.
constexpr const char* kChartJs = "/usr/share/javascript/chart.js/chart.min.js";
// Nothing but the page's own files runs, and nothing of the log is ever markup.
constexpr const char* kPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'self'";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return in ? bytes.str() : std::string();
}

void Serve(httplib::Response& res, const TAnswer& answer) {
  res.status = answer.status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(answer.body, "application/json");
}

kavel::dashboard::TQuery Query(const httplib::Request& req) {
  kavel::dashboard::TQuery query;
  for (const auto& [key, value] : req.params) query.emplace_back(key, value);
  return query;
}


// The token requests must carry, from its file; none on loopback without one. False, said on
// standard error, when the file holds none, or when a host off this machine would have none.
bool TokenFor(const std::string& tokenFile, const std::string& host, std::string& token) {
  if (!tokenFile.empty()) {
    token = ReadFile(tokenFile);
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) token.pop_back();
    if (token.empty()) {
      std::fprintf(stderr, "kavel-isp-dashboard: %s holds no token (or cannot be read)\n", tokenFile.c_str());
      return false;
    }
  } else if (!kavel::dashboard::IsLoopback(host)) {
    std::fprintf(stderr, "kavel-isp-dashboard: listening on %s, off this machine, needs --token-file\n", host.c_str());
    return false;
  }
  return true;
}

// What every request passes first: its answer's encoding and headers, and its token (token:
// "" for none asked; it must outlive the server).
void Guard(httplib::Server& server, const std::string& token) {
  server.set_pre_routing_handler([&token](const httplib::Request& req, httplib::Response& res) {
    // Answers go out gzipped, never with Brotli: the library compresses at Brotli's best,
    // which takes 0.4 s for a page of rows that gzip packs in 2 ms. (The request is the
    // server's own, handed over as const: offering gzip alone is the one way to choose.)
    const std::string accepted = req.get_header_value("Accept-Encoding");
    auto& offered = const_cast<httplib::Request&>(req).headers;  // NOLINT(cppcoreguidelines-pro-type-const-cast)
    offered.erase("Accept-Encoding");
    if (accepted.find("gzip") != std::string::npos) offered.emplace("Accept-Encoding", "gzip");
    res.set_header("Content-Security-Policy", kPolicy);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    if (token.empty()) return httplib::Server::HandlerResponse::Unhandled;
    // The token as a header, as the cookie the page's first address set, or in that address.
    const std::string bearer = req.get_header_value("Authorization");
    std::string cookie = req.get_header_value("Cookie");
    const std::size_t at = cookie.find("kavel_token=");
    cookie = at == std::string::npos ? "" : cookie.substr(at + 12, cookie.find(';', at) - at - 12);
    if (kavel::dashboard::SameSecret(bearer, "Bearer " + token) || kavel::dashboard::SameSecret(cookie, token))
      return httplib::Server::HandlerResponse::Unhandled;
    if (req.path == "/" && kavel::dashboard::SameSecret(req.get_param_value("token"), token)) {
      res.set_header("Set-Cookie", "kavel_token=" + token + "; HttpOnly; SameSite=Strict; Path=/");
      res.set_redirect("/", 303);
      return httplib::Server::HandlerResponse::Handled;
    }
    res.status = 401;
    res.set_content("This page needs its token: open it as /?token=...\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });
}

// The page's files, its questions to the log (which must outlive the server), and the
// server's limits.
void Route(httplib::Server& server, kavel::dashboard::TLog& log) {
  const auto file = [](const char* name, const char* type) {
    return [name, type](const httplib::Request&, httplib::Response& res) {
      const std::string_view bytes = kavel::dashboard::PageFile(name);
      res.set_content(std::string(bytes), type);
    };
  };
  server.Get("/", file("index.html", "text/html; charset=utf-8"));
  server.Get("/app.js", file("app.js", "text/javascript; charset=utf-8"));
  server.Get("/app.css", file("app.css", "text/css; charset=utf-8"));
  // Read once: every browser asks for it, and it does not change while the page is served.
  server.Get("/chart.js", [chart = ReadFile(kChartJs)](const httplib::Request&, httplib::Response& res) {
    const std::string& bytes = chart;
    if (bytes.empty()) {
      res.status = 404;
      res.set_content(std::string("Chart.js is missing: install libjs-chart.js (") + kChartJs + ")\n", "text/plain");
      return;
    }
    res.set_header("Cache-Control", "max-age=3600");
    res.set_content(bytes, "text/javascript; charset=utf-8");
  });
  server.Get("/api/rows", [&log](const httplib::Request& req, httplib::Response& res) { Serve(res, log.Ask(false, Query(req))); });
  server.Get("/api/stats", [&log](const httplib::Request& req, httplib::Response& res) { Serve(res, log.Ask(true, Query(req))); });
  // Queries are short, and a client that never finishes its request is let go.
  server.set_read_timeout(10, 0);
  server.set_write_timeout(10, 0);
  server.set_payload_max_length(64 * 1024);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("The line's page: every station of a production line live in a browser, read-only over the station "
               "log (SQLite or PostgreSQL). See kavel-isp-dashboard(1).",
               "kavel-isp-dashboard");
  std::string db, listen = "127.0.0.1:8480", tokenFile;
  bool open = false;
  app.add_option("--db", db, "the station log: an SQLite file, or a PostgreSQL URL or key/value string");
  app.add_flag("--open", open, "open the page of the one listening at --listen in the desktop's browser, and end");
  app.add_option("--listen", listen, "HOST:PORT to listen on (default 127.0.0.1:8480)");
  app.add_option("--token-file", tokenFile, "a file holding the token requests must carry (needed off loopback)");
  app.set_version_flag("-V,--version", std::string("kavel-isp-dashboard ") + KAVEL_VERSION);
  CLI11_PARSE(app, argc, argv);
  std::string host;
  int port = 0;
  if (!kavel::dashboard::SplitListen(listen, host, port)) {
    std::fprintf(stderr, "kavel-isp-dashboard: --listen needs HOST:PORT (an IPv6 host in brackets), not %s\n", listen.c_str());
    return 2;
  }
  if (open) {  // the desktop entry's: the service's page, in the browser
    const std::string url = "http://" + listen + "/";
    execlp("xdg-open", "xdg-open", url.c_str(), static_cast<char*>(nullptr));
    std::fprintf(stderr, "kavel-isp-dashboard: cannot start xdg-open for %s: %s\n", url.c_str(), std::strerror(errno));
    return 3;
  }
  if (db.empty()) {
    std::fputs("kavel-isp-dashboard: --db is required\nRun with --help for more information.\n", stderr);
    return 2;
  }
  std::string token;
  if (!TokenFor(tokenFile, host, token)) return 2;

  kavel::dashboard::TLog log(db);
  httplib::Server server;
  Guard(server, token);
  Route(server, log);

  // SIGTERM and SIGINT end it, from a thread of their own.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::thread stopper([&server, stops] {
    int got = 0;
    sigwait(&stops, &got);
    server.stop();
  });
  if (!server.bind_to_port(host, port)) {
    std::fprintf(stderr, "kavel-isp-dashboard: cannot listen on %s\n", listen.c_str());
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return 3;
  }
  std::printf("kavel-isp-dashboard: the line's page is at http://%s/\n", listen.c_str());
  std::fflush(stdout);
  server.listen_after_bind();
  if (stopper.joinable()) {
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
  }
  return 0;
}
