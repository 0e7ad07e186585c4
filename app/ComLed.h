// TComLed: the yellow indicator lamp of the port, lit while the port is open. It is a
// button to assistive technology (name "Open/Close", checked while lit) and clicking it
// asks for the open/close toggle; it never changes its own state.
#pragma once

#include <QAbstractButton>

namespace kavel {

class TComLed : public QAbstractButton {
  Q_OBJECT
 public:
  explicit TComLed(QWidget* parent = nullptr);
  void SetLit(bool lit);
  bool Lit() const { return isChecked(); }
  QSize sizeHint() const override { return {22, 22}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void nextCheckState() override {}  // the port, not the click, decides
};

}  // namespace kavel
