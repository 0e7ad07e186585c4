#include "link/LineTermios.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

#include "link/Transient.h"

// <sys/ioctl.h> would pull in glibc's termios definitions, which collide with the
// kernel's; the prototype is all we need from it.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace kavel {
namespace {

int Termios2(int fd, unsigned long request, struct termios2& t) {
  return RetryTransient([&] { return ioctl(fd, request, &t) == 0 ? 0 : errno; });
}

}  // namespace

int GetLineTermios(int fd, TLineTermios& out) {
  struct termios2 t {};
  if (int err = Termios2(fd, TCGETS2, t)) return err;
  out.bitsPerSecond = t.c_ospeed;
  switch (t.c_cflag & CSIZE) {
    case CS5: out.dataBits = 5; break;
    case CS6: out.dataBits = 6; break;
    case CS7: out.dataBits = 7; break;
    default: out.dataBits = 8; break;
  }
  if (!(t.c_cflag & PARENB)) {
    out.parity = TLineParity::None;
  } else if (t.c_cflag & CMSPAR) {
    out.parity = (t.c_cflag & PARODD) ? TLineParity::Mark : TLineParity::Space;
  } else {
    out.parity = (t.c_cflag & PARODD) ? TLineParity::Odd : TLineParity::Even;
  }
  out.parityCheck = (t.c_iflag & INPCK) != 0;
  out.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
  out.hardwareFlow = (t.c_cflag & CRTSCTS) != 0;
  out.xonXoffOut = (t.c_iflag & IXON) != 0;
  out.xonXoffIn = (t.c_iflag & IXOFF) != 0;
  out.xonChar = t.c_cc[VSTART];
  out.xoffChar = t.c_cc[VSTOP];
  out.raw = !(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(t.c_oflag & OPOST) &&
            !(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IGNBRK | BRKINT | PARMRK));
  return 0;
}

int SetLineTermios(int fd, const TLineTermios& s) {
  struct termios2 t {};
  if (int err = Termios2(fd, TCGETS2, t)) return err;

  t.c_iflag = 0;
  if (s.parityCheck) t.c_iflag |= INPCK;
  if (s.xonXoffOut) t.c_iflag |= IXON;
  if (s.xonXoffIn) t.c_iflag |= IXOFF;
  t.c_oflag = 0;
  t.c_lflag = 0;

  t.c_cflag = CREAD | CLOCAL | BOTHER;
  switch (s.dataBits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
  }
  switch (s.parity) {
    case TLineParity::None: break;
    case TLineParity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case TLineParity::Even: t.c_cflag |= PARENB; break;
    case TLineParity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case TLineParity::Space: t.c_cflag |= PARENB | CMSPAR; break;
  }
  if (s.stopBits >= 2) t.c_cflag |= CSTOPB;
  if (s.hardwareFlow) t.c_cflag |= CRTSCTS;
  // Input speed: the CIBAUD field set to BOTHER as well, so both directions use c_ispeed/c_ospeed.
  t.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
  t.c_cflag |= static_cast<tcflag_t>(BOTHER) << IBSHIFT;
  t.c_ispeed = s.bitsPerSecond;
  t.c_ospeed = s.bitsPerSecond;

  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  t.c_cc[VSTART] = s.xonChar;
  t.c_cc[VSTOP] = s.xoffChar;

  return Termios2(fd, TCSETS2, t);
}

std::uint32_t GetLineSpeed(int fd) {
  struct termios2 t {};
  if (Termios2(fd, TCGETS2, t) != 0) return 0;
  return t.c_ospeed;
}

}  // namespace kavel
