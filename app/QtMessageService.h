// The message-box service of the window: Qt's modal QMessageBox with the style's icon,
// buttons and default button, owned by the application's active window.
#pragma once

#include "app/MessageBoxes.h"

class QMessageBox;

namespace kavel {

class TQtMessageService final : public TMessageService {
 public:
  int Show(const TMessageBoxRequest& request) override;
  void Sound(unsigned iconStyle) override;

  // Builds the box that Show runs (for tests that look at it without running it).
  static QMessageBox* MakeBox(const TMessageBoxRequest& request);
  // The identifier of the box's clicked button after it ran.
  static int ResultId(const QMessageBox& box, unsigned style);
};

}  // namespace kavel
