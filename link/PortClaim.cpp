#include "link/PortClaim.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kavel {
namespace {

constexpr std::size_t kMaxClaimSize = 8192;

flock WholeFile(short type) {
  flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end, however long
  lock.l_pid = 0;  // required for open file description locks
  return lock;
}

// Whether someone (another open file description, in this process or another) holds a
// write lock on the file; a pure query that takes nothing.
bool LockedByOther(int fd) {
  flock lock = WholeFile(F_WRLCK);
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

std::string ValueOf(const std::string& text, const std::string& key) {
  const std::string prefix = key + "=";
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, prefix.size(), prefix) == 0)
      return text.substr(at + prefix.size(), end - at - prefix.size());
    at = end + 1;
  }
  return {};
}

bool SameFile(int fd, const std::string& path) {
  struct stat a {}, b {};
  return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

}  // namespace

std::string ReadLinkText(const std::string& path) {
  char buffer[4096];
  ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  if (n < 0 || static_cast<std::size_t>(n) == sizeof buffer) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

TEntryClaim::~TEntryClaim() {
  if (m_fd >= 0) close(m_fd);
}

TEntryClaim::TEntryClaim(TEntryClaim&& other) noexcept { *this = std::move(other); }

TEntryClaim& TEntryClaim::operator=(TEntryClaim&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) close(m_fd);
    m_fd = std::exchange(other.m_fd, -1);
    m_state = std::exchange(other.m_state, TClaimState::csNone);
    m_claimPath = std::move(other.m_claimPath);
    m_target = std::move(other.m_target);
    m_original = std::move(other.m_original);
    m_pid = other.m_pid;
  }
  return *this;
}

TEntryClaim TEntryClaim::Inspect(const std::string& entryPath) {
  TEntryClaim claim;
  const std::string claimPath = entryPath + kClaimSuffix;
  const int fd = open(claimPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return claim;
  claim.m_fd = fd;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return TEntryClaim{};
  std::string text(kMaxClaimSize, '\0');
  const ssize_t n = read(fd, text.data(), text.size());
  if (n <= 0) return TEntryClaim{};
  text.resize(static_cast<std::size_t>(n));
  claim.m_target = ValueOf(text, "target");
  claim.m_original = ValueOf(text, "original");
  claim.m_pid = std::strtol(ValueOf(text, "pid").c_str(), nullptr, 10);
  // The claim speaks for the entry only while the entry still leads where it says.
  if (claim.m_target.empty() || ReadLinkText(entryPath) != claim.m_target) return TEntryClaim{};
  claim.m_claimPath = claimPath;
  claim.m_state = LockedByOther(fd) ? TClaimState::csLive : TClaimState::csStale;
  return claim;
}

TTakenClaim TEntryClaim::Take(const std::string& entryPath, const std::string& target,
                              const std::string& original) {
  if (target.find('\n') != std::string::npos || original.find('\n') != std::string::npos)
    return {std::nullopt, "cannot record a link target with a line break in it"};
  const std::string claimPath = entryPath + kClaimSuffix;
  const std::string temporary = claimPath + ".new" + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return {std::nullopt, "cannot write " + temporary + ": " + std::strerror(errno)};
  TEntryClaim claim;
  claim.m_fd = fd;
  const std::string text = "pid=" + std::to_string(getpid()) + "\ntarget=" + target +
                           "\noriginal=" + original + "\n";
  flock lock = WholeFile(F_WRLCK);
  // Locked before it takes the claim's name, so that it is never seen unheld.
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      fcntl(fd, F_OFD_SETLK, &lock) != 0 || rename(temporary.c_str(), claimPath.c_str()) != 0) {
    const int err = errno;
    unlink(temporary.c_str());
    return {std::nullopt, "cannot write " + claimPath + ": " + std::strerror(err)};
  }
  claim.m_state = TClaimState::csLive;
  claim.m_claimPath = claimPath;
  claim.m_target = target;
  claim.m_original = original;
  claim.m_pid = getpid();
  return {std::move(claim), {}};
}

bool TEntryClaim::StillHeld() const { return m_fd >= 0 && LockedByOther(m_fd); }

bool TEntryClaim::StillOurs() const { return m_fd >= 0 && SameFile(m_fd, m_claimPath); }

void TEntryClaim::Release() {
  if (m_fd < 0) return;
  if (StillOurs()) unlink(m_claimPath.c_str());
  close(m_fd);
  m_fd = -1;
  m_state = TClaimState::csNone;
}

}  // namespace kavel
