// Figures for the image loader: a 64 KB BIN image (target: under 2 ms) and a 1 MB HEX file
// (target: under 30 ms), each loaded from a file in /tmp, best and median of 20 loads.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image/CheckedImage.h"

using namespace kavel;

namespace {

void Report(const char* what, const std::string& file) {
  std::vector<double> ms;
  std::size_t count = 0;
  for (int i = 0; i < 20; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    const THexBinList list = LoadCheckedImage(file, std::nullopt);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    count = list.Count();
  }
  std::sort(ms.begin(), ms.end());
  std::printf("  %s: %zu records, best %.3f ms, median %.3f ms\n", what, count, ms.front(), ms[ms.size() / 2]);
}

}  // namespace

int main() {
  char dirTemplate[] = "/tmp/kavel-bench-XXXXXX";
  const char* dir = mkdtemp(dirTemplate);
  if (!dir) return 1;
  const std::string bin = std::string(dir) + "/image.bin", hex = std::string(dir) + "/image.hex";
  {
    std::ofstream out(bin, std::ios::binary);
    for (int i = 0; i < 65536; ++i) out.put(static_cast<char>(i * 31 + 7));
  }
  {
    // 1 MB of 16-byte data records (43 characters and CR LF each): the same 64 KB again and
    // again, which the loader takes, as each byte is the same every time, then the end record.
    std::ofstream out(hex, std::ios::binary);
    THexBinList records;
    std::vector<std::uint8_t> bytes(65536);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 13);
    records.AddBin(bytes.data(), bytes.size());
    std::size_t written = 0;
    while (written < (1u << 20))
      for (std::size_t i = 0; i + 1 < records.Count() && written < (1u << 20); ++i) {
        out << records[i] << "\r\n";
        written += records[i].size() + 2;
      }
    out << THexBinList::kEndRecord << "\r\n";
  }
  std::printf("Loading images\n");
  Report("64 KB BIN", bin);
  Report("1 MB HEX ", hex);
  std::filesystem::remove_all(dir);
  return 0;
}
