// kavel-isp: the programmer's window.
#include <QApplication>
#include <QStringList>

#include <string>
#include <vector>

#include "app/HexMain.h"
#include "app/QtMessageService.h"

int main(int argc, char** argv) {
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
