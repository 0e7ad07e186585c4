// Running the program's executables from tests: start one with arguments (output to files
// or /dev/null), wait for it with a limit, and wait for a simulator to claim its COM entry.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "link/PortClaim.h"
#include "tests/support/PtyFixture.h"

namespace kavel::test {

// Where a started process's standard descriptors lead: kNull for /dev/null, kClosed for
// closed, else that descriptor of the test (left open in the test).
struct TStdio {
  static constexpr int kNull = -2, kClosed = -1;
  int in = kNull, out = kNull, err = kNull;
  bool ignoreChildSignals = false;  // start it with SIGCHLD ignored, as some shells leave it
  long fileSizeLimit = -1;          // bytes a file it writes may reach (RLIMIT_FSIZE); -1: none
  std::vector<std::string> env;     // "NAME=VALUE" set for it, over the test's environment
};

// Starts exe with args and the standard descriptors of io. Returns the process.
inline pid_t StartProcessWith(const std::string& exe, std::vector<std::string> args, const TStdio& io) {
  pid_t child = fork();
  if (child == 0) {
    const int devnull = open("/dev/null", O_RDWR);
    const int fds[3] = {io.in, io.out, io.err};
    int moved[3];
    for (int i = 0; i < 3; ++i) moved[i] = fds[i] >= 0 ? dup(fds[i]) : fds[i];  // out of the way of 0-2
    for (int i = 0; i < 3; ++i) {
      if (moved[i] == TStdio::kClosed) {
        close(i);
      } else {
        dup2(moved[i] == TStdio::kNull ? devnull : moved[i], i);
      }
    }
    if (io.ignoreChildSignals) signal(SIGCHLD, SIG_IGN);
    for (const std::string& e : io.env) {
      const std::size_t eq = e.find('=');
      setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    if (io.fileSizeLimit >= 0) {
      const rlimit limit{static_cast<rlim_t>(io.fileSizeLimit), static_cast<rlim_t>(io.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  return child;
}

// Starts exe with args; stdin from /dev/null, stdout and stderr to the files (or /dev/null
// when empty). Returns the process.
inline pid_t StartProcess(const std::string& exe, std::vector<std::string> args, const std::string& out = {},
                          const std::string& err = {}, std::vector<std::string> env = {}) {
  auto fileOrNull = [](const std::string& path) {
    return path.empty() ? TStdio::kNull : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  };
  TStdio io;
  io.out = fileOrNull(out);
  io.err = fileOrNull(err);
  io.env = std::move(env);
  const pid_t child = StartProcessWith(exe, std::move(args), io);
  for (int fd : {io.out, io.err})
    if (fd >= 0) close(fd);
  return child;
}

// Waits up to ms for the process to end; its exit status, or -1 (then it is killed) when it
// did not end in time or ended by a signal.
inline int WaitExit(pid_t child, int ms) {
  int status = 0;
  for (int waited = 0; waited < ms; waited += 10) {
    if (waitpid(child, &status, WNOHANG) == child)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

// Waits up to ms until the file holds text; true when it does.
inline bool WaitForText(const std::string& file, const std::string& text, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (ReadWholeFile(file).find(text) != std::string::npos) return true;
    usleep(10000);
  }
  return false;
}

// Waits until the simulator of process sim has claimed the entry and placed it.
inline bool WaitForClaim(const std::string& entry, pid_t sim) {
  const std::string mine = "pid=" + std::to_string(sim) + "\n";
  for (int i = 0; i < 300; ++i) {
    if (ReadWholeFile(entry + kClaimSuffix).rfind(mine, 0) == 0 && std::filesystem::is_symlink(entry))
      return true;
    usleep(10000);
  }
  return false;
}

// A TCP port on loopback that nothing listens on just now.
inline int FreeTcpPort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

// Waits up to ms until something accepts connections on the loopback port (and closes the
// probe); true when it does.
inline bool WaitForListening(int port, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool up = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    if (up) return true;
    usleep(20000);
  }
  return false;
}

}  // namespace kavel::test
