// A board's serial number for a run given --serial: drawn (by this process, or by the parent
// that draws for several ports), or with --serial-keep the one the board holds kept, and the
// image with the number in the place of the image.
#pragma once

#include "cli/CliCommands.h"
#include "cli/CliDraw.h"
#include "cli/CliRun.h"
#include "cli/CliStation.h"
#include "image/HexBinList.h"
#include "isp/IspStatus.h"

namespace kavel::cli {

// --serial, once the chip has answered (its device id read) and before anything is erased:
// the board's number drawn, or with --serial-keep the number's bytes read from the board,
// which keeps a number this log handed out from the same source, a blank board (or one
// whose flash may not be read) drawing the next. The image with the number goes in the
// place of the image. Not ok ends the run with nothing written: the read failed, or the
// number could not be had (command.ownFailure).
TIspStatus NumberTheBoard(TCommandRun& command, const TPortRun& run, TBoardRecord& record, TDrawChannel& channel,
                          THexBinList& numbered, const THexBinList*& image);

}  // namespace kavel::cli
