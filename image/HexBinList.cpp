#include "image/HexBinList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "image/HexText.h"

namespace kavel {
namespace {

std::string SystemText(int err) { return std::strerror(err); }

// What a file that is not a regular one is, in words.
const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "something else";
}

}  // namespace

EFOpenError::EFOpenError(const std::string& fileName, int err)
    : EImageError("Cannot open file \"" + fileName + "\". " + SystemText(err)) {}

EReadError::EReadError(const std::string& fileName, int err)
    : EImageError("Cannot read file \"" + fileName + "\". " + SystemText(err)) {}

EImageTooLarge::EImageTooLarge(const std::string& fileName, std::uint64_t size, std::uint64_t limit)
    : EImageError(limit == THexBinList::kMaxBinSize
                      ? "The BIN file \"" + fileName + "\" holds " + std::to_string(size) +
                            " bytes; the chip's code space holds 65536"
                      : "The HEX file \"" + fileName + "\" holds more than " +
                            std::to_string(limit) + " bytes; no image of a 64 KB chip is that large") {}

std::string ReadImageFile(const std::string& fileName, std::uint64_t limit) {
  // Not blocking: opening a FIFO would wait for a writer for ever.
  const int fd = open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw EFOpenError(fileName, errno);
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat st {};
  if (fstat(fd, &st) != 0) throw EReadError(fileName, errno);
  if (!S_ISREG(st.st_mode)) {
    throw EImageError("Cannot use \"" + fileName + "\": it is " + KindOf(st.st_mode) +
                      ", not a regular file");
  }
  if (static_cast<std::uint64_t>(st.st_size) > limit)
    throw EImageTooLarge(fileName, static_cast<std::uint64_t>(st.st_size), limit);
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) throw EReadError(fileName, errno);
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
    // A file that grows while it is read is held to the same bound.
    if (bytes.size() > limit) throw EImageTooLarge(fileName, bytes.size(), limit);
  }
  return bytes;
}

void THexBinList::Add(std::size_t line, std::uint8_t type, std::uint16_t address,
                      std::vector<std::uint8_t> data) {
  TImageRecord r{line, type, address, std::move(data), {}};
  r.text.reserve(11 + 2 * r.data.size());
  r.text += ':';
  unsigned sum = static_cast<unsigned>(r.data.size()) + (address >> 8) + (address & 0xFFu) + type;
  AppendHexByte(r.text, static_cast<std::uint8_t>(r.data.size()));
  AppendHexByte(r.text, static_cast<std::uint8_t>(address >> 8));
  AppendHexByte(r.text, static_cast<std::uint8_t>(address & 0xFFu));
  AppendHexByte(r.text, type);
  for (std::uint8_t b : r.data) {
    AppendHexByte(r.text, b);
    sum += b;
  }
  AppendHexByte(r.text, IntelHexChecksum(sum));
  m_records.push_back(std::move(r));
}

void THexBinList::AddBin(const std::uint8_t* bytes, std::size_t size) {
  m_records.reserve(m_records.size() + size / kBinRecordBytes + 2);
  for (std::size_t offset = 0; offset < size; offset += kBinRecordBytes) {
    const std::size_t n = std::min(size - offset, kBinRecordBytes);
    Add(0, kDataRecord, static_cast<std::uint16_t>(offset & 0xFFFFu),
        std::vector<std::uint8_t>(bytes + offset, bytes + offset + n));
  }
  Add(0, kEndOfFileRecord, 0, {});
}

bool THexBinList::HoldsData() const {
  return std::any_of(m_records.begin(), m_records.end(),
                     [](const TImageRecord& r) { return r.IsData() && !r.data.empty(); });
}

std::size_t THexBinList::DataBytes() const {
  std::size_t bytes = 0;
  for (const TImageRecord& r : m_records)
    if (r.IsData()) bytes += r.data.size();
  return bytes;
}

std::bitset<16> THexBinList::Blocks() const {
  std::bitset<16> blocks;
  for (const TImageRecord& r : m_records) {
    if (!r.IsData() || r.data.empty()) continue;
    for (unsigned b = r.address / 4096u; b <= r.LastAddress() / 4096u; ++b) blocks.set(b);
  }
  return blocks;
}

}  // namespace kavel
