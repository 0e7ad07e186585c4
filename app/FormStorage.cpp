#include "app/FormStorage.h"

#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QStringList>
#include <QWidget>

#include <array>
#include <optional>

#include "app/Shell.h"

namespace kavel {

namespace {

constexpr char kOrganization[] = "KAVEL";
constexpr char kApplication[] = "ISP";
constexpr char kSection[] = "TMainISPForm";
// The platform has no minimized icon position or remembered maximized position; -1 is what
// a window that was never minimized or maximized reports.
constexpr char kNoMinMaxPos[] = "-1,-1,-1,-1";
// Show states.
constexpr int kShowHidden = 0, kShowNormal = 1, kShowMinimized = 2, kShowMaximized = 3;

// A value as text: missing (or stored empty) gives def. An unquoted value with commas, as a
// hand-edited file may hold, comes back from Qt as a list; it is joined again.
QString ReadText(const QSettings& s, const QString& name, const QString& def) {
  if (!s.contains(name)) return def;
  const QVariant v = s.value(name);
  if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(QLatin1Char(','));
  return v.toString();
}

std::optional<std::int32_t> ParseInt(const QString& text) {
  return ParseInt32(TrimBlanks(text).toStdString());
}

int IntOr0(const QString& text) { return ParseInt(text).value_or(0); }

// A position value: four fields split at commas and blanks; a field that is missing or not
// an integer takes the default of its place.
std::array<int, 4> PositionFields(const QString& text, const std::array<int, 4>& defaults) {
  static const QRegularExpression kSeparators(QStringLiteral("[,\\s]+"));
  const QStringList parts = text.split(kSeparators, Qt::SkipEmptyParts);
  std::array<int, 4> fields = defaults;
  for (int i = 0; i < 4 && i < parts.size(); ++i) {
    if (auto v = ParseInt(parts[i])) fields[static_cast<std::size_t>(i)] = *v;
  }
  return fields;
}

QString Suffix(const QSize& size) {
  return QStringLiteral("(%1x%2)").arg(size.width()).arg(size.height());
}

// The suffixed value for this screen size, else the plain one; empty when neither is there.
QString ReadPosition(const QSettings& s, const QString& name, const QSize& screen) {
  QString text = ReadText(s, name + Suffix(screen), {});
  if (text.isEmpty()) text = ReadText(s, name, {});
  return text;
}

// "Component.Property" is stored as "Component_Property".
QString ValueName(const TStoredProp& prop) {
  QString name = prop.name;
  return name.replace(QLatin1Char('.'), QLatin1Char('_'));
}

int ShowCmd(const QWidget& w) {
  if (w.isMinimized()) return kShowMinimized;
  if (w.isMaximized()) return kShowMaximized;
  return w.isVisible() ? kShowNormal : kShowHidden;
}

}  // namespace

TScreenMetrics CurrentScreenMetrics() {
  TScreenMetrics m;
  if (const QScreen* primary = QGuiApplication::primaryScreen()) {
    m.size = primary->size();
    m.pixelsPerInch = qRound(primary->logicalDotsPerInch());
  }
  for (const QScreen* screen : QGuiApplication::screens()) m.workAreas << screen->availableGeometry();
  return m;
}

QString TrimBlanks(const QString& text) {
  qsizetype begin = 0, end = text.size();
  while (begin < end && text[begin].unicode() <= ' ') ++begin;
  while (end > begin && text[end - 1].unicode() <= ' ') --end;
  return text.mid(begin, end - begin);
}

QRect BringOntoScreen(const QRect& frame, const QList<QRect>& workAreas) {
  if (workAreas.isEmpty()) return frame;
  // Enough of the title bar to take hold of the window with the mouse.
  constexpr int kGripWidth = 40, kGripHeight = 20;
  const QRect grip(frame.left(), frame.top(), frame.width(), kGripHeight);
  for (const QRect& area : workAreas) {
    const QRect common = area.intersected(grip);
    if (common.width() >= std::min(kGripWidth, frame.width()) && common.height() >= kGripHeight) {
      return frame;
    }
  }
  // Onto the work area nearest to the stored place, as far inside it as the size allows.
  const QRect* nearest = &workAreas.front();
  long long best = -1;
  for (const QRect& area : workAreas) {
    const long long dx = std::max({area.left() - frame.left(), 0, frame.left() - area.right()});
    const long long dy = std::max({area.top() - frame.top(), 0, frame.top() - area.bottom()});
    const long long d = dx * dx + dy * dy;
    if (best < 0 || d < best) best = d, nearest = &area;
  }
  QRect moved = frame;
  const int left = std::clamp(frame.left(), nearest->left(),
                              std::max(nearest->left(), nearest->right() + 1 - frame.width()));
  const int top = std::clamp(frame.top(), nearest->top(),
                             std::max(nearest->top(), nearest->bottom() + 1 - frame.height()));
  moved.moveTo(left, top);
  return moved;
}

TFormStorage::TFormStorage(QWidget& window, std::vector<TStoredProp> props, QString fileName,
                           TScreenMetricsSource screens)
    : m_window(window), m_props(std::move(props)), m_fileName(std::move(fileName)),
      m_screens(std::move(screens)) {}

TFormStorage::~TFormStorage() = default;

std::unique_ptr<QSettings> TFormStorage::Open() const {
  auto s = m_fileName.isEmpty()
               ? std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             kOrganization, kApplication)
               : std::make_unique<QSettings>(m_fileName, QSettings::IniFormat);
  s->beginGroup(kSection);
  return s;
}

QString TFormStorage::FileName() const { return Open()->fileName(); }

void TFormStorage::RestoreSettings() {
  m_saved = false;
  std::unique_ptr<QSettings> s = Open();
  const QString version = ReadText(*s, QStringLiteral("FormVersion"), QStringLiteral("0"));
  if (s->status() != QSettings::NoError) {
    throw EFormStorage("The settings cannot be read from " + s->fileName().toStdString());
  }
  if (IntOr0(version) >= kVersion) {
    RestorePlacement(*s, m_screens());
    RestoreProps(*s);
  }
  m_restored = true;
}

void TFormStorage::RestorePlacement(QSettings& s, const TScreenMetrics& screen) {
  const QRect current = m_window.frameGeometry();
  // "Flags" concerns minimized windows only, which this window never restores to: not read.
  const QString minMax = ReadPosition(s, QStringLiteral("MinMaxPos"), screen.size);
  const QString norm = ReadPosition(s, QStringLiteral("NormPos"), screen.size);
  const int ppi = IntOr0(ReadText(s, QStringLiteral("PixelsPerInch"),
                                  QString::number(screen.pixelsPerInch)));
  if ((minMax.isEmpty() && norm.isEmpty()) || ppi != screen.pixelsPerInch) return;
  const std::array<int, 4> rect = PositionFields(
      norm, {current.left(), current.top(), current.left() + current.width(),
             current.top() + current.height()});
  // The border is fixed: only the stored left and top count, the size stays.
  QRect placed(rect[0], rect[1], current.width(), current.height());
  if (placed.isEmpty()) return;
  placed = BringOntoScreen(placed, screen.workAreas);
  m_window.move(placed.topLeft());
}

void TFormStorage::RestoreProps(QSettings& s) {
  for (const TStoredProp& prop : m_props) {
    const QString value = TrimBlanks(ReadText(s, ValueName(prop), prop.get()));
    if (s.status() != QSettings::NoError) return;  // the rest of the list stays as it is
    switch (prop.kind) {
      case TStoredProp::pkInteger:
        prop.set(QString::number(IntOr0(value)));
        break;
      case TStoredProp::pkBoolean:
        if (value.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) {
          prop.set(QStringLiteral("True"));
        } else if (value.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) {
          prop.set(QStringLiteral("False"));
        }
        break;
      case TStoredProp::pkText:
        prop.set(value);
        break;
    }
  }
}

void TFormStorage::SaveSettings(bool destroying) {
  if (!m_restored) return;
  const TScreenMetrics screen = m_screens();
  std::unique_ptr<QSettings> s = Open();
  const QRect frame = m_window.frameGeometry();
  const QString normPos = QStringLiteral("%1,%2,%3,%4")
                              .arg(frame.left())
                              .arg(frame.top())
                              .arg(frame.left() + frame.width())
                              .arg(frame.top() + frame.height());
  const QString suffix = Suffix(screen.size);
  s->setValue(QStringLiteral("FormVersion"), QString::number(kVersion));
  s->setValue(QStringLiteral("Flags"), QStringLiteral("0"));
  s->setValue(QStringLiteral("ShowCmd"), QString::number(ShowCmd(m_window)));
  s->setValue(QStringLiteral("PixelsPerInch"), QString::number(screen.pixelsPerInch));
  s->setValue(QStringLiteral("MinMaxPos") + suffix, kNoMinMaxPos);
  s->setValue(QStringLiteral("MinMaxPos"), kNoMinMaxPos);
  s->setValue(QStringLiteral("NormPos") + suffix, normPos);
  s->setValue(QStringLiteral("NormPos"), normPos);
  s->setValue(QStringLiteral("Visible"), destroying ? QStringLiteral("1") : QStringLiteral("0"));
  for (const TStoredProp& prop : m_props) {
    s->setValue(ValueName(prop), TrimBlanks(prop.get()));
  }
  s->sync();
  // A format error here only says that the old contents could not all be parsed; the file
  // has been written all the same.
  if (s->status() == QSettings::AccessError) {
    throw EFormStorage("The settings cannot be written to " + s->fileName().toStdString());
  }
  m_saved = true;
}

}  // namespace kavel
