#include "app/ComLed.h"

#include <QPainter>
#include <QRadialGradient>

namespace kavel {

TComLed::TComLed(QWidget* parent) : QAbstractButton(parent) {
  setCheckable(true);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::TabFocus);
  SetLit(false);
}

void TComLed::SetLit(bool lit) {
  setChecked(lit);
  setAccessibleDescription(lit ? tr("Port open") : tr("Port closed"));
  update();
}

void TComLed::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(2, 2, -2, -2);
  const QColor core = Lit() ? QColor(255, 230, 0) : QColor(110, 100, 20);
  QRadialGradient glow(r.center() - QPointF(r.width() / 6, r.height() / 6), r.width() / 2);
  glow.setColorAt(0, core.lighter(Lit() ? 160 : 130));
  glow.setColorAt(1, core);
  p.setPen(QPen(QColor(60, 55, 10), 1));
  p.setBrush(glow);
  p.drawEllipse(r);
  if (hasFocus()) {
    p.setPen(QPen(palette().highlight().color(), 1, Qt::DotLine));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
  }
}

}  // namespace kavel
