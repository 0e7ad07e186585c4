// A job: what a line programs and how, prepared by its engineer in a TOML file that the
// operator's tools take as it stands (kavel-isp-cli --job FILE, and the station window).
//
//   operation = "cycle"              # or "program"
//   image = "firmware.hex"           # beside the job file unless a path says otherwise
//   sha256 = "9847...5137a"          # the released image's, as sha256sum prints it
//   ports = ["COM1", "COM2"]
//   baud = 115200                    # leave it out to search the speed
//   controller = "none"              # auto (the default) or none
//   boot-entry = "dtr-rts"           # invert-dtr, invert-rts, run-after = true
//   expect-device = "C2"
//   serial = "7FFC:be32"             # serial-name = "W-1742", serial-first = 1000
//   db = "postgresql://line@db-host/production"   # or an SQLite file, beside the job file
//   station = "line-2"
//   operator = "ann"                 # who runs the boards, in each one's row
//   lot = "W-1742"
//
// The reader knows the keys and their types, and puts the files a job names beside it; what
// a value means is the command line's to judge, which names the key's line when it refuses one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "station/StationStatus.h"

namespace kavel::station {

// One key of the job and its values as text: "baud" {"115200"}, "run-after" {"true"},
// "ports" {"COM1", "COM2"}.
struct TJobKey {
  std::string key;
  std::vector<std::string> values;
  int line = 0;                    // where the key stands in the file
};

struct TJob {
  std::string path;                 // the job file, as given
  std::string operation;            // cycle or program
  std::string image;                // the image file, its folder the job's when relative
  std::string sha256;               // lower case
  std::vector<std::string> ports;
  std::vector<TJobKey> keys;        // every key but operation and image, in the file's order
};

// The largest job file read: a job is some lines of keys.
inline constexpr std::size_t kMaxJobBytes = std::size_t{1} << 20;

// Reads and checks the job file: a regular file of at most kMaxJobBytes (ReadInputFile), TOML,
// known keys only, each of its type, the required ones there (operation, image, sha256,
// ports). Done, or ssBadJob saying "FILE:LINE: KEY: what is wrong" (a missing key: "FILE: KEY
// is missing"; a file that cannot be read: "the job FILE is a FIFO, not a regular file").
TStationStatus LoadJob(const std::string& path, TJob& job);

}  // namespace kavel::station
