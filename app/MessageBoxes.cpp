#include "app/MessageBoxes.h"

#include <iostream>

namespace kavel {

namespace {

class TStderrMessageService final : public TMessageService {
 public:
  int Show(const TMessageBoxRequest& request) override {
    std::cerr << "[" << request.caption << "] " << request.text << '\n';
    return DefaultButtonId(request.style);
  }
  void Sound(unsigned) override {}
};

TStderrMessageService g_stderrService;
TMessageService* g_service = &g_stderrService;

}  // namespace

std::string MessageCaption(TMessageKind kind, std::string_view customCaption) {
  switch (kind) {
    case mkWarning: return "Warning";
    case mkError: return "Error";
    case mkInformation: return "Information";
    case mkConfirmation: return "Confirm";
    case mkCustom: break;
  }
  return std::string(customCaption);
}

unsigned MessageBoxStyle(TMessageKind kind, TMessageButtons buttons) {
  unsigned style = 0;
  switch (kind) {
    case mkWarning: style = kMbIconExclamation | kMbDefButton2; break;
    case mkError: style = kMbIconStop; break;
    case mkInformation: style = kMbIconInformation; break;
    case mkConfirmation: style = kMbIconQuestion; break;
    case mkCustom: style = kMbUserIcon; break;
  }
  const bool yes = buttons.Contains(mbtYes), no = buttons.Contains(mbtNo);
  const bool ok = buttons.Contains(mbtOK), cancel = buttons.Contains(mbtCancel);
  if (buttons.Contains(mbtHelp)) style |= kMbHelp;
  if (yes && no) style |= cancel ? kMbYesNoCancel : kMbYesNo;
  if (ok && cancel) style |= kMbOkCancel;
  if (buttons.Contains(mbtAbort) && buttons.Contains(mbtRetry) && buttons.Contains(mbtIgnore)) {
    style |= kMbAbortRetryIgnore;
  }
  if (buttons.Contains(mbtRetry) && cancel) style |= kMbRetryCancel;
  return style;
}

TMessageService& MessageService() { return *g_service; }

void SetMessageService(TMessageService* service) {
  g_service = service ? service : &g_stderrService;
}

TMessageBoxRequest MessageBoxRequest(std::string_view text, TMessageKind kind,
                                     TMessageButtons buttons, std::string_view caption) {
  return {std::string(text), MessageCaption(kind, caption), MessageBoxStyle(kind, buttons)};
}

TMessageBoxRequest PlainBoxRequest(std::string_view text, std::string_view caption, TBoxRole role) {
  return {std::string(text), std::string(caption), kMbOk, role};
}

int ShowBox(const TMessageBoxRequest& request) {
  if (request.style & kMbIconMask) MessageService().Sound(request.style & kMbIconMask);
  return MessageService().Show(request);
}

int ShowMessageBox(std::string_view text, TMessageKind kind, TMessageButtons buttons,
                   std::string_view caption) {
  return ShowBox(MessageBoxRequest(text, kind, buttons, caption));
}

void ShowErrorBox(std::string_view text) { ShowMessageBox(text, mkError, {mbtOK}); }

void ShowPlainBox(std::string_view text, std::string_view caption) {
  ShowBox(PlainBoxRequest(text, caption));
}

std::vector<int> LayoutButtonIds(unsigned style) {
  switch (style & kMbLayoutMask) {
    case kMbOkCancel: return {kIdOk, kIdCancel};
    case kMbAbortRetryIgnore: return {kIdAbort, kIdRetry, kIdIgnore};
    case kMbYesNoCancel: return {kIdYes, kIdNo, kIdCancel};
    case kMbYesNo: return {kIdYes, kIdNo};
    case kMbRetryCancel: return {kIdRetry, kIdCancel};
    default: return {kIdOk};
  }
}

int DefaultButtonId(unsigned style) {
  const std::vector<int> ids = LayoutButtonIds(style);
  return (style & kMbDefButton2) && ids.size() > 1 ? ids[1] : ids[0];
}

}  // namespace kavel
