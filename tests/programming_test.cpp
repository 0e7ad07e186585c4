// Programming a file into the simulated chip on a line in virtual time: images made by other
// tools arrive byte for byte; pacing, progress, replies and the ways a run ends.
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "image/CheckedImage.h"
#include "tests/support/PtyFixture.h"
#include "tests/support/VirtualLine.h"

namespace kavel {
namespace {

class Programming : public test::VirtualLine {
 protected:
  std::string File(const std::string& name, const std::string& bytes) {
    const std::string path = dir.Path() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  // Programs the file as the button does, with the dialog answering it.
  void Program(const std::string& file) {
    host.chosenFile = file;
    last = ops->BSendHexFileClick();
  }
  test::TTempDir dir;
  TIspStatus last;  // the outcome of the last Program
};

std::string RandomImage(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
  return bytes;
}

TEST_F(Programming, ImagesMadeByOtherToolsArriveByteForByte) {
  for (std::size_t size : {1u, 100u, 4096u, 65536u}) {
    const std::string image = RandomImage(size, static_cast<unsigned>(size));
    const std::string bin = File("image.bin", image);
    const std::string hex = dir.Path() + "/image.hex";
    const std::string command = "objcopy -I binary -O ihex " + bin + " " + hex;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    for (const std::string& file : {bin, hex}) {
      for (bool waitForReplies : {true, false}) {
        SCOPED_TRACE(file + " of " + std::to_string(size) + (waitForReplies ? " bytes, WFC" : " bytes"));
        ConnectChip();
        host.options.waitForConfirmation = waitForReplies;
        ASSERT_TRUE(ops->Synchronize().Ok());
        Program(file);
        EXPECT_EQ(ops->OperationFailed, 0);
        EXPECT_TRUE(host.boxes.empty());
        const auto& flash = chip->Flash();
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin(),
                               [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
        EXPECT_TRUE(std::all_of(flash.begin() + static_cast<std::ptrdiff_t>(size), flash.end(),
                                [](std::uint8_t b) { return b == 0xFF; }));
        EXPECT_EQ(host.progress, "");
      }
    }
  }
}

TEST_F(Programming, TheExampleImagesArriveAsBuilt) {
  const std::string base = std::string(KAVEL_EXAMPLES_DIR) + "/blink/blink";
  const std::string image = test::ReadWholeFile(base + ".bin");
  ASSERT_GT(image.size(), 16u);
  for (const char* ext : {".hex", ".bin"}) {
    ConnectChip();
    host.options.waitForConfirmation = true;
    ASSERT_TRUE(ops->Synchronize().Ok());
    Program(base + ext);
    EXPECT_EQ(ops->OperationFailed, 0) << ext;
    EXPECT_TRUE(std::equal(image.begin(), image.end(), chip->Flash().begin(),
                           [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }))
        << ext;
  }
}

// Through an adapter whose writes return before the bytes are on the line, and which holds
// what comes back: the wait at the wire's pace counts the chip's time from the end of the
// echo; the window's wait, with its fixed settle pauses, copes too.
TEST_F(Programming, AtSlowSpeedsAndThroughALateAdapterEveryRecordIsAnswered) {
  const struct {
    unsigned speed;
    int latencyMs;
    bool window;
  } cases[] = {{4800, 0, false}, {9600, 16, false}, {115200, 16, false}, {4800, 0, true}, {9600, 16, true}};
  const std::string image = RandomImage(1024, 3);
  THexBinList checked;
  checked.AddBin(reinterpret_cast<const std::uint8_t*>(image.data()), image.size());
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.speed) + " bit/s, " + std::to_string(c.latencyMs) + " ms" + (c.window ? ", window" : ""));
    ConnectChip();
    device->SetAdapter(c.latencyMs);
    TSyncResult sync;
    TSyncPlan plan;
    plan.first = BaudRateFromText(std::to_string(c.speed));
    ASSERT_TRUE(session->Synchronize(plan, sync).Ok());
    if (c.window) {
      host.options.waitForConfirmation = true;
      Program(File("image.bin", image));
      EXPECT_EQ(ops->OperationFailed, 0);
    } else {
      std::size_t resent = 0;
      const TIspStatus status = session->Program(checked, TPacing{}, resent);
      EXPECT_TRUE(status.Ok()) << status.detail;
    }
    EXPECT_TRUE(std::equal(image.begin(), image.end(), chip->Flash().begin(),
                           [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
  }
}

// A data record that line noise spoils ("R") or whose "." is lost goes again, up to the
// retries; a refusal ("X") is no noise, and a command in the image is never sent twice.
TEST_F(Programming, ADataRecordSpoiledOnTheLineGoesAgainACommandNever) {
  using R = sim::TReplyOverride;
  const struct {
    const char* name;
    std::map<int, R> overrides;  // by the chip's count of records: 1 the set-clock record, 2 the first of the image
    int retries;
    TStatusKind kind;
    std::size_t resent;
    long index;  // the record that failed
  } cases[] = {
      {"R once", {{3, R::CrcError}}, 2, skOk, 1, -1},
      {"no answer once", {{3, R::Silent}}, 2, skOk, 1, -1},
      {"R as often as it goes again", {{3, R::CrcError}, {4, R::CrcError}, {5, R::CrcError}}, 2, skRefused, 2, 1},
      {"no retries asked for", {{3, R::CrcError}}, 0, skRefused, 0, 1},
      {"X is no noise", {{3, R::NotAllowed}}, 2, skRefused, 0, 1},
      {"the 6-clock command goes once", {{4, R::CrcError}}, 2, skRefused, 0, 2},
  };
  const THexBinList image = CheckedHexRecords("six.hex", ":0100000042BD\n:0100010043BB\n:0300000306028072\n:00000001FF\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::TSimChipOptions o;
    o.overrides = c.overrides;
    ConnectChip(o);
    Synchronized();
    TPacing pacing;
    pacing.retries = c.retries;
    std::size_t resent = 0;
    const TIspStatus status = session->Program(image, pacing, resent);
    EXPECT_EQ(status.kind, c.kind) << status.detail;
    EXPECT_EQ(resent, c.resent);
    EXPECT_EQ(status.index, c.index);
    EXPECT_EQ(chip->Flash()[1], c.kind == skOk || c.index > 1 ? 0x43 : 0xFF);  // the second record went in
  }
}

TEST_F(Programming, ProgressCountsFromZeroAndPacingIsTheDelay) {
  ConnectChip();
  host.options.delay = 40;
  const std::string file = File("three.bin", std::string(40, '\x11'));  // 3 records + end
  const auto start = clock.NowMs();
  Program(file);
  EXPECT_EQ(host.caption, file);
  EXPECT_EQ(host.progressLog, (std::vector<std::string>{"Programming line: 0 / 4", "Programming line: 1 / 4",
                                                        "Programming line: 2 / 4", "Programming line: 3 / 4", ""}));
  EXPECT_EQ(clock.sleeps, (std::vector<int>{40, 40, 40, 40}));
  // Each record takes its time on the line (43 characters at 9600 bit/s: 45 ms), then D.
  EXPECT_LE(clock.NowMs() - start, 4 * 40 + 3 * 46 + 13);
  EXPECT_EQ(ops->OperationFailed, 0);

  // D counts from the record handed to the line: a progress text that takes 7 ms to show
  // falls inside it, and the records go out as far apart as before.
  const auto gaps = [this] {
    const auto writes = Writes();
    std::vector<std::int64_t> out;
    for (std::size_t i = writes.size() - 3; i < writes.size(); ++i) out.push_back(writes[i].first - writes[i - 1].first);
    return out;
  };
  const std::vector<std::int64_t> promptly = gaps();
  host.onRecord = [this](std::size_t, std::size_t) { clock.SleepMs(7); };
  Program(file);
  EXPECT_EQ(gaps(), promptly);
  EXPECT_EQ(ops->OperationFailed, 0);
}

TEST_F(Programming, TheFirstRefusedOrUnansweredRecordEndsTheRun) {
  const std::pair<sim::TReplyOverride, std::string> replies[] = {
      {sim::TReplyOverride::NotAllowed, "Not allowed operation for block: 5"},
      {sim::TReplyOverride::CrcError, "CRC error for block: 5"},
      {sim::TReplyOverride::CarriageReturn, "Flash not answer for block: 5"},  // CR alone
      {sim::TReplyOverride::Silent, "Flash not answer for block: 5"},
  };
  const std::string file = File("ten.bin", RandomImage(160, 7));  // 10 records + end
  for (const auto& [reply, message] : replies) {
    ConnectChip([&] {
      sim::TSimChipOptions o;
      o.overrides[7] = reply;  // the chip counts from 1, the set-clock record first: entry 5
      return o;
    }());
    host = test::TNullHost{};
    host.options.waitForConfirmation = true;
    ASSERT_TRUE(ops->Synchronize().Ok());
    const std::size_t syncWrites = Written().size();
    Program(file);
    EXPECT_EQ(Written().size() - syncWrites, 6u) << message;  // entries 0 to 5, not 6
    EXPECT_EQ(host.boxes, (std::vector<std::string>{"Send Error: " + message}));
    EXPECT_EQ(host.requests.at(0).style, 0u);
    EXPECT_EQ(ops->OperationFailed, 1);
    EXPECT_EQ(host.progress, "");
  }
}

TEST_F(Programming, OnlyTheSixClockRecordWaitsAndBlankLinesAreNoRecords) {
  ConnectChip();
  host.options.delay = 30;
  Program(File("odd.hex", ":0100000042BD\r\n\r\n:0300000306028072\r\n:0300000306028072 \r\n:00000001FF"));
  EXPECT_EQ(Written(), (std::vector<std::string>{":0100000042BD", ":0300000306028072", ":0300000306028072",
                                                 ":00000001FF"}));
  EXPECT_EQ(clock.sleeps, (std::vector<int>{30, 50, 30, 50, 30, 30}));
  EXPECT_EQ(host.progressLog.at(1), "Programming line: 1 / 4");
  EXPECT_EQ(ops->OperationFailed, 0);
}

TEST_F(Programming, HowTheFileIsChosenAndRunsThatSendNothing) {
  ConnectChip();
  const std::string used = File("used.bin", "\x01\x02");
  ops->SetImageFileName(used);

  host.chosenFile.reset();  // the dialog is cancelled
  EXPECT_EQ(ops->BSendHexFileClick().kind, skCancelled);
  EXPECT_EQ(host.dialogShownWith, (std::vector<std::string>{used}));
  EXPECT_EQ(host.caption, "");
  EXPECT_EQ(ops->OperationFailed, 1);
  EXPECT_TRUE(Written().empty());

  host.options.reuseImageFile = true;  // "/SAME" or "/AUTO": no dialog
  EXPECT_TRUE(ops->BSendHexFileClick().Ok());
  EXPECT_EQ(host.dialogShownWith.size(), 1u);
  EXPECT_EQ(host.caption, used);
  EXPECT_EQ(Written().size(), 2u);

  host.options.reuseImageFile = false;
  Program(File("empty.bin", ""));  // the end record alone: a completed run
  EXPECT_EQ(Written().back(), ":00000001FF");
  EXPECT_EQ(ops->OperationFailed, 0);
  EXPECT_TRUE(host.boxes.empty());
}

TEST_F(Programming, AFileThatCannotBeReadIsTooLargeOrIsRefusedSendsNothingAndFails) {
  ConnectChip();
  for (const std::string& file : {dir.Path() + "/missing.bin", dir.Path(), File("big.bin", std::string(65537, '\0')),
                                  File("empty.hex", ""), File("locks.hex", ":0100000042BD\n:020000030500F6\n:00000001FF")}) {
    host.progress = "before";
    host.boxes.clear();
    Program(file);
    EXPECT_EQ(last.kind, skBadImage) << file << ": " << last.detail;
    // The loader's message, in the general error report.
    ASSERT_EQ(host.boxes.size(), 1u) << file;
    EXPECT_TRUE(host.boxes[0].starts_with("Kavel ISP 2.6.1: ")) << host.boxes[0];
    EXPECT_EQ(ops->OperationFailed, 1);
    EXPECT_TRUE(Written().empty());
    EXPECT_EQ(host.progress, "");
  }
}

}  // namespace
}  // namespace kavel
