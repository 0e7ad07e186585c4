// The HEX and BIN loader: line splitting, BIN records, the choice by extension, bad files.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "image/HexBinList.h"
#include "tests/support/PtyFixture.h"

namespace kavel {
namespace {

using Lines = std::vector<std::string>;

std::string WriteFile(const test::TTempDir& dir, const std::string& name, const std::string& bytes) {
  const std::string path = dir.Path() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

TEST(HexText, LinesEndAtCrLfLoneLfOrLoneCrAndNulEndsTheText) {
  const std::pair<std::string, Lines> cases[] = {
      {"", {}},
      {":00000001FF", {":00000001FF"}},                    // no final break: kept
      {"a\r\nb\r\n", {"a", "b"}},                          // a final break adds nothing
      {"a\nb\n", {"a", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"a\n\rb", {"a", "", "b"}},                          // LF CR: two breaks
      {"a\r\n\r\nb", {"a", "", "b"}},                      // a blank line inside
      {"\n", {""}},
      {std::string("a\nb\0c\nd", 7), {"a", "b"}},          // NUL ends the text
      {" :10000000aa \t\r\nx", {" :10000000aa \t", "x"}},  // kept exactly as it stands
  };
  for (const auto& [text, lines] : cases) {
    THexBinList list;
    list.Add("old");
    list.SetText(text);
    EXPECT_EQ(list.Lines(), lines) << testing::PrintToString(text);
  }
}

TEST(BinRecords, SixteenBytesARecordWithChecksumThenTheEndRecord) {
  auto records = [](const std::vector<std::uint8_t>& bytes) {
    THexBinList list;
    list.AddBinRecords(bytes.data(), bytes.size());
    return list.Lines();
  };
  EXPECT_EQ(records({}), (Lines{":00000001FF"}));
  EXPECT_EQ(records({0x02, 0x00, 0x30}), (Lines{":03000000020030CB", ":00000001FF"}));
  std::vector<std::uint8_t> seventeen(17, 0xFF);
  EXPECT_EQ(records(seventeen),
            (Lines{":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00", ":01001000FFF0", ":00000001FF"}));
  std::vector<std::uint8_t> full(65536);
  for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<std::uint8_t>(i * 7);
  const Lines all = records(full);
  ASSERT_EQ(all.size(), 4097u);
  EXPECT_EQ(all[4095].substr(0, 9), ":10FFF000");  // the last record sits at FFF0
  for (const std::string& r : all) {             // every record sums to 0
    unsigned sum = 0;
    for (std::size_t i = 1; i + 1 < r.size(); i += 2) sum += std::stoul(r.substr(i, 2), nullptr, 16);
    EXPECT_EQ(sum & 0xFF, 0u) << r;
  }
}

TEST(ImageFileName, DotHexInAnyCaseIsTextEverythingElseIsBin) {
  for (const char* name : {"fw.hex", "fw.HEX", "/a/b/fw.Hex", ".hex", "v1.2.hex"})
    EXPECT_TRUE(IsHexFileName(name)) << name;
  for (const char* name : {"fw.bin", "fw.txt", "fw.ihx", "fw", "/a.hex/fw", "fw.hex.bin", "fw.hexx", "fw."})
    EXPECT_FALSE(IsHexFileName(name)) << name;
}

TEST(ImageFiles, LoadByExtensionAndBadFilesRaiseClearErrors) {
  test::TTempDir dir;
  THexBinList list;
  LoadImageFile(list, WriteFile(dir, "a.Hex", ":0100000042BD\r\n:00000001FF\r\n"));
  EXPECT_EQ(list.Lines(), (Lines{":0100000042BD", ":00000001FF"}));
  list.Clear();
  LoadImageFile(list, WriteFile(dir, "a.txt", ":0"));  // not .hex: raw bytes
  EXPECT_EQ(list.Lines(), (Lines{":020000003A3094", ":00000001FF"}));

  const std::string missing = dir.Path() + "/missing.bin";
  const std::string tooBig = WriteFile(dir, "big.bin", std::string(65537, '\xFF'));
  const struct {
    std::string file;
    std::string message;
  } bad[] = {
      {dir.Path() + "/missing.hex",
       "Cannot open file \"" + dir.Path() + "/missing.hex\". No such file or directory"},
      {missing, "Cannot open file \"" + missing + "\". No such file or directory"},
      {dir.Path(), "Cannot use \"" + dir.Path() + "\": it is a directory, not a regular file"},
      {tooBig, "The BIN file \"" + tooBig + "\" holds 65537 bytes; the chip's code space holds 65536"},
  };
  for (const auto& [file, message] : bad) {
    list.Clear();
    list.Add("kept");
    try {
      LoadImageFile(list, file);
      ADD_FAILURE() << "no error for " << file;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
    EXPECT_EQ(list.Lines(), (Lines{"kept"})) << file;  // nothing added, nothing taken away
  }
  // Exactly 64 KB is the whole code space and is taken.
  list.Clear();
  LoadImageFile(list, WriteFile(dir, "full.bin", std::string(65536, '\0')));
  EXPECT_EQ(list.Count(), 4097u);
}

}  // namespace
}  // namespace kavel
