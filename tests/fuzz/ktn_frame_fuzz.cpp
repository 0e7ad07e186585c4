// libFuzzer target for the controller's reply receiver: any bytes from the line, with the
// receive's time running out at any point. Checks what must hold whatever comes: the receive
// ends (at the latest on a failed read), a frame has exactly the expected data and is called
// good only when its sum is right, and without a frame it was ended by a late byte that is no
// lead-in byte.
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "link/KTNFrames.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kavel;
  if (size < 2) return 0;
  const std::size_t length = data[0] % 16;  // data bytes expected
  const std::size_t expiredFrom = data[1];  // bytes from this one on come after the time
  TFrameReceiver receiver(length);
  std::optional<TKtnResult> result;
  int last = -1;
  bool lastExpired = false;
  for (std::size_t i = 2; i < size && !result; ++i) {
    last = data[i];
    lastExpired = i - 2 >= expiredFrom;
    result = receiver.Feed(TKtnRead::Byte(data[i]), lastExpired);
  }
  if (!result) {
    // The line went quiet: the next read fails and ends the receive.
    result = receiver.Feed(TKtnRead::Failed(TKtnResult::krNoByte), true);
    Check(result == TKtnResult::krNoByte && !receiver.Framed());
    return 0;
  }
  Check(!receiver.Feed(TKtnRead::Byte(0x42), false).has_value());  // an ended receive takes nothing more
  if (receiver.Framed()) {
    Check(*result == TKtnResult::krOk || *result == TKtnResult::krChecksum);
    Check(receiver.Data().size() == length);
    const bool sumRight = KtnChecksum(receiver.ReplyCode(), receiver.Data()) == last;
    Check((*result == TKtnResult::krOk) == sumRight);
  } else {
    Check(*result == TKtnResult::krNoFrame && lastExpired && last != 0x42 && receiver.ReplyCode() == 0);
  }
  return 0;
}
