#include "isp/IspStatus.h"

#include "image/HexBinList.h"
#include "link/EComPort.h"

namespace kavel {

TIspStatus TIspStatus::FromReply(TReplyClass cls, std::string detail) {
  switch (cls) {
    case rcOk: return {skOk, cls, std::move(detail), -1, {}};
    case rcCrcError:
    case rcNotAllowed: return {skRefused, cls, std::move(detail), -1, {}};
    case rcNoAnswer: break;
  }
  return {skNoAnswer, rcNoAnswer, std::move(detail), -1, {}};
}

TIspStatus Worse(TIspStatus a, TIspStatus b) {
  if (!a.Ok()) return a;
  if (!b.Ok()) return b;
  return a.kind == skUnconfirmed ? a : b;
}

std::optional<TIspStatus> StatusOfCurrentException() {
  std::optional<TIspStatus> status;
  try {
    throw;
  } catch (const EComPort& e) {
    status = TIspStatus::Make(skPortFailed, e.Words());
  } catch (const EOperationStopped& e) {
    status = TIspStatus::Make(skStopped, e.what());
  } catch (const EImageError& e) {
    status = TIspStatus::Make(skBadImage, e.what());
  } catch (...) {
    return std::nullopt;
  }
  status->cause = std::current_exception();
  return status;
}

}  // namespace kavel
