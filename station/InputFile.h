// The files the station's tools read as their input (a job, a serial list): only a regular
// file, of a bounded size, read whole before anything is made of it. A FIFO, a directory or a
// device is refused at once, without a byte read or a writer waited for.
#pragma once

#include <cstddef>
#include <string>

namespace kavel::station {

// Reads the whole of path (a link followed) into bytes: at most limit bytes, a file that grows
// past it while it is read included. Never blocks: a FIFO is opened without waiting for its
// writer and refused. Done: "". Otherwise why, in words that follow the file's name: "is a
// FIFO, not a regular file", "holds more than 1 MB", "cannot be read: Permission denied".
std::string ReadInputFile(const std::string& path, std::size_t limit, std::string& bytes);

}  // namespace kavel::station
