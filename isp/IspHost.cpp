#include "isp/IspHost.h"

#include <algorithm>

namespace kavel {

void TIspHost::IdleWait(TNAVOPort& port, int timeoutMs) {
  if (AwaitsAtWireSpeed()) {
    // No window: sleep on the port until input or the deadline.
    if (timeoutMs > 0) port.WaitForRxChar(timeoutMs);
    return;
  }
  ProcessEvents();
  const int nap = std::clamp(timeoutMs, 0, kEventPassMs);
  if (nap > 0) port.WaitForRxChar(nap);
}

}  // namespace kavel
