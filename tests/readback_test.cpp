// Reading the flash back with the display record: its answers of every shape, the 1 KB
// records, verification, and the device check, against the simulated chip in virtual time.
#include <gtest/gtest.h>

#include "isp/Display.h"
#include "tests/support/VirtualLine.h"

namespace kavel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Counting(std::size_t n, unsigned from = 0) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(from + i);
  return b;
}

TEST(DisplayAnswer, UnderstoodTolerantlyAndNeverGuessed) {
  const std::string line0 = "0000=000102030405060708090A0B0C0D0E0F\r\n";
  const std::string line1 = "0010=101112131415161718191A1B1C1D1E1F\r\n";
  const struct {
    const char* name;
    std::string answer;
    std::uint16_t end;
    TStatusKind kind;
    std::string says;  // in the status's detail
  } cases[] = {
      {"two full lines", line0 + line1, 0x1F, skOk, ""},
      {"a short last line", line0 + line1 + "0020=20\r\n", 0x20, skOk, ""},
      {"lower case, blanks, bare line feeds",
       "0000 = 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f \n 0010=101112131415161718191a1b1c1d1e1f\n", 0x1F, skOk, ""},
      {"silence", "", 0x1F, skNoAnswer, "Flash not answer"},
      {"a missing line", line0, 0x1F, skNoAnswer, "stopped after 1 of 2 lines (the line for 0010 is missing)"},
      {"a wrong address", line0 + "0020=101112131415161718191A1B1C1D1E1F\r\n", 0x1F, skBadReply,
       "a line for 0020 where the one for 0010 was due"},
      {"a byte missing", line0 + "0010=101112131415161718191A1B1C1D1E\r\n", 0x1F, skBadReply,
       "the line for 0010 holds 15 bytes, not 16"},
      {"half a pair", line0 + "0010=101112131415161718191A1B1C1D1E1\r\n", 0x1F, skBadReply, "not understood"},
      {"garbage", "\x7F\x01zz\r\n", 0x1F, skBadReply, "the line for 0000 is not understood"},
      {"one line more", line0 + line1 + "0020=20\r\n", 0x1F, skBadReply, "more lines than asked for"},
      {"X", "X\r\n", 0x1F, skRefused, "Not allowed operation"},
      {"R", "R", 0x1F, skRefused, "CRC error"},
      {"L", "L\r\n", 0x1F, skRefused, "reading is locked"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TDisplayAnswer a = ParseDisplayAnswer(c.answer, 0x0000, c.end);
    EXPECT_EQ(a.status.kind, c.kind) << a.status.detail;
    EXPECT_NE(a.status.detail.find(c.says), std::string::npos) << a.status.detail;
    EXPECT_EQ(a.bytes, c.kind == skOk ? Counting(c.end + 1u) : Bytes{});
  }
  EXPECT_EQ(DisplayRecord(0x0000, 0x03FF), ":05000004000003FF00F5");
}

class Readback : public test::VirtualLine {
 protected:
  void Chip(sim::TSimChipOptions o = {}) {
    ConnectChip(std::move(o));
    Synchronized();
  }
  std::vector<std::string> DisplayRecordsWritten() const {
    std::vector<std::string> out;
    for (const std::string& w : Written())
      if (w.size() == 21 && w.compare(7, 2, "04") == 0 && w.compare(17, 2, "00") == 0) out.push_back(w);
    return out;
  }
};

TEST_F(Readback, TheWholeFlashComesIn1KBRecordsAndALockedChipSaysSo) {
  Chip();
  for (std::size_t a = 0; a < 0x10000; ++a) chip->Flash()[a] = static_cast<std::uint8_t>(a * 7 + (a >> 8));
  std::vector<std::uint8_t> bytes;
  const TIspStatus whole = session->ReadFlash(0x0000, 0xFFFF, 60, bytes);
  ASSERT_TRUE(whole.Ok()) << whole.detail;
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), chip->Flash().begin(), chip->Flash().end()));
  const auto records = DisplayRecordsWritten();
  ASSERT_EQ(records.size(), 64u);
  EXPECT_EQ(records.front(), DisplayRecord(0x0000, 0x03FF));
  EXPECT_EQ(records.back(), DisplayRecord(0xFC00, 0xFFFF));
  // An odd range: 1 KB from 03F0, then 17 bytes whose last line holds one.
  ASSERT_TRUE(session->ReadFlash(0x03F0, 0x0800, 60, bytes).Ok());
  EXPECT_EQ(DisplayRecordsWritten().back(), DisplayRecord(0x07F0, 0x0800));
  EXPECT_EQ(bytes.size(), 0x411u);

  sim::TSimChipOptions locked;
  locked.securityBits = 0b010;  // security bit 2 forbids reading
  Chip(locked);
  const TIspStatus refused = session->ReadFlash(0x0000, 0x00FF, 60, bytes);
  EXPECT_EQ(refused.kind, skRefused);
  EXPECT_NE(refused.detail.find("locked"), std::string::npos);
}

TEST_F(Readback, VerificationNamesTheFirstDifferenceAndTellsUnerasedFlash) {
  const struct {
    const char* name;
    std::size_t size;    // of the image, from 0040 on
    int weakCell;        // -1: none
    int oldByteAt;       // a byte programmed before, not erased (-1: none)
    bool stopAtFirst;
    std::size_t checked, differing;
    unsigned first;
    bool notErased;
    std::vector<std::string> records;  // the display records written
  } cases[] = {
      {"equal", 300, -1, -1, false, 300, 0, 0, false, {DisplayRecord(0x0000, 0x012B)}},
      {"a weak cell", 300, 0x0105, -1, false, 300, 1, 0x0105, false, {DisplayRecord(0x0000, 0x012B)}},
      {"old data under the image", 300, -1, 0x0010, false, 300, 1, 0x0010, true, {DisplayRecord(0x0000, 0x012B)}},
      {"the first block that differs ends it", 2048, 0x0105, -1, true, 1024, 1, 0x0105, false,
       {DisplayRecord(0x0000, 0x03FF)}},
      {"unless all is asked for", 2048, 0x0105, -1, false, 2048, 1, 0x0105, false,
       {DisplayRecord(0x0000, 0x03FF), DisplayRecord(0x0400, 0x07FF)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    THexBinList image;
    const Bytes data = Counting(c.size, 0x40);
    image.AddBin(data.data(), data.size());
    sim::TSimChipOptions o;
    o.weakCell = c.weakCell;
    Chip(o);
    if (c.oldByteAt >= 0) chip->Flash()[static_cast<std::size_t>(c.oldByteAt)] = 0x01;
    std::size_t resent = 0;
    ASSERT_TRUE(session->Program(image, TPacing{}, resent).Ok());
    TVerifyReport report;
    const TIspStatus status = session->Verify(image, 60, c.stopAtFirst, report);
    EXPECT_EQ(report.checked, c.checked);
    EXPECT_EQ(report.complete, c.checked == c.size);
    EXPECT_EQ(report.differing, c.differing);
    EXPECT_EQ(status.kind, c.differing ? skMismatch : skOk) << status.detail;
    if (c.differing) {
      EXPECT_EQ(report.firstAddress, c.first);
      EXPECT_EQ(report.notErased, c.notErased);
      EXPECT_EQ(report.written, data[c.first]);
      EXPECT_NE(status.detail.find("1 of " + std::to_string(c.checked) + " bytes differ"), std::string::npos);
    }
    // Exactly the image's addresses, at most 1 KB a record.
    EXPECT_EQ(DisplayRecordsWritten(), c.records);
  }
}

TEST_F(Readback, TheDeviceCheckTellsAnotherChip) {
  for (std::uint8_t expected : {0xC2, 0xC3}) {
    Chip();
    const TIspStatus status = session->CheckDevice(expected, 60);
    EXPECT_EQ(status.kind, expected == 0xC2 ? skOk : skRefused);
    if (expected == 0xC3) {
      EXPECT_EQ(status.detail, "the chip's device id is C2, not C3 as expected: nothing was written");
    }
  }
}

}  // namespace
}  // namespace kavel
