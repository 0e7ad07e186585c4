#include "link/AnyComDevice.h"

#include "link/ComNames.h"
#include "link/NetComDevice.h"
#include "link/PosixComDevice.h"

namespace kavel {

int TAnyComDevice::Open(const std::string& portName) {
  if (m_inner) m_inner->Close();
  std::optional<std::string> address;
  if (m_devicePath.empty()) {
    address = LooksLikeNetAddress(portName) ? std::optional(portName) : TPortMap::FromEnvironment().NetAddress(portName);
  }
  if (address) {
    m_inner = std::make_unique<TNetComDevice>(*address);
  } else if (!m_devicePath.empty()) {
    m_inner = std::make_unique<TPosixComDevice>(m_devicePath);
  } else {
    m_inner = std::make_unique<TPosixComDevice>();
  }
  return m_inner->Open(portName);
}

std::unique_ptr<TComDevice> MakeComDevice() { return std::make_unique<TAnyComDevice>(); }

}  // namespace kavel
