// The window's rules without a window: switches, the port-number rule, texts, the boxes'
// sounds.
#include <gtest/gtest.h>

#include "app/MessageBoxes.h"
#include "app/Shell.h"

namespace kavel {
namespace {

TEST(Switches, MatchWholeArgumentsWithCaseRulesAndIgnoreEverythingElse) {
  struct Case {
    std::vector<std::string> args;
    const char* sw;
    bool ignoreCase;
    bool expected;
  } cases[] = {
      {{"/Kavel"}, "/Kavel", true, true},
      {{"/kavel"}, "/Kavel", true, true},
      {{"/KAVEL"}, "/Kavel", true, true},
      {{"-Kavel"}, "/Kavel", true, false},
      {{"Kavel"}, "/Kavel", true, false},
      {{"/Kavelx"}, "/Kavel", true, false},
      {{"/Kave"}, "/Kavel", true, false},
      {{"x.hex", "/auto", "/AUTO"}, "/AUTO", true, true},
      {{"/6"}, "/6", false, true},
      {{"/12"}, "/6", false, false},
      {{"/same"}, "/SAME", false, false},
      {{"/KAVÉL"}, "/Kavél", true, false},  // only ASCII letters change case
      {{}, "/AUTO", true, false},
      {{""}, "/AUTO", true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HasSwitch(c.args, c.sw, c.ignoreCase), c.expected)
        << c.sw << " in " << (c.args.empty() ? "()" : c.args.back());
  }
}

TEST(PortNumberRule, FourthCharacterOneToFourElseOne) {
  const std::pair<const char*, int> cases[] = {
      {"COM1", 1}, {"COM2", 2}, {"COM4", 4}, {"COM5", 1}, {"COM9", 1}, {"COM0", 1},
      {"COM10", 1}, {"COM19", 1}, {"COM20", 2}, {"COM3x", 3}, {"COM", 1}, {"", 1}, {"ABC4", 4},
  };
  for (const auto& [name, n] : cases) EXPECT_EQ(PortNumberFromName(name), n) << name;
  EXPECT_EQ(PortNameForNumber(3), "COM3");
  for (int n : {0, 5, -1, 7, 2147483647}) EXPECT_EQ(PortNameForNumber(n), "COM1") << n;
}

TEST(StatusBarText, PortSummaryOnlyWhileOpen) {
  EXPECT_EQ(PortSummary("COM1", br9600, true), "COM1: 9600, 8, 1, N");
  EXPECT_EQ(PortSummary("COM3", br14400, true), "COM3: 14400, 8, 1, N");
  EXPECT_EQ(PortSummary("COM1", br9600, false), "");
}

TEST(DelayText, SignedDecimalIn32BitsOnly) {
  EXPECT_EQ(ParseInt32("60"), 60);
  EXPECT_EQ(ParseInt32("-5"), -5);
  EXPECT_EQ(ParseInt32("+7"), 7);
  EXPECT_EQ(ParseInt32("2147483647"), 2147483647);
  EXPECT_EQ(ParseInt32("-2147483648"), -2147483647 - 1);
  for (const char* bad : {"", "-", "+", "abc", "12a", "2147483648", "1.5", "+-3", "0x10", " 5"}) {
    EXPECT_FALSE(ParseInt32(bad).has_value()) << bad;
  }
}

TEST(ErrorReport, FullStopOnlyAfterCharactersAboveTheDot) {
  EXPECT_EQ(ErrorReportText("Unable to open com port"), "Unable to open com port.");
  EXPECT_EQ(ErrorReportText("Unable to open com port (win error code: 2)"),
            "Unable to open com port (win error code: 2)");
  EXPECT_EQ(ErrorReportText("Done."), "Done.");
  EXPECT_EQ(ErrorReportText("What?"), "What?.");  // '?' is above '.'
  EXPECT_EQ(ErrorReportText("Stop!"), "Stop!");   // '!' is below
  EXPECT_EQ(ErrorReportText("a/"), "a/.");
  EXPECT_EQ(ErrorReportText("a-"), "a-");
  EXPECT_EQ(ErrorReportText(""), "");
}

class RecordingService final : public TMessageService {
 public:
  int Show(const TMessageBoxRequest& r) override {
    log.push_back("show");
    last = r;
    return DefaultButtonId(r.style);
  }
  void Sound(unsigned icon) override { log.push_back("sound " + std::to_string(icon)); }
  std::vector<std::string> log;
  TMessageBoxRequest last;
};

// The sound of the box's icon comes first, and a box without one makes none; what the boxes
// look like is checked on the screen.
TEST(MessageBoxes, SoundFirstThenTheBox) {
  RecordingService service;
  SetMessageService(&service);
  ShowErrorBox("Error 301\rKTN do not answer!");
  EXPECT_EQ(service.last.text, "Error 301\rKTN do not answer!");
  EXPECT_EQ(service.last.caption, "Error");
  EXPECT_EQ(service.last.style, kMbIconStop | kMbOk);
  EXPECT_EQ(service.log, (std::vector<std::string>{"sound 16", "show"}));
  service.log.clear();
  EXPECT_EQ(ShowMessageBox("?", mkWarning, {mbtYes, mbtNo}), kIdNo);  // the default button
  EXPECT_EQ(ShowMessageBox("?", mkCustom, {mbtOK}, "Mine"), kIdOk);
  EXPECT_EQ(service.log, (std::vector<std::string>{"sound 48", "show", "sound 128", "show"}));
  service.log.clear();
  ShowPlainBox("Open port error", "Open COM3 port");
  SetMessageService(nullptr);
  EXPECT_EQ(service.last.caption, "Open COM3 port");
  EXPECT_EQ(service.last.style, 0u);
  EXPECT_EQ(service.log, std::vector<std::string>{"show"});  // no sound for a plain box
}

}  // namespace
}  // namespace kavel
