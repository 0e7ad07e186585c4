// libFuzzer target for the image loader: any bytes as HEX text and as a BIN image, in memory
// and through a file. Checks what must hold whatever the input: no crash, no hang, no read
// out of bounds (the sanitizers); an image taken holds only data within 64 KB, its end record
// last and the 6-clock command, each record's text well formed; BIN records well formed.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "image/CheckedImage.h"

namespace {

using kavel::THexBinList;

void Check(bool condition) {
  if (!condition) std::abort();
}

int HexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

// Every record's text sums to 0 and is as long as its count says.
void CheckTexts(const THexBinList& list) {
  for (const kavel::TImageRecord& r : list.Records()) {
    unsigned sum = 0;
    for (std::size_t k = 1; k + 1 < r.text.size(); k += 2) sum += static_cast<unsigned>(HexValue(r.text[k]) * 16 + HexValue(r.text[k + 1]));
    Check((sum & 0xFF) == 0);
    Check(r.text.size() == 11 + 2 * r.data.size());
  }
}

std::optional<THexBinList> Checked(std::string_view text) {
  try {
    return kavel::CheckedHexRecords("fuzz", text);
  } catch (const kavel::EImageError&) {
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::optional<THexBinList> hex = Checked(text);
  if (hex) {
    Check(hex->Count() > 0 && (*hex)[hex->Count() - 1] == THexBinList::kEndRecord);
    for (const kavel::TImageRecord& r : hex->Records()) {
      if (r.IsData()) {
        Check(!r.data.empty() && r.address + r.data.size() <= 0x10000);
      } else {
        Check(r.text == THexBinList::kEndRecord || r.text == ":0300000306028072");
      }
    }
    CheckTexts(*hex);
  }

  THexBinList bin;
  if (size <= THexBinList::kMaxBinSize) {
    bin.AddBin(data, size);
    Check(bin.Count() == (size + 15) / 16 + 1);
    Check(bin[bin.Count() - 1] == THexBinList::kEndRecord);
    CheckTexts(bin);
  }
  kavel::FormatByName(text);

  // The same bytes through a file, as the window takes a name that tells nothing.
  const int fd = memfd_create("image", MFD_CLOEXEC);
  if (fd >= 0) {
    if (write(fd, data, size) == static_cast<ssize_t>(size)) {
      const std::string path = "/proc/self/fd/" + std::to_string(fd);
      try {
        const THexBinList fromFile = kavel::LoadCheckedImage(path, std::nullopt, kavel::kWindowImageRules);
        CheckTexts(fromFile);
        if (hex) Check(fromFile.Count() == hex->Count() || fromFile.Count() == bin.Count());
      } catch (const kavel::EImageError&) {
      }
    }
    close(fd);
  }
  return 0;
}
