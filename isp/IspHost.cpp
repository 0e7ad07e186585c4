#include "isp/IspHost.h"

#include <algorithm>

namespace kavel {

void TIspHost::IdleWait(TNAVOPort& port, int timeoutMs) {
  ProcessEvents();
  const int nap = std::clamp(timeoutMs, 0, kEventPassMs);
  if (nap > 0) port.WaitForRxChar(nap);
}

}  // namespace kavel
