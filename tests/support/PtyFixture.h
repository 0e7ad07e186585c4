// A pseudo-terminal registered as a COM name in a port directory of the test's own: the test
// holds the master side and plays the far end of the line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace kavel::test {

// A fresh temporary directory, removed with the object.
class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kavel-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (made) m_path = made;
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// Points KAVEL_ISP_PORT_DIR at a directory of its own for the life of the object.
class TPortDirScope {
 public:
  // The station's log of the command lines a test runs goes into the folder too.
  TPortDirScope() {
    setenv("KAVEL_ISP_PORT_DIR", m_dir.Path().c_str(), 1);
    setenv("XDG_DATA_HOME", m_dir.Path().c_str(), 1);
  }
  ~TPortDirScope() {
    unsetenv("KAVEL_ISP_PORT_DIR");
    unsetenv("XDG_DATA_HOME");
  }
  const std::string& Path() const { return m_dir.Path(); }

 private:
  TTempDir m_dir;
};

class TPtyPair {
 public:
  // Creates the pty and registers its slave as comName in dir.
  TPtyPair(const std::string& dir, const std::string& comName) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) return;
    slavePath = name;
    // Holding a slave descriptor keeps the master from seeing a hang-up when the port under
    // test is closed.
    slaveKeeper = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    std::filesystem::create_symlink(slavePath, dir + "/" + comName);
  }
  ~TPtyPair() { HangUp(); }
  TPtyPair(const TPtyPair&) = delete;
  TPtyPair& operator=(const TPtyPair&) = delete;

  // Closes both our ends: the port under test sees the line drop.
  void HangUp() {
    if (slaveKeeper >= 0) close(slaveKeeper);
    if (master >= 0) close(master);
    slaveKeeper = master = -1;
  }
  void Send(const std::string& bytes) const {
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads from the master until count bytes came or timeoutMs passed.
  std::string Receive(std::size_t count, int timeoutMs = 1000) const {
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{master, POLLIN, 0};
      poll(&p, 1, 20);
      char buffer[256];
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

  int master = -1;
  int slaveKeeper = -1;
  std::string slavePath;
};

// The file's bytes; empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return out;
}

// Milliseconds of steady time taken by f.
template <class F>
long long ElapsedMs(F&& f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace kavel::test
