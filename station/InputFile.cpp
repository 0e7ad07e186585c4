#include "station/InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kavel::station {
namespace {

// What a file that is not a regular one is, in words.
const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "no regular file";
}

// limit in words: "1 MB", "64 MB", "512 bytes".
std::string SizeWords(std::size_t limit) {
  constexpr std::size_t kMb = std::size_t{1} << 20;
  if (limit >= kMb && limit % kMb == 0) return std::to_string(limit / kMb) + " MB";
  return std::to_string(limit) + " bytes";
}

}  // namespace

std::string ReadInputFile(const std::string& path, std::size_t limit, std::string& bytes) {
  bytes.clear();
  // Not blocking: opening a FIFO would wait for a writer for ever.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::string("cannot be read: ") + std::strerror(errno);
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat st {};
  if (fstat(fd, &st) != 0) return std::string("cannot be read: ") + std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return std::string("is ") + KindOf(st.st_mode) + ", not a regular file";
  const std::string tooLarge = "holds more than " + SizeWords(limit);
  if (static_cast<std::uintmax_t>(st.st_size) > limit) return tooLarge;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return std::string("cannot be read: ") + std::strerror(errno);
    if (n == 0) return {};
    bytes.append(buffer, static_cast<std::size_t>(n));
    // A file that grows while it is read is held to the same bound.
    if (bytes.size() > limit) {
      bytes.clear();
      return tooLarge;
    }
  }
}

}  // namespace kavel::station
