// The files the command line writes besides its results: the trace files' names, whether an
// output may be written at all (never over the image or a port), and writing a file whole so
// that a failure leaves what was there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/CliPorts.h"
#include "image/CheckedImage.h"
#include "cli/CliStatus.h"

namespace kavel::cli {

// The trace file of each port: the name given, or with several ports that name + "." + the
// port's last path element, with the port's place in the list in front of it where two
// ports would share a name.
std::vector<std::string> TracePaths(const std::string& trace, const std::vector<std::string>& ports);

// Whether the output files (the trace files, the file read writes) may be written: done, or
// rkUsage saying why one must not be: it is the image, a port's device, another of them (the
// same name, or the same file by device and inode), a directory, or no regular file at all
// (a FIFO, a device). Opens nothing.
TRunStatus OutputConflict(const std::vector<std::string>& outputs, const std::string& image,
                          const std::vector<TPortArg>& ports);

// The flash bytes of start.. as the file format wants them: Intel HEX (16-byte data records
// on 16-byte boundaries, none where every byte is FF, then the end record) or raw bytes.
std::string FlashFileText(const std::vector<std::uint8_t>& bytes, std::uint16_t start, TImageFormat format);
// Writes text as a whole to the file path leads to (through symbolic links): into a new file
// beside that one, on disk before it takes the name, so that a failure leaves whatever was
// there before and a crash leaves the old file or the new. A file replaced keeps its mode
// (and its owner and group, where the process may give them); a new one is made with 0666
// less the umask. Done, or rkOutputFailed saying what went wrong.
TRunStatus WriteWholeFile(const std::string& path, const std::string& text);

}  // namespace kavel::cli
