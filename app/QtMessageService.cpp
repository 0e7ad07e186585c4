#include "app/QtMessageService.h"

#include <algorithm>
#include <memory>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QString>

namespace kavel {

namespace {

QMessageBox::StandardButton StandardFor(int id) {
  switch (id) {
    case kIdCancel: return QMessageBox::Cancel;
    case kIdAbort: return QMessageBox::Abort;
    case kIdRetry: return QMessageBox::Retry;
    case kIdIgnore: return QMessageBox::Ignore;
    case kIdYes: return QMessageBox::Yes;
    case kIdNo: return QMessageBox::No;
    default: return QMessageBox::Ok;
  }
}

QMessageBox::Icon IconFor(unsigned style) {
  switch (style & kMbIconMask) {
    case kMbIconStop: return QMessageBox::Critical;
    case kMbIconQuestion: return QMessageBox::Question;
    case kMbIconExclamation: return QMessageBox::Warning;
    case kMbIconInformation: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;  // no icon, and the user icon the program never sets
  }
}

// A lone CR or a CR LF breaks the line like a LF does.
QString LineBreaks(const std::string& text) {
  QString s = QString::fromStdString(text);
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return s;
}

}  // namespace

QMessageBox* TQtMessageService::MakeBox(const TMessageBoxRequest& request) {
  auto* box = new QMessageBox(QApplication::activeWindow());
  box->setWindowModality(Qt::ApplicationModal);
  box->setWindowTitle(QString::fromStdString(request.caption));
  box->setTextFormat(Qt::PlainText);
  box->setText(LineBreaks(request.text));
  box->setIcon(IconFor(request.style));
  const std::vector<int> ids = LayoutButtonIds(request.style);
  for (int id : ids) box->addButton(StandardFor(id));
  if (request.style & kMbHelp) box->addButton(QMessageBox::Help);
  box->setDefaultButton(StandardFor(DefaultButtonId(request.style)));
  // Closing the box (Escape, the close box) counts as Cancel, or as the only button.
  if (std::find(ids.begin(), ids.end(), kIdCancel) != ids.end()) {
    box->setEscapeButton(QMessageBox::Cancel);
  } else if (ids.size() == 1) {
    box->setEscapeButton(StandardFor(ids.front()));
  }
  return box;
}

int TQtMessageService::ResultId(const QMessageBox& box, unsigned style) {
  const QAbstractButton* clicked = box.clickedButton();
  const std::vector<int> ids = LayoutButtonIds(style);
  for (int id : ids) {
    if (clicked && clicked == box.button(StandardFor(id))) return id;
  }
  return std::find(ids.begin(), ids.end(), kIdCancel) != ids.end() ? kIdCancel : ids.back();
}

int TQtMessageService::Show(const TMessageBoxRequest& request) {
  QMessageBox* box = MakeBox(request);
  int id = 0;
  // Help asks for help and never closes the box: show it again until another button is used.
  do {
    box->exec();
  } while (box->clickedButton() && box->clickedButton() == box->button(QMessageBox::Help));
  id = ResultId(*box, request.style);
  delete box;
  return id;
}

void TQtMessageService::Sound(unsigned /*iconStyle*/) {
  // The platform has one alert sound for every kind of message.
  QApplication::beep();
}

}  // namespace kavel
