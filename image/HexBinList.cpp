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

void THexBinList::SetText(std::string_view text) {
  m_lines.clear();
  std::size_t p = 0;
  const std::size_t end = text.size();
  while (p < end && text[p] != '\0') {
    const std::size_t start = p;
    while (p < end && text[p] != '\0' && text[p] != '\n' && text[p] != '\r') ++p;
    m_lines.emplace_back(text.substr(start, p - start));
    if (p < end && text[p] == '\r') ++p;
    if (p < end && text[p] == '\n') ++p;
  }
}

void THexBinList::AddBinRecords(const std::uint8_t* bytes, std::size_t size) {
  m_lines.reserve(m_lines.size() + size / kBinRecordBytes + 2);
  for (std::size_t offset = 0; offset < size; offset += kBinRecordBytes) {
    const std::size_t n = size - offset < kBinRecordBytes ? size - offset : kBinRecordBytes;
    const unsigned address = static_cast<unsigned>(offset & 0xFFFFu);
    std::string record;
    record.reserve(11 + 2 * n);
    record += ':';
    unsigned sum = static_cast<unsigned>(n) + (address >> 8) + (address & 0xFFu);
    AppendHexByte(record, static_cast<std::uint8_t>(n));
    AppendHexByte(record, static_cast<std::uint8_t>(address >> 8));
    AppendHexByte(record, static_cast<std::uint8_t>(address & 0xFFu));
    AppendHexByte(record, 0x00);  // data record
    for (std::size_t i = 0; i < n; ++i) {
      AppendHexByte(record, bytes[offset + i]);
      sum += bytes[offset + i];
    }
    AppendHexByte(record, IntelHexChecksum(sum));
    m_lines.push_back(std::move(record));
  }
  m_lines.emplace_back(kEndRecord);
}

void THexBinList::LoadHexFile(const std::string& fileName) {
  SetText(ReadImageFile(fileName, kMaxHexSize));
}

void THexBinList::LoadBinFile(const std::string& fileName) {
  const std::string bytes = ReadImageFile(fileName, kMaxBinSize);
  AddBinRecords(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

bool IsHexFileName(std::string_view fileName) {
  const std::size_t slash = fileName.rfind('/');
  const std::size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
    return false;
  const std::string_view ext = fileName.substr(dot);
  if (ext.size() != 4) return false;
  static constexpr char kHex[] = ".HEX";
  for (std::size_t i = 0; i < 4; ++i) {
    char c = ext[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kHex[i]) return false;
  }
  return true;
}

bool HoldsData(const THexBinList& list) {
  return std::any_of(list.Lines().begin(), list.Lines().end(), [](const std::string& line) {
    const THexRecord r = ParseHexRecord(line);
    return r.problem.empty() && r.bytes[3] == 0x00 && r.bytes[0] > 0;
  });
}

void LoadImageFile(THexBinList& list, const std::string& fileName) {
  if (IsHexFileName(fileName)) {
    list.LoadHexFile(fileName);
  } else {
    list.LoadBinFile(fileName);
  }
}

}  // namespace kavel
