// What the command line says when a command is over: the one result line on standard output
// (or one JSON object a port with --json), the reasons of port errors in words, and a chip's
// refusal in the terms of the image.
#pragma once

#include <string>
#include <vector>

#include "cli/CliArgs.h"
#include "image/HexBinList.h"
#include "isp/IspOperations.h"

namespace kavel::cli {

// What one run on one port did.
struct TRunFacts {
  const TCliArgs* args = nullptr;
  std::string port;
  TIspStatus status;  // the outcome: skOutputFailed when the work was done but an output was not
  TIspStatus work;    // the command's own outcome, whatever became of its outputs
  bool fileWritten = true;  // read: the flash went into its file
  int exit = 0;
  double seconds = 0;                  // from opening the port to the end
  std::string speed;                   // bit/s of the last confirmed synchronization; "" none
  const THexBinList* image = nullptr;  // the checked image, when the command has one
  bool verified = false;               // the image was read back equal
  TIspOperations::TVerifyReport verify;
  std::vector<std::string> statusLines;  // info, status: "Key: value"
};

// The line that says what the command did; "" when it did not succeed (its messages said
// why) or when its results are its lines already (info, status). When only an output failed:
// what was done, but what was not written and why.
std::string ResultLine(const TRunFacts& facts);
// One line of JSON: command, port, result, exit, message, seconds, speed and what the command
// has of file, records, bytes, verified, range, blocks, output, the status lines' values and
// the first difference a verification found.
std::string JsonObject(const TRunFacts& facts);
// text as a JSON string, quoted and escaped, and valid UTF-8 whatever its bytes: a byte that
// is no part of a well-formed UTF-8 character (a file name in another encoding, line noise)
// becomes \u00XX; well-formed characters pass as they are.
std::string Json(std::string_view text);
// "0000-FFFF": the range of read and blank-check.
std::string RangeText(const TCliArgs& args);
// Why a port could not be opened, in words, from the system's error number.
std::string PortErrorReason(int err, bool comName);
// A refusal of the chip in the image's terms (the record's addresses) with its likely cause;
// "" when there is nothing to add.
std::string ExplainRefusal(const TRunFacts& facts);

}  // namespace kavel::cli
