#include "cli/CliRun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "cli/CliCommands.h"
#include "cli/CliTerminal.h"
#include "cli/CliProcess.h"
#include "cli/CliReport.h"
#include "isp/Session.h"
#include "isp/ScopeGuards.h"
#include "link/ComNames.h"
#include "link/EComPort.h"
#include "link/PortClaim.h"
#include "link/AnyComDevice.h"
#include "link/BootEntry.h"
#include "link/NetComDevice.h"
#include "link/TraceComDevice.h"

namespace kavel::cli {
namespace {

// The device behind the port argument: a COM name through the port directory, a network
// port's address, or else a device path.
std::unique_ptr<TComDevice> DeviceFor(const std::string& port) {
  if (IsComName(port) || LooksLikeNetAddress(port)) return MakeComDevice();
  return std::make_unique<TAnyComDevice>(port);
}

std::string LastElement(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The file at path, links followed; nothing when there is none.
std::optional<struct stat> FileAt(const std::string& path) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The folder that path's file is in, ending in '/'; "" for the current one.
std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

constexpr int kMaxLinks = 40;  // as many as the system itself follows in one path

// The file that writing to path reaches: through its symbolic links, however many, to the
// file the last one names, which need not exist yet; path itself when it is no link. 0, or
// the error that stopped the search.
int FollowLinks(const std::string& path, std::string& target) {
  target = path;
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (lstat(target.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISLNK(st.st_mode)) return 0;
    if (hops == kMaxLinks) return ELOOP;
    errno = 0;
    const std::string text = ReadLinkText(target);
    if (text.empty()) return errno != 0 ? errno : ENAMETOOLONG;
    target = text.front() == '/' ? text : FolderOf(target) + text;
  }
}

// What the command says when it has been carried out, in its own words.
std::string Describe(const TCliArgs& args) {
  if (args.command == "erase") return args.eraseAll ? "the erase" : "the block erase";
  return args.command;
}

}  // namespace

void Complain(const std::string& text) { WriteErr("kavel-isp-cli: " + text + "\n"); }

std::vector<std::string> TracePaths(const std::string& trace, const std::vector<std::string>& ports) {
  if (trace.empty()) return std::vector<std::string>(ports.size());
  if (ports.size() == 1) return {trace};
  std::vector<std::string> names;
  for (const std::string& p : ports) names.push_back(LastElement(p));
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool shared = std::count(names.begin(), names.end(), names[i]) > 1;
    paths.push_back(trace + "." + (shared ? std::to_string(i + 1) + "." : std::string()) + names[i]);
  }
  return paths;
}

std::optional<std::string> OutputConflict(const std::vector<std::string>& outputs, const std::string& image,
                                          const std::vector<std::string>& ports) {
  const TPortMap map = TPortMap::FromEnvironment();
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const std::string& path = outputs[i];
    if (path.empty()) continue;  // no such output
    for (std::size_t j = 0; j < i; ++j) {
      // A link that leads nowhere yet names the file it will make.
      const auto a = FileAt(path), b = FileAt(outputs[j]);
      std::string toA, toB;
      FollowLinks(path, toA);
      FollowLinks(outputs[j], toB);
      if (toA == toB || (a && b && SameFile(*a, *b)))
        return "cannot write both " + outputs[j] + " and " + path + ": they are the same file";
    }
    const auto file = FileAt(path);
    if (!file) continue;  // a new file is nothing else
    if (const auto img = FileAt(image); img && SameFile(*file, *img))
      return "cannot write " + path + ": it is the image file " + image;
    if (S_ISDIR(file->st_mode)) return "cannot write " + path + ": it is a directory";
    for (const std::string& port : ports) {
      const auto device = FileAt(IsComName(port) ? map.DevicePath(port) : port);
      if (device && SameFile(*file, *device)) return "cannot write " + path + ": it is the port " + port;
    }
  }
  return std::nullopt;
}

std::string FlashFileText(const std::vector<std::uint8_t>& bytes, std::uint16_t start, TImageFormat format) {
  if (format == TImageFormat::ifBin) return std::string(bytes.begin(), bytes.end());
  THexBinList records;
  const unsigned end = start + static_cast<unsigned>(bytes.size());
  for (unsigned from = start; from < end;) {
    const unsigned to = std::min(end, (from & ~0xFu) + 16);
    const auto first = bytes.begin() + (from - start), last = bytes.begin() + (to - start);
    if (std::any_of(first, last, [](std::uint8_t b) { return b != 0xFF; }))
      records.Add(0, kDataRecord, static_cast<std::uint16_t>(from), std::vector<std::uint8_t>(first, last));
    from = to;
  }
  records.Add(0, kEndOfFileRecord, 0, {});
  std::string text;
  for (const TImageRecord& r : records.Records()) text += r.text + "\n";
  return text;
}

namespace {

// A new file of our own beside target, made as any new file is (0666 less the umask, the
// folder's default ACL), open for writing; -1 with errno when none can be made.
int CreateBeside(const std::string& target, std::string& name) {
  static constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device random;
  for (int tries = 0; tries < 100; ++tries) {
    name = target + ".";
    for (int i = 0; i < 6; ++i) name += kLetters[random() % kLetters.size()];
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Writes all of text; 0, or the error.
int WriteAllTo(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace

std::optional<std::string> WriteWholeFile(const std::string& path, const std::string& text) {
  std::string target;
  const int linkError = FollowLinks(path, target);
  const std::string name = target == path ? path : path + " (a link to " + target + ")";
  const auto failed = [&name](int err) { return "cannot write " + name + ": " + std::strerror(err); };
  if (linkError != 0) return failed(linkError);
  struct stat old {};
  const bool replaces = stat(target.c_str(), &old) == 0;
  if (!replaces && errno != ENOENT) return failed(errno);
  // A device or a FIFO is never replaced by a file of the same name.
  if (replaces && !S_ISREG(old.st_mode)) return "cannot write " + name + ": it is not a regular file";

  std::string temporary;
  const int fd = CreateBeside(target, temporary);
  if (fd < 0) return failed(errno);
  int err = 0;
  if (replaces) {
    // The file keeps its owner and group where we may give them (only root may give a file
    // away), and its mode; a set-id bit only with the owner or group it was set for.
    const bool owned = fchown(fd, old.st_uid, old.st_gid) == 0;
    const bool grouped = owned || fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
    const mode_t kept = 01777 | (owned ? S_ISUID : 0) | (grouped ? S_ISGID : 0);
    if (fchmod(fd, old.st_mode & kept) != 0) err = errno;
  }
  if (err == 0) err = WriteAllTo(fd, text);
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temporary.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temporary.c_str());  // ours; the file of that name is left as it was
    return failed(err);
  }
  // The new name lasts a crash only once the folder is on disk too.
  const std::string folder = FolderOf(target);
  const int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || (fsync(dir) != 0 && errno != EINVAL)) err = errno;
  if (dir >= 0) close(dir);
  if (err != 0) return "cannot make sure that " + name + " is on disk: " + std::strerror(err);
  return std::nullopt;
}

namespace {

// The line's device, behind the recorders of the trace file (tracer: its recorder) and of -v.
std::unique_ptr<TComDevice> RecordedDevice(const TPortRun& run, std::FILE* traceFile, bool verbose,
                                           const TTraceComDevice*& tracer) {
  std::unique_ptr<TComDevice> device = run.device ? run.device() : DeviceFor(run.port);
  if (traceFile) {
    auto wrapped = std::make_unique<TTraceComDevice>(std::move(device), traceFile);
    tracer = wrapped.get();
    device = std::move(wrapped);
  }
  if (verbose) device = std::make_unique<TTraceComDevice>(std::move(device), stderr);
  return device;
}

// Opens the port by its name at the speed asked for; nothing, or why it cannot be opened.
std::optional<std::string> OpenPort(TNAVOPort& port, const std::string& name, const std::string& baud) {
  if (IsComName(name) || LooksLikeNetAddress(name)) port.SetPort(name);  // the name exactly as given
  port.SetBaudRate(BaudRateFromText(baud));
  try {
    port.OpenPort();
    return std::nullopt;
  } catch (const EComPort& e) {
    const std::string device = IsComName(name) ? TPortMap::FromEnvironment().DevicePath(name) : name;
    const std::string where = device.empty() || device == name ? name : name + " (" + device + ")";
    return "cannot open " + where + ": " + (e.WinCode() ? PortErrorReason(*e.WinCode(), IsComName(name)) : e.Words());
  }
}

// An output that was asked for and could not be written fails the run too: it is said as it
// is found, and the status names every one of them.
TIspStatus Unwritten(const TCliTerminal& terminal, const TIspStatus& status, const std::string& problem) {
  terminal.Say(problem);
  return status.kind == skOutputFailed ? TIspStatus::Make(skOutputFailed, status.detail + "; " + problem)
                                       : Worse(status, TIspStatus::Make(skOutputFailed, problem));
}

// The end of every run, whatever ended it: what went wrong in words, the result as lines or
// one JSON object, and the exit status.
int Conclude(const TCliArgs& args, const TCliTerminal& terminal, TRunFacts& facts, TIspStatus status,
             std::chrono::steady_clock::time_point started) {
  facts.status = status;
  facts.exit = ExitStatusOf(status, facts.stopSignal);
  facts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (status.kind != skOutputFailed) {  // an output that failed was said already
    for (const std::string& line : Explain(facts)) terminal.Say(line);
  }
  if (status.Ok() && facts.stopSignal != 0) {
    terminal.Say("stopped by " + SignalName(facts.stopSignal) + ", but only after " + Describe(args) +
                 " had been carried out to its end");
  }
  if (args.json) {
    terminal.PrintJson(JsonObject(facts));
  } else if (!args.quiet) {
    for (const auto& [key, value] : facts.values) terminal.Print(key + ": " + value);
    if (const std::string line = ResultLine(facts); !line.empty()) terminal.Print(line);
  }
  if (OutputError() != 0)
    status = Unwritten(terminal, status, std::string("cannot write the results to standard output: ") + std::strerror(OutputError()));
  return ExitStatusOf(status, facts.stopSignal);
}

}  // namespace

int RunOnPort(TCliArgs args, const TPortRun& run) {
  const auto started = std::chrono::steady_clock::now();
  TCliTerminal terminal(args, run.port, run.several);
  TRunFacts facts;
  facts.args = &args;
  facts.port = run.port;
  facts.image = run.image;
  // Closed after the port (declared before it), whatever path the run takes.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> traceFile(nullptr, &std::fclose);
  if (!run.trace.empty()) {
    traceFile.reset(std::fopen(run.trace.c_str(), "w"));
    if (!traceFile) {
      const std::string problem = "cannot write the trace file " + run.trace + ": " + std::strerror(errno);
      terminal.Say(problem);
      facts.work = TIspStatus::Make(skCancelled, "nothing was done");
      return Conclude(args, terminal, facts, TIspStatus::Make(skOutputFailed, problem + "; nothing was done"), started);
    }
  }
  const TTraceComDevice* tracer = nullptr;
  TNAVOPort port(0, 0, RecordedDevice(run, traceFile.get(), args.verbose, tracer));
  if (const auto problem = OpenPort(port, run.port, args.baud)) {
    facts.step = TStep::stOpen;
    facts.work = TIspStatus::Make(skPortFailed, *problem);
    return Conclude(args, terminal, facts, facts.work, started);
  }
  // The line as it was found, and the port let go, on every path.
  const TBaudRate found = port.BaudRate();
  TOnExit restore([&] {
    if (!port.Connected()) return;
    try {
      port.SetBaudRate(found);
    } catch (...) {
    }
    port.ClosePort();
  });
  TClock& clock = run.clock ? *run.clock : TSystemClock::Instance();
  TWireSpeedWait wait;
  TIspSession session(port, clock, wait, terminal);
  TCommandRun command{args, run, terminal, session, facts, {}};
  // The modem lines do what the operator would: before the command (a cycle makes the chip
  // ready after the controller's suspension instead of asking), and after a good one.
  const auto modemLines = [&](const std::vector<TModemStep>& steps) {
    try {
      RunModemSteps(port, clock, steps, args.invertDtr, args.invertRts);
    } catch (const EComPort& e) {
      throw EComPort(e.Code(), e.WinCode(), "on " + run.port);
    }
  };
  if (!args.bootEntry.empty()) terminal.UseBootEntry([&] { modemLines(args.bootEntry); });
  TIspStatus status;
  try {
    if (!args.bootEntry.empty() && args.command != "cycle") modemLines(args.bootEntry);
    if (const TCommand work = FindCommand(args.command)) status = work(command);
    if (status.Ok() && args.runAfter) {
      std::string problem;
      modemLines(*ParseModemSteps(kRunAfterReset, problem));
    }
  } catch (const EComPort& e) {
    status = TIspStatus::Make(skPortFailed, e.Words());
  } catch (const std::exception& e) {
    status = TIspStatus::Make(skRefused, e.what());
  }
  facts.stopSignal = StopSignal();
  facts.declined = terminal.Declined();
  facts.work = status;
  if (!command.fileProblem.empty()) {
    facts.fileWritten = false;
    status = Unwritten(terminal, status, command.fileProblem);
  }
  restore.Now();
  if (status.Ok() && args.command != "sync" && facts.speed) terminal.Note("line speed: " + *facts.speed + " bit/s");
  if (facts.controllerSuspended && status.Ok()) {
    terminal.Note("The communication controller on this line is suspended: resume it from its management program "
                  "when you are done.");
  } else if (facts.controllerSuspended) {
    terminal.Say("The communication controller on this line is still suspended: resume it from its management "
                 "program when you are done.");
  }
  if (traceFile) {
    int err = tracer ? tracer->TraceError() : 0;
    if (std::fclose(traceFile.release()) != 0 && err == 0) err = errno;
    if (err != 0) status = Unwritten(terminal, status, "cannot write the trace file " + run.trace + ": " + std::strerror(err));
  }
  return Conclude(args, terminal, facts, status, started);
}

}  // namespace kavel::cli
