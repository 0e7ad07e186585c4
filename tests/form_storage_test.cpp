// Settings kept between runs: the file's exact contents, restoring, malformed values, screen
// sizes and pixels per inch, and stores that cannot be read or written.
#include <QCheckBox>
#include <QDir>
#include <QLabel>

#include <filesystem>

#include "app/FormStorage.h"
#include "tests/support/FormFixture.h"

namespace kavel::test {
namespace {

using StoredSettings = FormTest;

// "left,top,right,bottom" of the window's frame.
std::string NormPos(const TMainISPForm& f) {
  const QRect r = f.frameGeometry();
  return std::to_string(r.left()) + "," + std::to_string(r.top()) + "," +
         std::to_string(r.left() + r.width()) + "," + std::to_string(r.top() + r.height());
}

TEST_F(StoredSettings, FirstRunOpensAsDesignedAndTheCloseWritesEveryValue) {
  TMainISPForm& f = Start({"/Kavel"});
  EXPECT_EQ(f.pos(), QPoint(282, 136));
  EXPECT_EQ(f.Port().Port(), "COM1");
  EXPECT_EQ(f.ImageFileName(), "");
  f.SetImageFileName("/tmp/fw/app 1.hex");
  f.cb6clock->setChecked(true);
  const std::string pos = NormPos(f);
  EXPECT_EQ(pos.substr(0, 8), "282,136,");
  CloseAndDestroy();
  EXPECT_EQ(Settings(),
            "[TMainISPForm]\n"
            "ComComboBox1_Tag=0\n"  // the port number changes only with the port"
            "DelayVal_Tag=60\n"
            "DelayVal_Text=60\n"
            "Flags=0\n"
            "FormVersion=0\n"
            "MinMaxPos=\"-1,-1,-1,-1\"\n"
            "MinMaxPos%281280x1024%29=\"-1,-1,-1,-1\"\n"
            "NormPos=\"" + pos + "\"\n"
            "NormPos%281280x1024%29=\"" + pos + "\"\n"
            "OpenDialog1_FileName=/tmp/fw/app 1.hex\n"
            "PixelsPerInch=96\n"
            "ShowCmd=1\n"
            "Visible=0\n"
            "cb6clock_Checked=True\n");
  TMainISPForm& again = Start({"/Kavel"});
  EXPECT_EQ(again.ImageFileName(), "/tmp/fw/app 1.hex");
  EXPECT_TRUE(again.SixClock());
  EXPECT_EQ(again.pos(), QPoint(282, 136));
}

TEST_F(StoredSettings, ValuesAreTrimmedAndMalformedOnesFallBack) {
  const std::pair<const char*, bool> checkTexts[] = {
      {"true", true}, {" TRUE ", true}, {"False", false}, {"maybe", false}, {"1", false}};
  for (const auto& [text, checked] : checkTexts) {
    WriteSettings(std::string("[TMainISPForm]\ncb6clock_Checked=") + text +
                  "\nOpenDialog1_FileName=\"  /fw/x.hex \"\nDelayVal_Tag=abc\n");
    TMainISPForm& f = Start({"/Kavel"});
    EXPECT_EQ(f.SixClock(), checked) << text;
    EXPECT_EQ(f.ImageFileName(), "/fw/x.hex");
    form.reset();
  }
  WriteSettings("[TMainISPForm]\nFormVersion=-1\nOpenDialog1_FileName=/fw/x.hex\n");
  EXPECT_EQ(Start().ImageFileName(), "");  // a newer layout than this program knows
}

TEST_F(StoredSettings, VisibleIsOneOnlyForTheSaveAtDestruction) {
  Start();
  CloseAndDestroy();
  EXPECT_NE(Settings().find("Visible=0\n"), std::string::npos);
  Start();
  form.reset();
  EXPECT_NE(Settings().find("Visible=1\n"), std::string::npos);
}

TEST_F(StoredSettings, EachScreenSizeKeepsItsOwnPosition) {
  Start();
  CloseAndDestroy();
  screen = {QSize(1920, 1080), 96, {QRect(0, 0, 1920, 1080)}};
  TMainISPForm& f = Start();
  EXPECT_EQ(f.pos(), QPoint(282, 136));  // the plain value, as nothing is stored for 1920x1080
  f.move(300, 200);
  const std::string moved = NormPos(f);
  CloseAndDestroy();
  const std::string s = Settings();
  EXPECT_NE(s.find("NormPos%281280x1024%29=\"282,136,"), std::string::npos);
  EXPECT_NE(s.find("NormPos%281920x1080%29=\"" + moved + "\""), std::string::npos);
  EXPECT_NE(s.find("NormPos=\"" + moved + "\""), std::string::npos);
  screen = {QSize(1280, 1024), 96, {QRect(0, 0, 1280, 1024)}};
  EXPECT_EQ(Start().pos(), QPoint(282, 136));  // the suffixed value wins over the plain one
}

TEST_F(StoredSettings, PositionOnlyAtTheSamePixelsPerInchAndNeverOffScreen) {
  const std::pair<const char*, QPoint> cases[] = {
      {"PixelsPerInch=120\nNormPos=400,300,907,945", QPoint(282, 136)},
      {"PixelsPerInch=96\nNormPos=400, 300,907,945", QPoint(400, 300)},  // unquoted, blanks
      {"NormPos=\"410 310\"", QPoint(410, 310)},                          // missing fields
      {"NormPos=\"x,320,1,1\"", QPoint(282, 320)},                        // malformed field
      {"MinMaxPos=\"-1,-1,-1,-1\"", QPoint(282, 136)},
  };
  for (const auto& [stored, expected] : cases) {
    WriteSettings(std::string("[TMainISPForm]\n") + stored + "\n");
    EXPECT_EQ(Start().pos(), expected) << stored;
    form.reset();
  }
  for (const char* lost : {"NormPos=\"5000,4000,5507,4647\"", "NormPos=\"-900,-50,-393,597\""}) {
    WriteSettings(std::string("[TMainISPForm]\n") + lost + "\n");
    const QRect frame = Start().frameGeometry();
    EXPECT_TRUE(QRect(0, 0, 1280, 1024).contains(frame.topLeft())) << lost;
    EXPECT_EQ(BringOntoScreen(frame, screen.workAreas), frame) << lost;  // within reach
    form.reset();
  }
}

TEST_F(StoredSettings, UnreadableStoreIsReportedAndNeverOverwritten) {
  QDir().mkpath(SettingsFile());  // a directory where the file should be
  TMainISPForm& f = Start({"/Kavel"});
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text,
            "The settings cannot be read from " + SettingsFile().toStdString() + ".");
  EXPECT_EQ(boxes.shown[0].caption, "Kavel ISP 2.6.1");
  EXPECT_EQ(f.PortPanel->text().toStdString(), "COM1: 9600, 8, 1, N");  // the show step ran
  CloseAndDestroy();
  EXPECT_EQ(boxes.shown.size(), 1u);
  EXPECT_TRUE(std::filesystem::is_directory(SettingsFile().toStdString()));
}

TEST_F(StoredSettings, UnwritableStoreIsReportedAndTriedAgainAtDestruction) {
  TMainISPForm& f = Start();
  QDir().mkpath(SettingsFile());
  f.close();
  EXPECT_FALSE(f.isVisible());
  form.reset();
  ASSERT_EQ(boxes.shown.size(), 2u);
  for (const auto& box : boxes.shown) {
    EXPECT_EQ(box.text, "The settings cannot be written to " + SettingsFile().toStdString() + ".");
  }
}

TEST_F(StoredSettings, GarbageInTheFileNeverStopsTheProgram) {
  const std::string garbage("\x00\x01[[[TMainISPForm\n=\xff\xfe\nComComboBox1_Tag\n", 34);
  WriteSettings(garbage);
  TMainISPForm& f = Start({"/Kavel"});
  EXPECT_EQ(f.Port().Port(), "COM1");
  EXPECT_TRUE(f.Port().Connected());
  CloseAndDestroy();
  EXPECT_TRUE(boxes.shown.empty());
  // What could not be read is replaced by the values of this run.
  const std::string s = Settings();
  EXPECT_NE(s.find("[TMainISPForm]\nComComboBox1_Tag=0\n"), std::string::npos) << s;
  EXPECT_NE(s.find("Visible=0\n"), std::string::npos);
}

TEST(SettingsPlace, PerUserFileUnderTheConfigHome) {
  QWidget w;
  TFormStorage storage(w, {});
  EXPECT_EQ(storage.FileName().toStdString(),
            std::string(getenv("XDG_CONFIG_HOME")) + "/KAVEL/ISP.conf");
}

TEST(OntoScreen, ReachableWindowsStayAndLostOnesComeBack) {
  const QList<QRect> two{QRect(0, 0, 1280, 1024), QRect(1280, 0, 1920, 1080)};
  const QRect w(100, 100, 507, 600);
  EXPECT_EQ(BringOntoScreen(w, two), w);
  EXPECT_EQ(BringOntoScreen(w.translated(2000, 0), two), w.translated(2000, 0));  // second screen
  EXPECT_EQ(BringOntoScreen(w.translated(-400, 0), two), w.translated(-400, 0));  // grip visible
  EXPECT_EQ(BringOntoScreen(w.translated(0, -115), two).topLeft(), QPoint(100, 0));
  EXPECT_EQ(BringOntoScreen(w.translated(5000, 50), two).topLeft(), QPoint(3200 - 507, 150));
  EXPECT_EQ(BringOntoScreen(w, {}), w);
}

}  // namespace
}  // namespace kavel::test
