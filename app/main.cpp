// kavel-isp: the programmer's window.
#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <string>
#include <vector>

#include "app/HexMain.h"
#include "app/QtMessageService.h"
#include "version/Version.h"

namespace {

constexpr const char* kHelp = R"(Usage: kavel-isp [/Kavel] [/6 | /12] [/SAME] [/AUTO]
The in-system programmer's window for 80C51-family flash microcontrollers.

  /Kavel   the service view: every single operation and the timing options (any case)
  /6, /12  check or uncheck "Use 6-clock in full cycle" (/12 wins)
  /SAME    program the image file used last without asking for it (any case)
  /AUTO    as /SAME, and run the full cycle at start-up, then close (any case)

Every other argument is ignored. kavel-isp-cli does the same from a shell.
)";

}  // namespace

int main(int argc, char** argv) {
  // Asked from a shell, perhaps without a display: answered before any window is made.
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h" || arg == "--version" || arg == "-V") {
      const std::string text = arg == "--help" || arg == "-h" ? kHelp : std::string("kavel-isp ") + KAVEL_VERSION + "\n";
      return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0 ? 0 : 1;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("kavel-isp"));
  kavel::TQtMessageService boxes;
  kavel::SetMessageService(&boxes);

  kavel::TMainISPForm::TSetup setup;
  const QStringList arguments = QApplication::arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) setup.args.push_back(arguments[i].toStdString());

  int rc = 0;
  {
    kavel::TMainISPForm form(std::move(setup));
    form.ShowForm();
    rc = QApplication::exec();
  }
  kavel::SetMessageService(nullptr);
  return rc;
}
