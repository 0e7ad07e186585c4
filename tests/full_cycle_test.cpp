// The full programming cycle and "FULL CHIP ERASE" against the simulated chip and controller
// on one line in virtual time: the order on the wire, the boxes, and what the chip and the
// controller are left with.
#include <fstream>

#include <gtest/gtest.h>

#include "isp/Display.h"
#include "link/KTNFrames.h"
#include "sim/SimLine.h"
#include "tests/support/PtyFixture.h"
#include "tests/support/VirtualLine.h"

namespace kavel {
namespace {

using Texts = std::vector<std::string>;

const std::string kJumperOn =
    "Info: Pleace jumper on \"Download Mode\" contacts then press \"uP Reset\" button. When "
    "finished click OK.";
const std::string kJumperOff = "Remove jumper from \"Download Mode\" contacts, then press OK.";

// The chip's records: set-clock 1, erase 2, the 300-byte image's 19 data records and end
// record 3 to 22, then the commands.
const std::string kErase = ":0100000307F5", kStatus = ":020000030400F7", kBit1 = ":020000030500F6",
                  kBit2 = ":020000030501F5", kBit3 = ":020000030502F4", kReadBack = DisplayRecord(0, 299);

class FullCycle : public test::VirtualLine {
 protected:
  // Chip (with options) and, unless absent, a polling controller on the line; an image file.
  void Line(bool withController, sim::TSimChipOptions chipOptions = {}) {
    controller = withController ? std::make_unique<sim::TSimController>() : nullptr;
    ConnectChip(std::move(chipOptions));
    host = test::TNullHost{};
    host.chosenFile = file;
  }
  // The command records written, without the set-clock and data records.
  Texts Commands() const {
    Texts out;
    for (const std::string& w : Written()) {
      if (w.rfind(':', 0) == 0 && w != ":0100000210ED" && w.substr(7, 2) != "00" && w != ":00000001FF")
        out.push_back(w);
    }
    return out;
  }
  std::size_t AttentionRequests() const {
    const auto frame = KtnRequestFrame(kKtnAttention);
    const std::string text = sim::Escape(std::string(frame.begin(), frame.end()));
    const Texts written = Written();
    return static_cast<std::size_t>(std::count(written.begin(), written.end(), text));
  }
  std::string FinalBox() const {
    return "Full programming: " + file + "\r\rOperation finished - security bits set\r\n" + kJumperOff;
  }
  // The box of a cycle whose read-back did not find the image: the chip is left unlocked.
  std::string UnlockedBox(const std::string& why) const {
    return "Full programming: " + file + "\r\rOperation failed - the chip was not programmed: " + why +
           "\r\rSecurity bits not set, the chip is left unlocked.\r\n" + kJumperOff;
  }

  test::TTempDir dir;
  std::string image = [] {
    std::string bytes(300, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + 1);
    return bytes;
  }();
  std::string file = [this] {
    const std::string path = dir.Path() + "/firmware.bin";
    std::ofstream(path, std::ios::binary) << image;
    return path;
  }();
};

TEST_F(FullCycle, LeavesExactlyTheImageStatusZeroAndTheThreeBits) {
  for (const auto& [sixClock, wfc] : {std::pair{false, false}, std::pair{true, true}}) {
    SCOPED_TRACE(::testing::Message() << "6-clock " << sixClock << ", wfc " << wfc);
    Line(true);
    host.options.sixClock = sixClock;
    host.options.waitForConfirmation = wfc;
    chip->Flash().fill(0);
    EXPECT_TRUE(ops->BFullClick().Ok());
    Texts boxes{kJumperOn};
    if (sixClock && wfc) boxes.push_back("OK: Clock set");  // shown even inside the cycle
    boxes.push_back(FinalBox());
    EXPECT_EQ(host.boxes, boxes);
    EXPECT_EQ(host.caption, file);
    Texts commands{kErase, kReadBack, kStatus, kBit1, kBit2, kBit3};
    if (sixClock) commands.insert(commands.begin() + 1, ":0300000306028072");
    EXPECT_EQ(Commands(), commands);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), chip->Flash().begin(),
                           [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
    EXPECT_TRUE(std::all_of(chip->Flash().begin() + 300, chip->Flash().end(), [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(chip->StatusByte(), 0);
    EXPECT_EQ(chip->SecurityBits(), 7);
    EXPECT_EQ(chip->SixClock(), sixClock);
    EXPECT_TRUE(controller->Suspended());
    EXPECT_TRUE(ops->KTNSuspended);
    EXPECT_EQ(ops->OperationFailed, 0);
    // The erase's busy window from its speed search on, the search's own text, then the lines
    // programmed; panel 0 cleared and the window enabled at the end.
    const Texts& p = host.progressLog;
    const auto busy = std::find(p.begin(), p.end(), "Erasing entire chip memory ... wait");
    ASSERT_NE(busy, p.end());
    EXPECT_EQ(*std::next(busy), "Synchronizing ...");
    EXPECT_EQ(*std::next(busy, 2), "Erasing entire chip memory ... wait");
    EXPECT_NE(std::find(p.begin(), p.end(), "Programming line: 0 / 20"), p.end());
    EXPECT_EQ(host.progress, "");
    EXPECT_TRUE(host.windowEnabled);
    // The jumper's 2 s, the three "U" each followed by D, and the closing second.
    const auto& s = clock.sleeps;
    const int pauses[] = {2000, 60, 60, 60};
    EXPECT_NE(std::search(s.begin(), s.end(), std::begin(pauses), std::end(pauses)), s.end());
    EXPECT_EQ(s.back(), 1000);
  }
}

TEST_F(FullCycle, AFailingEraseProgramsNothingAndSetsNoBit) {
  sim::TSimChipOptions o;
  o.overrides[2] = sim::TReplyOverride::NotAllowed;  // after the set-clock record: the erase
  Line(true, o);
  host.options.waitForConfirmation = true;
  EXPECT_EQ(ops->BFullClick().kind, skRefused);
  EXPECT_EQ(host.boxes, (Texts{kJumperOn, "Send Error: Not allowed operation"}));
  EXPECT_EQ(Commands(), Texts{":0100000307F5"});
  EXPECT_EQ(chip->SecurityBits(), 0);
  EXPECT_EQ(chip->Flash()[0], 0xFF);
  EXPECT_EQ(ops->OperationFailed, 1);
}

TEST_F(FullCycle, NeverSetsTheBitsOnAChipTheCycleKnowsIsWrong) {
  struct Case {
    const char* name;
    std::string image;        // the image file's bytes
    int refuse;               // record (from 1) the chip answers "X"; 0: none
    bool sixClock;
    std::function<void(test::TNullHost&)> meddle;  // the operator, before the cycle runs
    Texts boxes;
    Texts commands;
    TStatusKind status;
    int bits;                 // the security bits the chip is left with
    std::string says;         // in the status's words
    int weakCell = -1;        // an address that reads back wrong
    bool deaf = false;        // the chip runs its application: nothing answers
    int hangUpAfter = 0;      // the line hangs up after this many records (0: never)
  };
  const std::string commanding = dir.Path() + "/commanding.hex";
  std::ofstream(commanding) << ":0100000042BD\n:020000030500F6\n:00000001FF\n";
  const std::string kNoReadBack = "display of 0000-012B: Flash not answer";
  const Case cases[] = {
      {"an image without data: nothing reaches the line", "", 0, false, nullptr,
       {"Send Error: No data to program in " + file}, {}, skBadImage, 0, "No data"},
      {"an image that commands the chip: nothing reaches the line", image, 0, false,
       [&](test::TNullHost& h) { h.chosenFile = commanding; }, {}, {}, skBadImage, 0,
       "line 2: :020000030500F6 is a command for the chip"},
      {"Wait for confirmation unticked while programming", image, 24, false,
       [](test::TNullHost& h) { h.onRecord = [&h](std::size_t, std::size_t) { h.options.waitForConfirmation = false; }; },
       {kJumperOn, "Send Error: Not allowed operation"}, {kErase, kReadBack, kStatus}, skRefused, 0, ""},
      {"a refused 6-clock command goes on, but is no success", image, 23, true, nullptr,
       {kJumperOn, "Send Error: Not allowed operation", FinalBox()},
       {kErase, ":0300000306028072", kReadBack, kStatus, kBit1, kBit2, kBit3}, skRefused, 7, ""},
      {"a weak cell: read back, not locked, and the box names it", image, 0, false, nullptr,
       {kJumperOn, UnlockedBox("verify failed at 0042: written 5B, read 5F; 1 of 300 bytes differ")}, {kErase, kReadBack},
       skMismatch, 0, "verify failed at 0042", 0x0042},
      {"a chip that answers nothing, in the normal view: not locked", image, 0, false,
       [](test::TNullHost& h) { h.options.waitForConfirmation = false; }, {kJumperOn, UnlockedBox(kNoReadBack)},
       {kErase, kReadBack}, skNoAnswer, 0, kNoReadBack, -1, true},
      {"the line hangs up at the erase: the error report's, nothing more sent", image, 0, false, nullptr, {kJumperOn},
       {kErase}, skPortFailed, 0, "", -1, false, 2},
      {"stopped at the jumper prompt", image, 0, false,
       [](test::TNullHost& h) { h.onBox = [&h](const TMessageBoxRequest&) { h.stop = true; }; }, {kJumperOn}, {},
       skStopped, 0, "nothing was sent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << c.image;
    sim::TSimChipOptions o;
    if (c.refuse) o.overrides[c.refuse] = sim::TReplyOverride::NotAllowed;
    o.weakCell = c.weakCell;
    o.needEntry = c.deaf;
    o.hangUpAfter = c.hangUpAfter;
    Line(false, o);
    host.options.waitForConfirmation = true;
    host.options.sixClock = c.sixClock;
    if (c.meddle) c.meddle(host);
    const TIspStatus result = ops->BFullClick();
    Texts boxes = host.boxes;
    if (TIspOperations::InErrorReport(result)) {
      // Said last, in the general error report, in the exception's own words.
      ASSERT_FALSE(boxes.empty());
      EXPECT_TRUE(boxes.back().starts_with("Kavel ISP 2.6.1: ")) << boxes.back();
      EXPECT_NE(boxes.back().find(c.says), std::string::npos) << boxes.back();
      boxes.pop_back();
    }
    EXPECT_EQ(boxes, c.boxes);
    EXPECT_EQ(Commands(), c.commands);
    EXPECT_EQ(result.kind, c.status) << result.detail;
    EXPECT_NE(result.detail.find(c.says), std::string::npos) << result.detail;
    EXPECT_EQ(chip->SecurityBits(), c.bits);
    if (c.status == skBadImage) {
      EXPECT_TRUE(Written().empty());  // not even the controller was sought
    }
  }
}

// The session's cycle, as the command line runs it: it locks only a chip that holds the image
// and honours a stop before every step of the locking.
TEST_F(FullCycle, TheSessionLocksOnlyAChipThatHoldsTheImageAndStopsWhereAsked) {
  struct Case {
    const char* name;
    std::function<void(TCycleSteps&)> steps;
    std::function<bool()> stop;  // asked at every stop point
    int refuse;                  // record (from 1) the chip answers "X"; 0: none
    int weakCell;                // an address that reads back wrong (-1: none)
    Texts commands;
    TStatusKind status;
    int bits;
    std::string says;
  };
  // A stop that arrives as the last byte of the read-back comes in, and stays asked for.
  const auto readBackDone = [this, asked = false]() mutable {
    return asked = asked || (observer.activity == TActivity::acVerify && observer.doneOfTotal.second > 0 &&
                             observer.doneOfTotal.first == observer.doneOfTotal.second);
  };
  const Case cases[] = {
      {"all well, read back", nullptr, nullptr, 0, -1, {kErase, kReadBack, kStatus, kBit1, kBit2, kBit3}, skOk, 7, ""},
      {"a boot entry timed the reset: no pause for it", [](TCycleSteps& s) { s.resetPauseMs = 0; }, nullptr, 0, -1,
       {kErase, kReadBack, kStatus, kBit1, kBit2, kBit3}, skOk, 7, ""},
      {"read back, a weak cell leaves the chip unlocked", nullptr, nullptr, 0, 0x0042, {kErase, kReadBack}, skMismatch, 0,
       "verify failed at 0042: written 5B, read 5F; 1 of 300 bytes differ"},
      {"another chip is not even erased", [](TCycleSteps& s) { s.expectDevice = 0x99; }, nullptr, 0, -1,
       {":020000050001F8"}, skRefused, 0, "the chip's device id is C2, not 99 as expected: nothing was written"},
      {"a refused 6-clock command locks nothing", [](TCycleSteps& s) { s.sixClock = true; }, nullptr, 23, -1,
       {kErase, ":0300000306028072"}, skRefused, 0, "6-clock mode: Not allowed operation"},
      {"stopped as the read-back ends: nothing locked", nullptr, readBackDone, 0, -1, {kErase, kReadBack}, skStopped,
       0, "before the status byte: the chip is programmed and not locked"},
      {"stopped after the status byte", nullptr, [this] { return chip->StatusByte() == 0; }, 0, -1,
       {kErase, kReadBack, kStatus}, skStopped, 0, "before security bit 1: the status byte was set to 0, no security bit"},
      {"stopped after security bit 1", nullptr, [this] { return chip->SecurityBits() != 0; }, 0, -1,
       {kErase, kReadBack, kStatus, kBit1}, skStopped, 1, "security bit 1 were set, security bits 2 and 3 not"},
      {"stopped after security bit 2", nullptr, [this] { return chip->SecurityBits() == 3; }, 0, -1,
       {kErase, kReadBack, kStatus, kBit1, kBit2}, skStopped, 3, "security bits 1 and 2 were set, security bit 3 not"},
  };
  THexBinList checked;
  checked.AddBin(reinterpret_cast<const std::uint8_t*>(image.data()), image.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::TSimChipOptions o;
    if (c.refuse) o.overrides[c.refuse] = sim::TReplyOverride::NotAllowed;
    o.weakCell = c.weakCell;
    Line(false, o);
    observer.stopWhen = c.stop;
    TCycleSteps steps;
    if (c.steps) c.steps(steps);
    TCycleResult result;
    clock.sleeps.clear();
    const TIspStatus status = session->Cycle(checked, steps, result);
    EXPECT_EQ(std::count(clock.sleeps.begin(), clock.sleeps.end(), 2000), steps.resetPauseMs == 0 ? 0 : 1);
    EXPECT_EQ(Commands(), c.commands);
    EXPECT_EQ(status.kind, c.status) << status.detail;
    EXPECT_NE(status.detail.find(c.says), std::string::npos) << status.detail;
    EXPECT_EQ(chip->SecurityBits(), c.bits);
    EXPECT_EQ(result.locked, c.status == skOk ? 4 : c.bits == 0 ? (chip->StatusByte() == 0 ? 1 : 0) : c.bits == 1 ? 2 : 3);
  }
}

TEST_F(FullCycle, TheDemosNormalViewStepsLeaveTheImageLocked) {
  // The README's order: FULL CHIP ERASE, then the full cycle; the flash then equals the image.
  Line(true);
  chip->Flash().fill(0);
  EXPECT_TRUE(ops->FullErase().Ok());
  EXPECT_EQ(chip->Flash()[0], 0xFF);
  EXPECT_TRUE(ops->BFullClick().Ok());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), chip->Flash().begin(),
                         [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
  EXPECT_EQ(chip->SecurityBits(), 7);
}

TEST_F(FullCycle, ASecondCycleSuspendsAgainOnlyWhenTheFirstFailed) {
  for (bool withController : {true, false}) {
    SCOPED_TRACE(withController ? "suspended by the first" : "nobody answered the first");
    Line(withController);
    EXPECT_TRUE(ops->BFullClick().Ok());
    const std::size_t first = AttentionRequests();
    EXPECT_EQ(ops->KTNSuspended, withController);
    EXPECT_TRUE(ops->BFullClick().Ok());
    EXPECT_EQ(AttentionRequests(), withController ? first : 2 * first);
    EXPECT_EQ(std::count(host.boxes.begin(), host.boxes.end(), FinalBox()), 2);
  }
}

TEST_F(FullCycle, ACancelledFileChoiceChangesNothing) {
  Line(true);
  host.chosenFile.reset();
  ops->SetImageFileName("/kept.hex");
  ops->OperationFailed = 7;
  EXPECT_EQ(ops->BFullClick().kind, skCancelled);
  EXPECT_EQ(host.dialogShownWith, Texts{"/kept.hex"});
  EXPECT_TRUE(Written().empty());
  EXPECT_TRUE(host.boxes.empty());
  EXPECT_EQ(host.caption, "");
  EXPECT_EQ(ops->ImageFileName(), "/kept.hex");
  EXPECT_FALSE(ops->KTNSuspended);
  EXPECT_EQ(ops->OperationFailed, 7);
}

TEST_F(FullCycle, FullChipEraseNeverCallsAFailedEraseErased) {
  for (bool fails : {false, true}) {
    sim::TSimChipOptions o;
    if (fails) o.overrides[2] = sim::TReplyOverride::CrcError;
    Line(true, o);
    host.options.waitForConfirmation = true;
    chip->Flash().fill(0);
    EXPECT_EQ(ops->FullErase().Ok(), !fails);
    const Texts boxes = fails ? Texts{kJumperOn, "Send Error: CRC error", "Erase: Flash not erased.\r\n" + kJumperOff}
                              : Texts{kJumperOn, "Erase: Flash erased.\r\n" + kJumperOff};
    EXPECT_EQ(host.boxes, boxes);
    EXPECT_EQ(chip->Flash()[0], fails ? 0x00 : 0xFF);
    EXPECT_TRUE(controller->Suspended());
    EXPECT_EQ(Commands(), Texts{":0100000307F5"});
  }
}

}  // namespace
}  // namespace kavel
