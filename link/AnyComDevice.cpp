#include "link/AnyComDevice.h"

#include "link/ComNames.h"
#include "link/NetComDevice.h"
#include "link/PosixComDevice.h"

namespace kavel {

TComDeviceContext ProgramDeviceContext() { return {TSystemClock::Instance(), PortDirectory()}; }

int TAnyComDevice::Open(const std::string& portName) {
  if (m_inner) m_inner->Close();
  const std::optional<std::string> address =
      LooksLikeNetAddress(portName) ? std::optional(portName) : TPortMap(m_context.portDir).NetAddress(portName);
  if (address) {
    m_inner = std::make_unique<TNetComDevice>(*address, m_context.clock);
  } else {
    m_inner = std::make_unique<TPosixComDevice>(m_context);
  }
  return m_inner->Open(portName);
}

std::unique_ptr<TComDevice> MakeComDevice(const TComDeviceContext& context) {
  return std::make_unique<TAnyComDevice>(context);
}

}  // namespace kavel
