#include "cli/CliFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "image/HexBinList.h"
#include "link/PortClaim.h"

namespace kavel::cli {
namespace {

// An output that must not be written: a usage error, found before any port is touched.
TRunStatus Refused(std::string why) { return TRunStatus::Make(rkUsage, std::move(why)); }
// An output that could not be written.
TRunStatus Unwritten(std::string why) { return TRunStatus::Make(rkOutputFailed, std::move(why)); }

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

}  // namespace

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

TRunStatus OutputConflict(const std::vector<std::string>& outputs, const std::string& image,
                          const std::vector<TPortArg>& ports) {
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
        return Refused("cannot write both " + outputs[j] + " and " + path + ": they are the same file");
    }
    const auto file = FileAt(path);
    if (!file) continue;  // a new file is nothing else
    if (const auto img = FileAt(image); img && SameFile(*file, *img))
      return Refused("cannot write " + path + ": it is the image file " + image);
    if (S_ISDIR(file->st_mode)) return Refused("cannot write " + path + ": it is a directory");
    // A FIFO would block the run until someone reads it; a device is no file to keep.
    if (!S_ISREG(file->st_mode)) return Refused("cannot write " + path + ": it is not a regular file (a FIFO or a device)");
    for (const TPortArg& port : ports) {
      const auto device = FileAt(port.device);
      if (device && SameFile(*file, *device)) return Refused("cannot write " + path + ": it is the port " + port.name);
    }
  }
  return TRunStatus::Done();
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

TRunStatus WriteWholeFile(const std::string& path, const std::string& text) {
  std::string target;
  const int linkError = FollowLinks(path, target);
  const std::string name = target == path ? path : path + " (a link to " + target + ")";
  const auto failed = [&name](int err) { return Unwritten("cannot write " + name + ": " + std::strerror(err)); };
  if (linkError != 0) return failed(linkError);
  struct stat old {};
  const bool replaces = stat(target.c_str(), &old) == 0;
  if (!replaces && errno != ENOENT) return failed(errno);
  // A device or a FIFO is never replaced by a file of the same name.
  if (replaces && !S_ISREG(old.st_mode)) return Unwritten("cannot write " + name + ": it is not a regular file");

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
  if (err != 0) return Unwritten("cannot make sure that " + name + " is on disk: " + std::strerror(err));
  return TRunStatus::Done();
}

}  // namespace kavel::cli
