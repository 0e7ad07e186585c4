// The command line of kavel-isp-cli, parsed and checked before anything touches a port.
#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliCommandTable.h"
#include "cli/CliPorts.h"
#include "image/CheckedImage.h"
#include "cli/CliStatus.h"
#include "link/BootEntry.h"
#include "station/Serial.h"
#include "station/Stats.h"

namespace kavel::cli {

struct TCliArgs {
  std::vector<TPortArg> ports;     // as given, each decided once; COM1 when none is given
  std::string baud = "9600";
  bool baudGiven = false;          // --baud pins the speed; else the fastest that works
  int delay = 60;
  int retries = 2;                 // program, cycle: a data record spoiled by noise goes again
  bool noConfirm = false;
  bool yes = false;
  bool quiet = false;
  bool verbose = false;            // -v: the wire trace on standard error
  bool json = false;               // one JSON object a port instead of the result line
  bool events = false;             // --events: with --json, the steps, progress and number before it
  // --stop-words: how a run stopped by the signal (SIGINT, SIGTERM, SIGHUP) says so, in place
  // of "by Ctrl-C" ... ("by the operator (Esc)").
  std::map<int, std::string> stopWords;
  bool sixClock = false;
  std::string trace;
  std::optional<TImageFormat> format;  // --format: the image's format, whatever its name
  std::string job;                 // --job FILE: the options, ports, command and image it holds
  // The options the job gave (and the command line did not), by name, each with where:
  // "--serial-list" -> "job.toml:9: serial-list".
  std::map<std::string, std::string, std::less<>> fromJob;
  bool help = false;
  bool version = false;
  std::string command;              // the command's name as given
  TCommandId id = ciNone;           // the command (ciNone for a name no command has)
  std::string file;                // program, cycle, erase --for
  bool eraseAll = false;           // erase all
  std::bitset<16> eraseBlocks;     // erase BLOCK...
  int securityBit = 0;             // security 1|2|3
  std::string output;              // read: the file the flash goes into
  bool rangeGiven = false;         // --range, for read and blank-check
  std::uint16_t rangeStart = 0x0000, rangeEnd = 0xFFFF;
  bool noVerify = false;           // program, cycle: no reading back
  bool noErase = false;            // program: the blocks the image touches are not erased first
  bool all = false;                // verify, program: read all back, not only up to the first 1 KB that differs
  bool eraseGiven = false;         // program --erase: said, though it is what program does
  bool retriesGiven = false;       // --retries
  std::vector<TModemStep> bootEntry;  // --boot-entry: the chip made ready over DTR and RTS
  bool invertDtr = false, invertRts = false;  // --invert-dtr, --invert-rts
  bool runAfter = false;           // --run-after: the chip reset into its application at the end
  bool controllerGiven = false;    // --controller auto|none
  bool controllerNone = false;     // --controller none: the line has no communication controller
  std::optional<std::uint8_t> expectDevice;  // --expect-device
  std::string expectSha256;        // --expect-sha256: the image file's digest, lower case
  bool portsGiven = false;         // --port was given (log: the rows of those ports)
  bool pin = false;                // ports --pin: an entry for every name the default rule gives
  bool requirePinned = false;      // --require-pinned: no COM name that only the default rule gives
  // The production station: the log of every board (program, cycle, verify, erase) and the
  // serial numbers.
  std::string db;                  // --db FILE|URL; "" for the default file
  bool noDb = false;               // --no-db: record nothing
  std::string serial;              // --serial: ADDR[:FORMAT] (program, cycle), or N (log)
  std::string serialName = "default";  // --serial-name
  std::int64_t serialFirst = 1;    // --serial-first
  bool serialNamed = false;        // --serial-name or --serial-first given
  std::string serialList;          // --serial-list FILE: the numbers are the file's, in its order
  std::int64_t serialStep = 1;     // --serial-step: the counter goes up by so much a board
  bool serialKeep = false;         // --serial-keep: a board that holds a number keeps it
  std::optional<station::TSerialPlace> serialPlace;  // program, cycle: where --serial puts the number
  std::optional<std::int64_t> serialNumber;           // log --serial
  std::string since;               // log --since, as the rows hold it (UTC)
  std::string until;               // log --until: rows started before it (UTC)
  std::string station;             // --station: the station's name in the log ("" for the host name)
  std::string operatorName;        // --operator
  std::string lot;                 // --lot: the work order
  bool stationNamed = false;       // --station, --operator or --lot given
  bool csv = false;                // log --csv
  bool stats = false;              // log --stats: the figures instead of the rows
  std::vector<station::TStatsBy> statsBy;  // log --stats --by: the keys, in the order given
  std::vector<std::string> results;  // log --result: the rows of these results only
  bool flush = false;              // log --flush: the spooled rows sent to their database
};

// True for the commands whose every run is recorded in the station's log.
bool CommandLogged(const TCliArgs& args);

// Parses argv (without the program name) into out. Done, or rkUsage with the usage error's
// message. Checks everything that can be checked without a port or a file.
TRunStatus ParseCliArgs(const std::vector<std::string>& argv, TCliArgs& out);

// status, its words led by where the job gave option ("job.toml:9: serial-list: ") when a job
// gave it; as it is otherwise (done, or an option of the command line's own).
TRunStatus AtJobKey(const TCliArgs& args, std::string_view option, TRunStatus status);

// True when the command asks the operator something (the jumper prompt of the cycle).
bool CommandAsks(const TCliArgs& args);
// True for the commands whose purpose is to learn something from the chip: they always await
// its replies, --no-confirm or not.
bool CommandLearns(const TCliArgs& args);

// The text of --help (CliUsage.cpp).
extern const char* const kUsage;

// Every option's names as the command line takes them ("--port", "-p" ...), and every command's.
std::vector<std::string> OptionNames();
std::vector<std::string> CommandNames();

}  // namespace kavel::cli
