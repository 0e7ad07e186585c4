// libFuzzer target for the image loader: any bytes as HEX text and as a BIN image, in memory
// and through a file. Checks what must hold whatever the input: no crash, no hang, no read
// out of bounds (the sanitizers), lines free of line ends, BIN records well formed.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "image/HexBinList.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

int HexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kavel::THexBinList;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  THexBinList lines;
  lines.SetText(text);
  std::size_t total = 0;
  for (const std::string& line : lines.Lines()) {
    Check(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
    total += line.size();
  }
  Check(total <= size);

  THexBinList bin;
  if (size <= THexBinList::kMaxBinSize) {
    bin.AddBinRecords(data, size);
    Check(bin.Count() == (size + 15) / 16 + 1);
    Check(bin[bin.Count() - 1] == THexBinList::kEndRecord);
    for (std::size_t i = 0; i + 1 < bin.Count(); ++i) {
      const std::string& r = bin[i];
      unsigned sum = 0;
      for (std::size_t k = 1; k + 1 < r.size(); k += 2) sum += static_cast<unsigned>(HexValue(r[k]) * 16 + HexValue(r[k + 1]));
      Check((sum & 0xFF) == 0);
      Check(r.size() == 11 + 2 * static_cast<std::size_t>(HexValue(r[1]) * 16 + HexValue(r[2])));
    }
  }
  kavel::IsHexFileName(text);

  // The same bytes through a file, read both ways.
  const int fd = memfd_create("image", MFD_CLOEXEC);
  if (fd >= 0) {
    if (write(fd, data, size) == static_cast<ssize_t>(size)) {
      const std::string path = "/proc/self/fd/" + std::to_string(fd);
      THexBinList fromFile;
      fromFile.LoadHexFile(path);
      Check(fromFile.Lines() == lines.Lines());
      if (size <= THexBinList::kMaxBinSize) {
        THexBinList binFromFile;
        binFromFile.LoadBinFile(path);
        Check(binFromFile.Lines() == bin.Lines());
      }
    }
    close(fd);
  }
  return 0;
}
