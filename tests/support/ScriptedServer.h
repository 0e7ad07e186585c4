// A scripted port server on loopback, for network ports' tests: it answers each RFC 2217
// COM-PORT-OPTION command as its script says, echoes data or keeps quiet, floods the client,
// or says a refusal and closes. It serves one client, on a thread of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kavel::test {

// Acknowledges as a good server does: the command + 100 and its value.
inline std::string Acknowledge(char command, const std::string& value) {
  return std::string(1, static_cast<char>(command + 100)) + value;
}

struct TServerScript {
  using TAnswer = std::function<std::string(char command, const std::string& value)>;
  TServerScript(TAnswer answer_ = Acknowledge, std::string refusal_ = {}, std::string flood_ = {}, bool echo_ = true)
      : answer(std::move(answer_)), refusal(std::move(refusal_)), flood(std::move(flood_)), echo(echo_) {}
  // The answer to a COM-PORT-OPTION command and its value: the body of the server's
  // sub-negotiation, "" for silence.
  TAnswer answer;
  std::string refusal;  // said as soon as the client comes, then the connection closed
  std::string flood;    // sent over and over, as fast as the client takes it, for kFloodMs
  bool echo;            // data sent back (0xFF doubled again)
};

class TScriptedServer {
 public:
  static constexpr int kFloodMs = 5000;

  explicit TScriptedServer(TServerScript script) : m_script(std::move(script)) {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    listen(m_listen, 1);
    m_thread = std::thread([this] { Serve(); });
  }
  ~TScriptedServer() {
    m_stop = true;
    m_thread.join();
    close(m_listen);
  }
  TScriptedServer(const TScriptedServer&) = delete;
  TScriptedServer& operator=(const TScriptedServer&) = delete;

  // "rfc2217://127.0.0.1:PORT", or with the scheme given ("socket").
  std::string Url(const std::string& scheme = "rfc2217") const {
    return scheme + "://127.0.0.1:" + std::to_string(m_port);
  }
  std::string Received() const {  // what the client sent, as it came
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_received;
  }
  std::atomic<bool> hangUp{false};

 private:
  static constexpr char kIac = '\xFF', kSb = '\xFA', kSe = '\xF0';

  void Serve() {
    pollfd p{m_listen, POLLIN, 0};
    while (!m_stop && poll(&p, 1, 20) == 0) {
    }
    if (m_stop) return;
    const int client = accept(m_listen, nullptr, nullptr);
    if (!m_script.refusal.empty()) {
      // Said, then closed gracefully: what the client sent meanwhile is read first, because
      // closing over unread bytes resets the connection, and the reset may overtake the text.
      send(client, m_script.refusal.data(), m_script.refusal.size(), MSG_NOSIGNAL);
      shutdown(client, SHUT_WR);
      char drain[512];
      for (pollfd c{client, POLLIN, 0}; !m_stop && poll(&c, 1, 2000) > 0 && recv(client, drain, sizeof drain, 0) > 0;) {
      }
      close(client);
      return;
    }
    // The flood goes in whole patterns, so that a send cut short never makes other bytes of it.
    const std::string& flood = m_script.flood;
    std::string block;
    while (!flood.empty() && block.size() < 65536) block += flood;
    std::size_t flooded = 0;
    const auto floodUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFloodMs);
    std::string pending;
    while (!m_stop && !hangUp) {
      const bool flooding = !flood.empty() && std::chrono::steady_clock::now() < floodUntil;
      pollfd c{client, static_cast<short>(POLLIN | (flooding ? POLLOUT : 0)), 0};
      if (poll(&c, 1, 20) <= 0) continue;
      if (flooding && (c.revents & POLLOUT)) {
        const std::size_t at = flooded % flood.size();
        const ssize_t n = send(client, block.data() + at, block.size() - flood.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN) break;
        if (n > 0) flooded += static_cast<std::size_t>(n);
      }
      if (!(c.revents & POLLIN)) continue;
      char buffer[512];
      const ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_received.append(buffer, static_cast<std::size_t>(n));
      }
      pending.append(buffer, static_cast<std::size_t>(n));
      std::string reply;
      // Negotiation is taken in, sub-negotiations of option 44 answered, data echoed (an 0xFF
      // doubled again on the way back).
      std::size_t at = 0;
      while (at < pending.size()) {
        if (pending[at] != kIac) {
          if (m_script.echo) reply += pending[at];
          ++at;
          continue;
        }
        if (at + 1 >= pending.size()) break;
        const char what = pending[at + 1];
        if (what == kIac) {
          if (m_script.echo) reply += std::string{kIac, kIac};
          at += 2;
        } else if (what == kSb) {
          const std::size_t end = pending.find(std::string{kIac, kSe}, at);
          if (end == std::string::npos) break;
          const std::string body = pending.substr(at + 3, end - at - 3);
          const std::string answer = pending[at + 2] == 44 ? m_script.answer(body[0], body.substr(1)) : "";
          if (!answer.empty()) reply += std::string{kIac, kSb, 44} + answer + std::string{kIac, kSe};
          at = end + 2;
        } else if (static_cast<unsigned char>(what) >= 0xFB) {
          if (at + 2 >= pending.size()) break;
          at += 3;
        } else {
          at += 2;
        }
      }
      pending.erase(0, at);
      send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    close(client);
  }

  TServerScript m_script;
  int m_listen = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_mutex;
  std::string m_received;
  std::thread m_thread;
};

}  // namespace kavel::test
