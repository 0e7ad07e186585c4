// The image loader: what a file becomes (the records sent) or why it is refused, for the
// command line's rules and the window's; BIN records; files that cannot be read.
#include <fstream>

#include <gtest/gtest.h>

#include "image/CheckedImage.h"
#include "tests/support/PtyFixture.h"

namespace kavel {
namespace {

using Texts = std::vector<std::string>;

std::string WriteFile(const test::TTempDir& dir, const std::string& name, const std::string& bytes) {
  const std::string path = dir.Path() + "/" + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  return path;
}

// The records sent, or (refused) the words of the refusal.
struct TOutcome {
  Texts sent;
  std::string refused;
};
TOutcome Sends(Texts sent) { return {std::move(sent), {}}; }
TOutcome Refuses(std::string why) { return {{}, std::move(why)}; }

TOutcome Load(const std::string& path, TImageRules rules) {
  try {
    const THexBinList list = LoadCheckedImage(path, std::nullopt, rules);
    Texts sent;
    for (std::size_t i = 0; i < list.Count(); ++i) sent.push_back(list[i]);
    return Sends(sent);
  } catch (const EImageError& e) {
    return Refuses(e.what());
  }
}

const std::string kEnd = ":00000001FF";
const std::string kData = ":0100000042BD";      // 42 at 0000
const std::string kSixClock = ":0300000306028072";

TEST(ImageRules, EachRecordIsSentLeftOutOrRefusedNamingItsLine) {
  struct Row {
    const char* name;
    std::string file;
    std::string bytes;
    TOutcome cli;
    std::optional<TOutcome> window = std::nullopt;  // nothing: as the command line
  };
  const Row rows[] = {
      // What is taken, and what is sent of it.
      {"data and the end", "a.hex", kData + "\n" + kEnd + "\n", Sends({kData, kEnd})},
      {"lower case, blanks around, blank lines, CR LF: sent rebuilt", "a.HEX",
       "\r\n  :0100000042bd \t\r\n\r\n:00000001ff\r\n\r\n", Sends({kData, kEnd})},
      {"linker headers and start records: taken, not sent", "blink.ihx",
       ":020000040000FA\n:020000020000FC\n" + kData + "\n:0400000300000000F9\n:04000005000000CD2A\n" + kEnd,
       Sends({kData, kEnd})},
      {"the 6-clock command goes as it stands", "a.hex", kData + "\n" + kSixClock + "\n" + kEnd,
       Sends({kData, kSixClock, kEnd})},
      {"identical duplicates and a record without bytes", "a.hex",
       kData + "\n:020001000203F8\n" + kData + "\n:0000000000\n" + kEnd, Sends({kData, ":020001000203F8", kData, kEnd})},
      {"the last byte of the flash", "a.hex", ":08FFF8002222222222222222F1\n" + kEnd,
       Sends({":08FFF8002222222222222222F1", kEnd})},
      // Records the chip would carry out.
      {"the status byte", "a.hex", kData + "\n:030000030600559F\n" + kEnd,
       Refuses("line 2: :030000030600559F is a command for the chip, not image data: it writes the status byte")},
      {"the boot vector", "a.hex", ":03000003060100F3\n" + kEnd, Refuses("line 1: :03000003060100F3 is a command for the chip, not image data: it sets the boot vector")},
      {"a security bit", "a.hex", kData + "\r:020000030500F6\r" + kEnd, Refuses("line 2: :020000030500F6 is a command for the chip, not image data: it sets a security bit")},
      {"the whole-chip erase", "a.hex", ":0100000307F5\n" + kEnd, Refuses("line 1: :0100000307F5 is a command for the chip, not image data: it erases the whole chip")},
      {"a blank check", "a.hex", ":0500000400003FFF01B8\n" + kEnd, Refuses("it starts a blank check")},
      {"a read", "a.hex", ":020000050700F2\n" + kEnd, Refuses("it reads the security bits")},
      {"the set-clock record", "a.hex", ":0100000210ED\n" + kEnd, Refuses("it sets the boot loader's clock")},
      {"a type no image holds", "a.hex", ":020000060000F8\n" + kEnd, Refuses("it is of type 06")},
      {"an end record with data", "a.hex", kData + "\n:0100000100FE", Refuses("line 2: :0100000100FE is a command for the chip")},
      // Data that would land elsewhere than it says, or collide.
      {"an upper linear address", "a.hex", ":020000040001F9\n" + kData + "\n" + kEnd,
       Refuses("line 1: data above 64 KB: an extended linear address of 0001 moves what follows to 10000")},
      {"an upper segment address", "a.hex", ":020000021000EC\n" + kEnd, Refuses("line 1: data above 64 KB: an extended segment address")},
      {"a record past FFFF", "a.hex", kData + "\n:10FFF80011111111111111111111111111111111E9\n" + kEnd,
       Refuses("line 2: its data runs past FFFF (FFF8 and 16 bytes)")},
      {"overlapping records that differ", "a.hex", ":020000000102FB\n\n:020001000304F6\n" + kEnd,
       Refuses("line 3: puts 03 at 0001, where line 1 puts 02")},
      // A file cut short, or not an image.
      {"a NUL in the middle", "a.hex", kData + "\n" + std::string("\0", 1) + kData + "\n" + kEnd,
       Refuses("line 2: holds the byte 0x00")},
      {"no end record", "a.hex", kData + "\n", Refuses("has no end-of-file record")},
      {"something after the end", "a.hex", kData + "\n" + kEnd + "\n" + kData, Refuses("line 3: a record after the end-of-file record of line 2")},
      {"a bad checksum", "a.hex", ":0100000042BE\n" + kEnd, Refuses("line 1: not a HEX record (its checksum is wrong)")},
      {"an empty HEX file", "a.hex", "", Refuses("is empty: it holds no HEX record")},
      {"the end alone", "a.hex", kEnd, Refuses("holds no data to program"), Sends({kEnd})},
      {"an empty BIN file", "a.bin", "", Refuses("is empty: it holds no data to program"), Sends({kEnd})},
      // Names that tell nothing: HEX by its content, else refused or (the window) raw bytes.
      {"HEX text under another name", "fw.txt", " \t\n" + kData + "\n" + kEnd, Sends({kData, kEnd})},
      {"raw bytes under another name", "fw", ":0", Refuses("Cannot tell whether"), Sends({":020000003A3094", kEnd})},
      {"a BIN image named .bin", "a.bin", ":0", Sends({":020000003A3094", kEnd})},
  };
  test::TTempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = WriteFile(dir, row.file, row.bytes);
    for (const bool window : {false, true}) {
      const TOutcome want = window && row.window ? *row.window : row.cli;
      const TOutcome got = Load(path, window ? kWindowImageRules : TImageRules{});
      EXPECT_EQ(got.sent, want.sent) << (window ? "window: " : "command line: ") << got.refused;
      if (!want.refused.empty()) {
        EXPECT_NE(got.refused.find(want.refused), std::string::npos) << got.refused;
        if (want.refused.rfind("line ", 0) == 0) {
          EXPECT_EQ(got.refused.rfind("\"" + path + "\", " + want.refused, 0), 0u);
        }
      }
    }
  }
}

TEST(BinRecords, SixteenBytesARecordWithChecksumThenTheEndRecord) {
  auto records = [](const std::vector<std::uint8_t>& bytes) {
    THexBinList list;
    list.AddBin(bytes.data(), bytes.size());
    Texts texts;
    for (const TImageRecord& r : list.Records()) texts.push_back(r.text);
    return texts;
  };
  EXPECT_EQ(records({}), (Texts{kEnd}));
  EXPECT_EQ(records({0x02, 0x00, 0x30}), (Texts{":03000000020030CB", kEnd}));
  std::vector<std::uint8_t> seventeen(17, 0xFF);
  EXPECT_EQ(records(seventeen), (Texts{":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00", ":01001000FFF0", kEnd}));
  std::vector<std::uint8_t> full(65536);
  for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<std::uint8_t>(i * 7);
  THexBinList all;
  all.AddBin(full.data(), full.size());
  ASSERT_EQ(all.Count(), 4097u);
  EXPECT_EQ(all[4095].substr(0, 9), ":10FFF000");  // the last record sits at FFF0
  EXPECT_EQ(all.DataBytes(), 65536u);
  EXPECT_EQ(all.Blocks().count(), 16u);
  for (const TImageRecord& r : all.Records()) {  // every record sums to 0
    unsigned sum = 0;
    for (std::size_t i = 1; i + 1 < r.text.size(); i += 2) sum += std::stoul(r.text.substr(i, 2), nullptr, 16);
    EXPECT_EQ(sum & 0xFF, 0u) << r.text;
  }
}

TEST(ImageFiles, FilesThatCannotBeReadOrAreTooLargeRaiseClearErrors) {
  test::TTempDir dir;
  const std::string missing = dir.Path() + "/missing.bin";
  const std::string tooBig = WriteFile(dir, "big.bin", std::string(65537, '\xFF'));
  const std::pair<std::string, std::string> bad[] = {
      {missing, "Cannot open file \"" + missing + "\". No such file or directory"},
      {dir.Path(), "Cannot use \"" + dir.Path() + "\": it is a directory, not a regular file"},
      {tooBig, "The BIN file \"" + tooBig + "\" holds 65537 bytes; the chip's code space holds 65536"},
  };
  for (const auto& [file, message] : bad) {
    for (const TImageRules rules : {TImageRules{}, kWindowImageRules}) EXPECT_EQ(Load(file, rules).refused, message);
  }
  // Exactly 64 KB is the whole code space and is taken.
  EXPECT_EQ(Load(WriteFile(dir, "full.bin", std::string(65536, '\0')), {}).sent.size(), 4097u);
}

}  // namespace
}  // namespace kavel
