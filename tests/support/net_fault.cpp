// kavel-test-netfault: a faulty network peer on loopback, for the tests and the benchmarks
// (not installed).
//
//   silent PORT                  accepts connections and never sends a byte; what comes is
//                                read and dropped, and the connection kept until its client
//                                closes it
//   flood PORT                   accepts connections and sends each garbage (every byte value
//                                but "U") as fast as it takes it
//   drop PORT TARGET_PORT EVERY  a proxy to 127.0.0.1:TARGET_PORT: every EVERY-th connection
//                                is accepted, what comes is read and dropped, and it is closed
//                                kDropMs later; the others pass through both ways unchanged
//
// PORT 0 takes a port the system picks. It says "listening on 127.0.0.1:PORT" once it
// listens, and in drop mode "connection N passed" or "connection N dropped" for each; it ends
// on SIGTERM or SIGINT with status 0, on bad arguments with 2. One thread waits in one poll()
// for everything; each connection holds two fixed buffers, and at most kMaxConnections are
// open at once (more wait in the listen backlog), so that its memory stays bounded.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kDropMs = 200;                // a dropped connection lives this long
constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kBufferSize = 16384;  // each way of a connection passed through

enum class TMode { Silent, Flood, Drop };

struct TArgs {
  TMode mode = TMode::Silent;
  int port = 0;
  int target = 0;
  long every = 0;
};

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &c, 1);
}

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int Usage(const std::string& problem) {
  std::fprintf(stderr,
               "kavel-test-netfault: %s\n"
               "Usage: kavel-test-netfault silent PORT | flood PORT | drop PORT TARGET_PORT EVERY\n",
               problem.c_str());
  return 2;
}

std::optional<long> Number(const char* text, long min, long max) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return std::nullopt;
  return v;
}

// Nothing on success; otherwise what is wrong.
std::optional<std::string> ParseArgs(int argc, char** argv, TArgs& a) {
  if (argc < 3) return "give a mode and a port";
  const std::string_view mode = argv[1];
  const int wanted = mode == "drop" ? 5 : 3;
  if (mode == "silent") {
    a.mode = TMode::Silent;
  } else if (mode == "flood") {
    a.mode = TMode::Flood;
  } else if (mode == "drop") {
    a.mode = TMode::Drop;
  } else {
    return "unknown mode '" + std::string(mode) + "'";
  }
  if (argc != wanted) return std::string(mode) + " takes " + std::to_string(wanted - 2) + " numbers";
  const auto port = Number(argv[2], 0, 65535);
  if (!port) return "PORT is 0 to 65535, not '" + std::string(argv[2]) + "'";
  a.port = static_cast<int>(*port);
  if (a.mode != TMode::Drop) return std::nullopt;
  const auto target = Number(argv[3], 1, 65535);
  if (!target) return "TARGET_PORT is 1 to 65535, not '" + std::string(argv[3]) + "'";
  const auto every = Number(argv[4], 1, 1000000);
  if (!every) return "EVERY is 1 to 1000000, not '" + std::string(argv[4]) + "'";
  a.target = static_cast<int>(*target);
  a.every = *every;
  return std::nullopt;
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Bytes on their way one way through the proxy.
struct TBuffer {
  std::array<char, kBufferSize> bytes{};
  std::size_t size = 0;

  std::size_t Room() const { return bytes.size() - size; }
  // Reads what fd has into the room left. False when fd is at its end or failed.
  bool ReadFrom(int fd) {
    const ssize_t n = recv(fd, bytes.data() + size, Room(), 0);
    if (n > 0) size += static_cast<std::size_t>(n);
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
  }
  // Sends what it can to fd. False when fd failed.
  bool WriteTo(int fd) {
    const ssize_t n = send(fd, bytes.data(), size, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    size -= static_cast<std::size_t>(n);
    std::memmove(bytes.data(), bytes.data() + n, size);
    return true;
  }
};

// Reads what fd has and forgets it. False when fd is at its end or failed.
bool Discard(int fd) {
  char sink[4096];
  const ssize_t n = recv(fd, sink, sizeof sink, 0);
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
}

// The flood's garbage: every byte value but "U", over and over, so that a reader waiting for
// a boot loader's "U" never finds one. Long enough that a send from any point of the first
// cycle has kBufferSize bytes to take.
constexpr std::size_t kCycle = 255;
std::vector<char> Garbage() {
  std::vector<char> g;
  while (g.size() < kBufferSize + kCycle)
    for (int b = 0; b < 256; ++b)
      if (b != 'U') g.push_back(static_cast<char>(b));
  return g;
}

struct TConnection {
  int client = -1;
  int target = -1;          // drop: the target's end of a connection passed through
  bool connecting = false;  // the target's end is still being connected
  bool dropping = false;
  std::int64_t closeAtMs = 0;
  std::size_t floodAt = 0;  // where the flood goes on in its cycle
  TBuffer up, down;         // client to target, target to client

  ~TConnection() {
    for (int fd : {client, target})
      if (fd >= 0) close(fd);
  }
};

class TPeer {
 public:
  explicit TPeer(const TArgs& args) : m_args(args), m_garbage(Garbage()) {}
  ~TPeer() {
    if (m_listen >= 0) close(m_listen);
  }

  // Listens; the port listened on, or 0 with a message on standard error.
  int Listen() {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Loopback(m_args.port);
    socklen_t length = sizeof address;
    if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listen, 16) != 0 || getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::fprintf(stderr, "kavel-test-netfault: cannot listen on 127.0.0.1:%d: %s\n", m_args.port,
                   std::strerror(errno));
      return 0;
    }
    return ntohs(address.sin_port);
  }

  // Serves until a byte comes on stopFd.
  void Run(int stopFd) {
    std::vector<pollfd> fds;
    std::vector<TConnection*> owners;  // fds[i]'s connection; null for the stop pipe and the listener
    for (;;) {
      fds.assign({{stopFd, POLLIN, 0}, {m_listen, static_cast<short>(m_connections.size() < kMaxConnections ? POLLIN : 0), 0}});
      owners.assign(2, nullptr);
      std::int64_t nextClose = -1;
      for (TConnection& c : m_connections) {
        fds.push_back({c.client, ClientEvents(c), 0});
        owners.push_back(&c);
        if (c.target >= 0) {
          fds.push_back({c.target, TargetEvents(c), 0});
          owners.push_back(&c);
        }
        if (c.dropping) nextClose = nextClose < 0 ? c.closeAtMs : std::min(nextClose, c.closeAtMs);
      }
      const int timeout = nextClose < 0 ? -1 : static_cast<int>(std::max<std::int64_t>(0, nextClose - NowMs()));
      if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
      if (fds[0].revents) return;
      for (std::size_t i = 2; i < fds.size(); ++i) {
        TConnection& c = *owners[i];
        if (fds[i].revents == 0 || c.client < 0) continue;
        const bool ok = fds[i].fd == c.client ? ServeClient(c, fds[i].revents) : ServeTarget(c, fds[i].revents);
        if (!ok) Close(c);
      }
      const std::int64_t now = NowMs();
      for (TConnection& c : m_connections)
        if (c.dropping && now >= c.closeAtMs) Close(c);
      m_connections.remove_if([](const TConnection& c) { return c.client < 0; });
      if (fds[1].revents & POLLIN) Accept();
    }
  }

 private:
  static bool Passing(const TConnection& c) { return c.target >= 0; }

  short ClientEvents(const TConnection& c) const {
    short events = 0;
    if (!Passing(c) || c.up.Room() > 0) events |= POLLIN;
    if ((m_args.mode == TMode::Flood && !c.dropping) || c.down.size > 0) events |= POLLOUT;
    return events;
  }
  static short TargetEvents(const TConnection& c) {
    if (c.connecting) return POLLOUT;
    short events = 0;
    if (c.down.Room() > 0) events |= POLLIN;
    if (c.up.size > 0) events |= POLLOUT;
    return events;
  }

  void Close(TConnection& c) {
    for (int* fd : {&c.client, &c.target}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }

  void Accept() {
    while (m_connections.size() < kMaxConnections) {
      const int client = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client < 0) return;
      const int on = 1;
      setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      TConnection& c = m_connections.emplace_back();
      c.client = client;
      if (m_args.mode != TMode::Drop) continue;
      ++m_accepted;
      c.dropping = m_accepted % m_args.every == 0;
      std::printf("connection %ld %s\n", m_accepted, c.dropping ? "dropped" : "passed");
      std::fflush(stdout);
      if (c.dropping) {
        c.closeAtMs = NowMs() + kDropMs;
        continue;
      }
      c.target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      setsockopt(c.target, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      const sockaddr_in to = Loopback(m_args.target);
      const int r = connect(c.target, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      c.connecting = r != 0 && errno == EINPROGRESS;
      if (r != 0 && !c.connecting) Close(c);  // nothing there: the client finds its connection closed
    }
  }

  // False when the connection is to go.
  bool ServeClient(TConnection& c, short revents) {
    if (revents & POLLIN) {
      if (!(Passing(c) ? c.up.ReadFrom(c.client) : Discard(c.client))) return false;
    } else if (revents & (POLLHUP | POLLERR)) {
      return false;
    }
    if (revents & POLLOUT) {
      if (!Passing(c)) return Flood(c);
      if (!c.down.WriteTo(c.client)) return false;
    }
    return true;
  }

  bool ServeTarget(TConnection& c, short revents) {
    if (c.connecting) {
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(c.target, SOL_SOCKET, SO_ERROR, &error, &length);
      c.connecting = false;
      return error == 0;
    }
    if (revents & POLLIN) {
      if (!c.down.ReadFrom(c.target)) {
        c.down.WriteTo(c.client);  // the last of it, as far as the client takes it now
        return false;
      }
    } else if (revents & (POLLHUP | POLLERR)) {
      return false;
    }
    if ((revents & POLLOUT) && !c.up.WriteTo(c.target)) return false;
    return true;
  }

  bool Flood(TConnection& c) {
    const ssize_t n = send(c.client, m_garbage.data() + c.floodAt, kBufferSize, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    c.floodAt = (c.floodAt + static_cast<std::size_t>(n)) % kCycle;
    return true;
  }

  TArgs m_args;
  std::vector<char> m_garbage;
  int m_listen = -1;
  std::list<TConnection> m_connections;
  long m_accepted = 0;
};

}  // namespace

int main(int argc, char** argv) {
  TArgs args;
  if (const auto problem = ParseArgs(argc, argv, args)) return Usage(*problem);
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("kavel-test-netfault: pipe");
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  TPeer peer(args);
  const int port = peer.Listen();
  if (port == 0) return 2;
  std::printf("listening on 127.0.0.1:%d\n", port);
  std::fflush(stdout);
  peer.Run(g_signalPipe[0]);
  return 0;
}
