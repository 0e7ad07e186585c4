// Claims on port-directory entries. The port directory is the user's own; a program that
// puts an entry there for a while (the simulated chip does) claims it with a file beside it,
// "COM2" + kClaimSuffix, that names the entry's target and is write-locked (an open file
// description lock) for as long as the claimant lives. The lock dies with the claimant, even
// under SIGKILL, so a claim left behind is recognised as stale:
//   - the programmer ignores an entry with a stale claim (it is neither listed nor opened:
//     its pseudo-terminal number may belong to a stranger's terminal by now), and re-checks
//     a live claim after opening, before touching the line;
//   - the next claimant replaces a stale entry; an entry without a claim is the user's and is
//     never replaced or removed without being told to.
// A claim applies only while the entry still leads where the claim says; an entry that the
// user has pointed elsewhere is the user's again.
#pragma once

#include <optional>
#include <string>

namespace kavel {

inline constexpr const char* kClaimSuffix = ".kavel-claim";

enum class TClaimState { csNone, csLive, csStale };

struct TTakenClaim;

class TEntryClaim {
 public:
  TEntryClaim() = default;
  ~TEntryClaim();
  TEntryClaim(TEntryClaim&& other) noexcept;
  TEntryClaim& operator=(TEntryClaim&& other) noexcept;
  TEntryClaim(const TEntryClaim&) = delete;
  TEntryClaim& operator=(const TEntryClaim&) = delete;

  // The claim on the entry at entryPath, as it stands now. Never throws; reads one small file
  // and queries its lock, opens nothing else.
  static TEntryClaim Inspect(const std::string& entryPath);

  // Claimant side: writes a new claim on entryPath for target and locks it; the claim file
  // appears already locked, replacing any earlier (stale) one. original: the user's link
  // target that the claimant replaced and puts back when it releases ("" for none).
  // The claim; or, when the file cannot be written or locked, none and what failed.
  static TTakenClaim Take(const std::string& entryPath, const std::string& target,
                          const std::string& original);

  TClaimState State() const { return m_state; }
  // For a claim found live: whether it is still held now, on the very claim file inspected
  // (a claim file is never reused, so a claimant that ended cannot seem to come back).
  bool StillHeld() const;
  const std::string& Target() const { return m_target; }
  const std::string& Original() const { return m_original; }
  long Pid() const { return m_pid; }
  // For a claim taken by Take: true while the claim file in the directory is still this one.
  bool StillOurs() const;
  // Claimant side: removes the claim file if it is still this one, and lets the lock go.
  void Release();

 private:
  int m_fd = -1;
  TClaimState m_state = TClaimState::csNone;
  std::string m_claimPath;
  std::string m_target;
  std::string m_original;
  long m_pid = 0;
};

// What TEntryClaim::Take came to.
struct TTakenClaim {
  std::optional<TEntryClaim> claim;  // nothing on failure
  std::string error;                 // on failure: what could not be done, and why
};

// The target of the symlink at path; "" when it is not a symlink or cannot be read.
std::string ReadLinkText(const std::string& path);

}  // namespace kavel
