// TFormStorage: keeps the window's position and a list of its properties between runs, in
// the per-user settings store. On Linux that is the INI file $XDG_CONFIG_HOME/KAVEL/ISP.conf
// (QSettings, organization KAVEL, application ISP), section [TMainISPForm]. All values are
// strings. Qt orders the keys of a section alphabetically in the file and writes "(" and ")"
// of a key as %28 and %29; the names as the program reads and writes them are unchanged.
#pragma once

#include <QList>
#include <QRect>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

class QSettings;
class QWidget;

namespace kavel {

// A settings store that cannot be read or written.
class EFormStorage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the store needs to know of the screens.
struct TScreenMetrics {
  QSize size;              // of the primary screen, in pixels: the suffix "(WxH)"
  int pixelsPerInch = 96;
  QList<QRect> workAreas;  // the usable area of every screen
};
using TScreenMetricsSource = std::function<TScreenMetrics()>;
// The metrics of the running application's screens.
TScreenMetrics CurrentScreenMetrics();

// One stored property: "Component.Property", stored under "Component_Property".
struct TStoredProp {
  enum TKind { pkInteger, pkText, pkBoolean };
  QString name;
  TKind kind = pkText;
  std::function<QString()> get;  // decimal, "True"/"False", or the text
  std::function<void(const QString&)> set;  // given a decimal, "True"/"False", or the text
};

class TFormStorage {
 public:
  static constexpr int kVersion = 0;

  // fileName: an INI file to use instead of the per-user store (tests). window: whose
  // position is kept; it outlives the storage.
  TFormStorage(QWidget& window, std::vector<TStoredProp> props, QString fileName = {},
               TScreenMetricsSource screens = CurrentScreenMetrics);
  ~TFormStorage();

  // Reads the section: the window's position (only when it was stored at the same pixels
  // per inch; a position off every screen is brought back onto one), then the properties in
  // order. Throws EFormStorage when the store cannot be read; nothing is then marked
  // restored, so nothing will be saved over it.
  void RestoreSettings();
  // Writes the section, when it was restored in this run. destroying: the save happens as
  // the window is destroyed, which "Visible" records as "1" (else "0"). Throws EFormStorage
  // when the store cannot be written; it then does not count as saved.
  void SaveSettings(bool destroying = false);

  bool Restored() const { return m_restored; }
  bool Saved() const { return m_saved; }
  // The file the settings live in.
  QString FileName() const;

 private:
  std::unique_ptr<QSettings> Open() const;
  void RestorePlacement(QSettings& s, const TScreenMetrics& screen);
  void RestoreProps(QSettings& s);

  QWidget& m_window;
  std::vector<TStoredProp> m_props;
  QString m_fileName;
  TScreenMetricsSource m_screens;
  bool m_restored = false;
  bool m_saved = false;
};

// Removes leading and trailing characters up to the blank (blanks and control characters).
QString TrimBlanks(const QString& text);

// The rectangle moved, keeping its size, so that a strip of its top edge lies on one of the
// work areas; unchanged when it already does or there are none.
QRect BringOntoScreen(const QRect& frame, const QList<QRect>& workAreas);

}  // namespace kavel
