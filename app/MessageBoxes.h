// Message boxes. A box is described by a request (text, caption, style) and shown by a
// TMessageService: the window's, a terminal's, or a test's recorder. The operations hand
// every request to their host (TIspHost::Box); the window passes them on to the one
// replaceable service here, which also shows the window's own boxes, so that every box of
// the program takes one route and any operation can run without a person pressing OK.
//
// Boxes are described by a style word: an icon, a default button and a button layout,
// or-ed together. The values are those of the Win32 MessageBox flags (MB_ICONSTOP 0x10,
// MB_YESNO 4 ...), so that a style is the same number everywhere.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kavel {

// Icon styles.
inline constexpr unsigned kMbIconNone = 0x00;
inline constexpr unsigned kMbIconStop = 0x10;
inline constexpr unsigned kMbIconQuestion = 0x20;
inline constexpr unsigned kMbIconExclamation = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;
inline constexpr unsigned kMbUserIcon = 0x80;
inline constexpr unsigned kMbIconMask = 0xF0;
// Extra style: the second button is the default one.
inline constexpr unsigned kMbDefButton2 = 0x100;
// Button layouts.
inline constexpr unsigned kMbOk = 0;
inline constexpr unsigned kMbOkCancel = 1;
inline constexpr unsigned kMbAbortRetryIgnore = 2;
inline constexpr unsigned kMbYesNoCancel = 3;
inline constexpr unsigned kMbYesNo = 4;
inline constexpr unsigned kMbRetryCancel = 5;
inline constexpr unsigned kMbLayoutMask = 0x0F;
inline constexpr unsigned kMbHelp = 0x4000;

// Identifiers of the pressed button.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdAbort = 3;
inline constexpr int kIdRetry = 4;
inline constexpr int kIdIgnore = 5;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

enum TMessageKind : std::uint8_t { mkWarning, mkError, mkInformation, mkConfirmation, mkCustom };

enum TMessageButton : std::uint8_t {
  mbtYes = 0, mbtNo = 1, mbtOK = 2, mbtCancel = 3, mbtAbort = 4, mbtRetry = 5, mbtIgnore = 6,
  mbtHelp = 10,
};

// A set of TMessageButton members.
class TMessageButtons {
 public:
  constexpr TMessageButtons() = default;
  constexpr TMessageButtons(std::initializer_list<TMessageButton> members) {
    for (TMessageButton m : members) m_bits = static_cast<std::uint16_t>(m_bits | (1u << m));
  }
  constexpr bool Contains(TMessageButton m) const { return (m_bits >> m) & 1u; }

 private:
  std::uint16_t m_bits = 0;
};

// The caption of a kind (the caption argument for mkCustom).
std::string MessageCaption(TMessageKind kind, std::string_view customCaption);
// The style word of a kind and a button set: icon, extra style and layout.
unsigned MessageBoxStyle(TMessageKind kind, TMessageButtons buttons);

// What a box is for, for hosts that show it otherwise than as a box (a command line); the
// window shows every box alike.
enum class TBoxRole : std::uint8_t {
  brNote,     // anything else: a failure, a notice
  brSuccess,  // an operation says it was done
  brPrompt,   // the operator is asked to act (the jumper) before the operation goes on
};

struct TMessageBoxRequest {
  std::string text;     // "\r", "\n" and "\r\n" each break a line
  std::string caption;
  unsigned style = kMbOk;
  TBoxRole role = TBoxRole::brNote;
};

class TMessageService {
 public:
  virtual ~TMessageService() = default;
  // Shows a modal box and returns the pressed button's identifier (closing the box counts
  // as Cancel when there is one, else as the only or the last button).
  virtual int Show(const TMessageBoxRequest& request) = 0;
  // The system sound for an icon style.
  virtual void Sound(unsigned iconStyle) = 0;
};

// The service in use. Until one is installed: a service that writes boxes to standard error
// and answers with the default button, so that a program without a window never blocks.
TMessageService& MessageService();
// Installs service (not owned; it must outlive its use); nullptr puts back the default.
void SetMessageService(TMessageService* service);

// The request for a box of the kind with the buttons (caption by kind; caption is used only
// with mkCustom).
TMessageBoxRequest MessageBoxRequest(std::string_view text, TMessageKind kind,
                                     TMessageButtons buttons, std::string_view caption = {});
// The request for a box with the text and caption, an OK button and no icon.
TMessageBoxRequest PlainBoxRequest(std::string_view text, std::string_view caption,
                                   TBoxRole role = TBoxRole::brNote);

// Shows the request through the service in use, after the sound of its icon when it has one.
// Returns the button identifier.
int ShowBox(const TMessageBoxRequest& request);
// The box of the kind with the buttons, after the kind's sound. Returns the button identifier.
int ShowMessageBox(std::string_view text, TMessageKind kind, TMessageButtons buttons,
                   std::string_view caption = {});
// An error box with OK.
void ShowErrorBox(std::string_view text);
// A box with the text and caption, an OK button and no icon: the operations' boxes.
void ShowPlainBox(std::string_view text, std::string_view caption);

// The identifiers of a style's buttons, in the order they are shown (Help not included).
std::vector<int> LayoutButtonIds(unsigned style);

// The identifier of the default button of a style (the first button, or the second with
// kMbDefButton2).
int DefaultButtonId(unsigned style);

}  // namespace kavel
