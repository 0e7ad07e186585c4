#include "sim/SimLine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "link/Clock.h"
#include "link/LineTermios.h"

namespace kavel::sim {
namespace {

// Makes path a symlink to target, atomically replacing whatever link was there.
bool PlaceLink(const std::string& target, const std::string& path, std::string& error) {
  const std::string temporary = path + ".new" + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0 ||
      rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

const char* KindOf(mode_t mode) {
  if (S_ISREG(mode)) return "a file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device node";
  return "not a link";
}

}  // namespace

TSimLine::TSimLine() : m_origin(TSystemClock::Instance().NowMs()) {}

TSimLine::~TSimLine() {
  Stop();
  Unregister();
  if (m_master >= 0) close(m_master);
  if (m_slave >= 0) close(m_slave);
}

std::int64_t TSimLine::NowMs() const { return TSystemClock::Instance().NowMs() - m_origin; }

bool TSimLine::Open(std::string& error) {
  if (!m_wake.Ok()) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (ptsname_r(m_master, name, sizeof name) != 0) {
    error = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  m_slavePath = name;
  m_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (m_slave < 0) {
    error = "cannot open " + m_slavePath + ": " + std::strerror(errno);
    return false;
  }
  TLineTermios raw;  // 9600 8N1 raw until the program sets its own
  SetLineTermios(m_slave, raw);
  fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
  return true;
}

bool TSimLine::Register(const std::string& portDir, const std::string& comName, bool force,
                        std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(portDir, ec);
  if (ec) {
    error = "cannot create " + portDir + ": " + ec.message();
    return false;
  }
  const std::string entry = portDir + "/" + comName;
  std::string original;  // the user's link that this line stands in for
  struct stat st {};
  if (lstat(entry.c_str(), &st) == 0) {
    TEntryClaim claim = TEntryClaim::Inspect(entry);
    const std::string target = ReadLinkText(entry);
    if (claim.State() == TClaimState::csStale) {
      m_note = "replacing " + entry + ", left behind by a simulator that ended (process " +
               std::to_string(claim.Pid()) + ")";
      original = claim.Original();
    } else if (claim.State() == TClaimState::csLive) {
      if (!force) {
        error = entry + " is served by another simulator (process " +
                std::to_string(claim.Pid()) +
                "); choose another name with --port, or take it over with --force";
        return false;
      }
      m_note = "taking " + entry + " over from the simulator of process " +
               std::to_string(claim.Pid());
      original = claim.Original();
    } else if (!S_ISLNK(st.st_mode)) {
      error = entry + " is " + KindOf(st.st_mode) +
              " of yours, which the simulator never replaces; choose another name with --port";
      return false;
    } else if (!force) {
      error = entry + " is yours (it leads to " + target +
              "); the simulator leaves it alone. Choose another name with --port, or stand in "
              "for it until the simulator ends with --force";
      return false;
    } else {
      m_note = "standing in for " + entry + " (-> " + target + ") until the simulator ends";
      original = target;
    }
  }
  // The claim first, so that the entry is never seen without it.
  TTakenClaim taken = TEntryClaim::Take(entry, m_slavePath, original);
  if (!taken.claim) {
    error = std::move(taken.error);
    return false;
  }
  if (!PlaceLink(m_slavePath, entry, error)) {
    taken.claim->Release();
    return false;
  }
  m_claim = std::move(taken.claim);
  m_entryPath = entry;
  return true;
}

void TSimLine::Unregister() {
  if (!m_claim) return;
  if (m_claim->StillOurs() && ReadLinkText(m_entryPath) == m_slavePath) {
    std::string error;
    if (m_claim->Original().empty()) {
      unlink(m_entryPath.c_str());
    } else if (!PlaceLink(m_claim->Original(), m_entryPath, error)) {
      std::fprintf(stderr, "kavel-isp-sim: %s\n", error.c_str());
    }
  }
  m_claim->Release();  // after the entry: an entry is never left without its claim
  m_claim.reset();
  m_entryPath.clear();
}

void TSimLine::Log(char direction, std::uint32_t speed, const std::string& bytes) {
  if (!m_log || bytes.empty()) return;
  std::fputs((WireLogLine({NowMs(), direction, speed, bytes}) + "\n").c_str(), m_log);
  std::fflush(m_log);
}

void TSimLine::QueueDue(std::int64_t now) {
  std::stable_sort(m_pending.begin(), m_pending.end(),
                   [](const TSimOutput& a, const TSimOutput& b) { return a.atMs < b.atMs; });
  std::size_t due = 0;
  while (due < m_pending.size() && m_pending[due].atMs + m_latencyMs <= now) ++due;
  if (due == 0) return;
  const std::uint32_t lineSpeed = GetLineSpeed(m_master);
  std::string wire;
  for (std::size_t i = 0; i < due; ++i) {
    std::string bytes = m_pending[i].bytes;
    if (m_pending[i].bitsPerSecond != 0 && m_pending[i].bitsPerSecond != lineSpeed)
      for (auto& b : bytes) b = static_cast<char>(Garble(static_cast<std::uint8_t>(b)));
    wire += bytes;
  }
  m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(due));
  Log('<', lineSpeed, wire);
  const std::size_t room = kOutboxLimit - std::min(kOutboxLimit, m_outbox.size());
  if (wire.size() > room) {
    m_droppedUnlogged += wire.size() - room;
    m_dropped += wire.size() - room;
    wire.resize(room);
  }
  m_outbox += wire;
}

std::size_t TSimLine::SendableNow() {
  if (!m_paced) return m_outbox.size();
  // Up to two milliseconds ahead: the line is woken once a millisecond at most, and a wake-up
  // that comes late still finds bytes on their way, so that no line time is lost.
  const std::int64_t now = TSystemClock::Instance().NowUs();
  const std::int64_t byteUs = 10'000'000 / std::max<std::uint32_t>(GetLineSpeed(m_master), 1);
  m_lineFreeUs = std::max(m_lineFreeUs, now);
  return static_cast<std::size_t>(std::max<std::int64_t>(0, (now + 2000 - m_lineFreeUs) / byteUs + 1));
}

int TSimLine::PacedWaitMs() const {
  if (!m_paced || m_outbox.empty()) return -1;
  const std::int64_t aheadUs = m_lineFreeUs - 2000 - TSystemClock::Instance().NowUs();
  return static_cast<int>(std::max<std::int64_t>(1, (aheadUs + 999) / 1000));
}

void TSimLine::Flush() {
  while (!m_outbox.empty()) {
    const std::size_t sendable = std::min(SendableNow(), m_outbox.size());
    if (sendable == 0) break;
    ssize_t n = write(m_master, m_outbox.data(), sendable);
    if (n > 0 && m_paced)
      m_lineFreeUs += n * (10'000'000 / std::max<std::uint32_t>(GetLineSpeed(m_master), 1));
    if (n > 0) {
      m_outbox.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      break;  // the program is not reading: poll() says when it does
    } else {
      m_droppedUnlogged += m_outbox.size();
      m_dropped += m_outbox.size();
      m_outbox.clear();
    }
  }
  if (m_droppedUnlogged > 0 && m_outbox.empty()) {
    Log('!', 0, "dropped " + std::to_string(m_droppedUnlogged) +
                    " bytes: the line was full, the program did not read them");
    m_droppedUnlogged = 0;
  }
}

void TSimLine::HangUp() {
  // Closing every descriptor of the pair hangs the slave up, as an unplugged adapter would.
  if (m_slave >= 0) close(m_slave);
  if (m_master >= 0) close(m_master);
  m_slave = m_master = -1;
  m_hungUp = true;
  Log('!', 0, "hang-up");
}

void TSimLine::Run() {
  std::uint8_t buffer[512];
  while (m_master >= 0) {
    std::int64_t now = NowMs();
    for (auto* device : m_devices) device->Tick(now, m_pending);
    QueueDue(now);
    Flush();
    bool hangUp = m_pending.empty() && m_outbox.empty() &&
                  std::any_of(m_devices.begin(), m_devices.end(),
                              [](const TSimDevice* d) { return d->WantsHangUp(); });
    if (hangUp && m_hangUpAt < 0) m_hangUpAt = now + kHangUpLingerMs;
    if (hangUp && now >= m_hangUpAt) {
      HangUp();
      return;
    }
    std::int64_t next = hangUp ? m_hangUpAt : -1;
    for (const auto& p : m_pending) next = next < 0 ? p.atMs + m_latencyMs : std::min(next, p.atMs + m_latencyMs);
    for (const auto* device : m_devices) {
      const std::int64_t tick = device->NextTickMs();
      if (tick >= 0) next = next < 0 ? tick : std::min(next, tick);
    }
    int timeout = next < 0 ? -1 : static_cast<int>(std::max<std::int64_t>(next - now, 0));
    // Paced bytes wait for their time on the line, not for room in the pty.
    const int paced = PacedWaitMs();
    if (paced >= 0) timeout = timeout < 0 ? paced : std::min(timeout, paced);
    // The stop pipe is watched in every wait, so a stop request is seen at once.
    const short events = static_cast<short>(POLLIN | (m_outbox.empty() || paced >= 0 ? 0 : POLLOUT));
    pollfd fds[2] = {{m_master, events, 0}, {m_wake.Fd(), POLLIN, 0}};
    int r = poll(fds, 2, timeout);
    if (r < 0 && errno != EINTR) break;
    if (fds[1].revents && TakeAsked()) break;
    if (fds[0].revents & POLLIN) {
      ssize_t n = read(m_master, buffer, sizeof buffer);
      if (n > 0) {
        const std::uint32_t speed = GetLineSpeed(m_master);
        std::string bytes(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
        Log('>', speed, bytes);
        now = NowMs();
        for (std::uint8_t b : bytes)
          for (auto* device : m_devices) device->Receive(b, speed, now, m_pending);
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      // Cannot happen while we hold a slave descriptor; do not spin if it does.
      pollfd stop{m_wake.Fd(), POLLIN, 0};
      if (poll(&stop, 1, 50) > 0 && TakeAsked()) break;
    }
  }
  if (m_droppedUnlogged > 0) {
    Log('!', 0, "dropped " + std::to_string(m_droppedUnlogged) +
                    " bytes: the line was full, the program did not read them");
    m_droppedUnlogged = 0;
  }
}

bool TSimLine::TakeAsked() {
  const TSimWake::TAsked asked = m_wake.Take();
  for (int i = 0; i < asked.toggles && m_toggle; ++i) {
    // What the board was still to send, and what was on its way, go with it; the bytes
    // already in the pseudo-terminal are the program's.
    m_pending.clear();
    m_outbox.clear();
    Log('!', 0, m_toggle(NowMs()));
  }
  return asked.stop;
}

void TSimLine::Start() {
  m_thread = std::thread([this] { Run(); });
}

void TSimLine::RequestStop() noexcept { m_wake.RequestStop(); }

void TSimLine::Stop() {
  RequestStop();
  if (m_thread.joinable()) m_thread.join();
}

}  // namespace kavel::sim
