// libFuzzer target for what a port server sends: any bytes, RFC 2217 (telnet) or raw TCP,
// given to the stream in pieces as a socket gives them (a piece sent over and over, as a
// flood), with the program's reads, commands, data and purges between. Checks what must hold
// whatever comes: the data held never above the cap, every byte of raw TCP held, read or
// dropped; the answers to the server's negotiation never more than what it sent; a speed only
// from an acknowledgement; a broken stream takes nothing more; the remarks within their cap.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "link/NetStream.h"
#include "link/Rfc2217.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kavel::TNetStream;
  FuzzedDataProvider in(data, size);
  const bool telnet = in.ConsumeBool();
  TNetStream stream(telnet);
  if (in.ConsumeBool()) stream.Offer();
  std::uint64_t came = 0, read = 0, purged = 0, answers = 0;
  while (in.remaining_bytes() > 0) {
    const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(1, 256);
    const int times = in.ConsumeIntegralInRange<int>(1, 256);
    const std::vector<std::uint8_t> piece = in.ConsumeBytes<std::uint8_t>(length);
    const bool broken = !stream.Broken().empty();
    const std::size_t heldBefore = stream.Buffered();
    const std::uint64_t droppedBefore = stream.Dropped();
    const std::optional<std::uint32_t> speedBefore = stream.Speed();
    const std::uint32_t speedAcks = stream.Acknowledged(kavel::rfc2217::kSetBaudRate);
    for (int i = 0; i < times; ++i) {
      const std::size_t out = stream.Outgoing().size();
      stream.Receive(piece.data(), piece.size());
      answers += stream.Outgoing().size() - out;
      came += piece.size();
      Check(stream.Buffered() <= TNetStream::kInputCap);
    }
    if (broken) Check(stream.Buffered() == heldBefore && stream.Dropped() == droppedBefore);
    if (stream.Speed() && stream.Speed() != speedBefore) {
      Check(stream.Acknowledged(kavel::rfc2217::kSetBaudRate) > speedAcks);
    }
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
      case 0: {  // the program reads
        std::vector<std::uint8_t> buffer(in.ConsumeIntegralInRange<std::size_t>(0, TNetStream::kInputCap + 1));
        const std::size_t held = stream.Buffered();
        const std::size_t got = stream.Take(buffer.data(), buffer.size());
        Check(got == std::min(held, buffer.size()) && stream.Buffered() == held - got);
        read += got;
        break;
      }
      case 1:  // a setting, and the wait for its answer begins
        stream.ClearAcknowledgements();
        stream.SendCommand(in.ConsumeIntegral<std::uint8_t>(), in.ConsumeBytesAsString(4));
        break;
      case 2: {  // a record for the chip
        const std::vector<std::uint8_t> record = in.ConsumeBytes<std::uint8_t>(32);
        stream.SendData(record.data(), record.size());
        break;
      }
      case 3:  // the socket took what waited
        stream.Sent(stream.Outgoing().size());
        break;
      case 4:  // a purge
        purged += stream.Buffered();
        stream.DiscardInput();
        break;
      default:  // the trace asks what happened
        Check(stream.TakeRemarks().size() <= kavel::TRemarks::kCap);
        break;
    }
  }
  Check(stream.TakeRemarks().size() <= kavel::TRemarks::kCap);
  Check(answers <= came);
  const std::uint64_t accounted = stream.Buffered() + read + purged + stream.Dropped();
  Check(telnet ? accounted <= came : accounted == came && answers == 0);
  return 0;
}
