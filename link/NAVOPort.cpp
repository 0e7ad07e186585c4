#include "link/NAVOPort.h"

#include "link/EComPort.h"
#include "link/NAVOTimer.h"

#include <algorithm>
#include <cstdint>

namespace kavel {

TNAVOPort::TNAVOPort(int portNumber, int answerTimeout, std::unique_ptr<TComDevice> device)
    : TCustomComPort(std::move(device)),
      m_answerTimeout(std::clamp(answerTimeout, 0, kMaxAnswerTimeout)) {
  SetBaudRate(br9600);
  SetDataBits(dbEight);
  SetParity(TComParity{prNone, false});
  SetStopBits(sbOneStopBit);
  SetBuffer(TComBuffer{1024, 1024});
  TComFlowControl flow;
  flow.OutCTSFlow = false;
  flow.ControlDTR = dtrDisable;
  flow.ControlRTS = rtsDisable;
  flow.XonXoffOut = false;
  flow.XonXoffIn = false;
  flow.XonChar = 17;
  flow.XoffChar = 19;
  SetFlowControl(flow);
  SetTimeouts(TComTimeouts{20, 40, 100, 1000});
  SetPort("COM" + std::to_string(portNumber));
}

TKtnOutcome TNAVOPort::PurgeQuietly() {
  try {
    PurgeBuffers(true, true);
  } catch (const EComPort& e) {
    return {TKtnResult::krPortFailed, e.what()};
  }
  return {TKtnResult::krOk, {}};
}

TKtnRead TNAVOPort::ReadByteTimed(int timeoutMs) {
  try {
    timeoutMs = std::max(timeoutMs, kMinWaitMs);
    std::uint8_t byte = 0;
    std::size_t got = 0;
    if (BytesWaiting() > 0) {
      got = ReceiveBytes(&byte, 1);
    } else if (WaitForRxChar(timeoutMs)) {
      got = ReceiveBytes(&byte, 1);
    }
    return got == 1 ? TKtnRead::Byte(byte) : TKtnRead::Failed(TKtnResult::krNoByte);
  } catch (const EComPort& e) {
    return TKtnRead::Failed(TKtnResult::krPortFailed, e.what());
  }
}

}  // namespace kavel
