#include "image/HexBinList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "image/HexText.h"

namespace kavel {
namespace {

std::string SystemText(int err) { return std::strerror(err); }

// The whole file. Throws EFOpenError, EReadError; with a limit, EImageTooLarge when the file
// holds more than limit bytes (checked before reading, and again while reading).
std::string ReadFile(const std::string& fileName, std::uint64_t limit = 0) {
  const int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw EFOpenError(fileName, errno);
  struct stat st {};
  if (limit > 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::uint64_t>(st.st_size) > limit) {
    close(fd);
    throw EImageTooLarge(fileName, static_cast<std::uint64_t>(st.st_size));
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      close(fd);
      throw EReadError(fileName, err);
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
    if (limit > 0 && bytes.size() > limit) {
      close(fd);
      throw EImageTooLarge(fileName, bytes.size());
    }
  }
  close(fd);
  return bytes;
}

}  // namespace

EFOpenError::EFOpenError(const std::string& fileName, int err)
    : std::runtime_error("Cannot open file \"" + fileName + "\". " + SystemText(err)) {}

EReadError::EReadError(const std::string& fileName, int err)
    : std::runtime_error("Cannot read file \"" + fileName + "\". " + SystemText(err)) {}

EImageTooLarge::EImageTooLarge(const std::string& fileName, std::uint64_t size)
    : std::runtime_error("The BIN file \"" + fileName + "\" holds " + std::to_string(size) +
                         " bytes; the chip's code space holds 65536") {}

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

void THexBinList::LoadHexFile(const std::string& fileName) { SetText(ReadFile(fileName)); }

void THexBinList::LoadBinFile(const std::string& fileName) {
  const std::string bytes = ReadFile(fileName, kMaxBinSize);
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

void LoadImageFile(THexBinList& list, const std::string& fileName) {
  if (IsHexFileName(fileName)) {
    list.LoadHexFile(fileName);
  } else {
    list.LoadBinFile(fileName);
  }
}

}  // namespace kavel
