// Who and where this workstation is: the program file and its version, the computer's name and
// IPv4 address, name resolution, the remote-desktop client of the current session, the logged-on
// user, event identifiers and a short resource report.
//
// Free functions over the host capabilities of platform/host.h. None keeps state between calls
// (the fallback random generator of NewEventId aside), none throws; all are reentrant and may be
// called from any thread. Only GetLocalComputerIdentity logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/status_codes.h"
#include "platform/host.h"

namespace vorla {

// The remote-desktop client of the session this program runs in. Construct it empty; filled by
// GetRemoteSessionInfo.
struct RemoteSessionInfo {
  bool is_remote = false;  // the session is not an active console session
  uint32_t session_id = 0;
  uint32_t client_hardware_id = 0;  // reported by the client, or derived from its address
  std::u16string client_name;
  std::u16string client_address;  // "%d.%d.%d.%d"
  std::u16string user_name;
  uint32_t connect_state = 0;  // 0 = active; anything else: not active

  bool operator==(const RemoteSessionInfo&) const = default;
};

// Full path of the running program file; empty when it cannot be read. The path is held in a
// buffer of 260 characters: a path that does not fit (260 characters or more) gives empty text
// rather than a cut, wrong path.
std::u16string GetModuleFilePath();

// Appends major, minor, build and revision of the file at `path` (exactly four numbers) and
// returns true; appends nothing and returns false when the file carries no readable version.
bool GetFileVersionNumbers(const std::u16string& path, std::vector<int32_t>& numbers);

// The first IPv4 address of `name` (a host name or dotted address) in network order: the first
// octet in the lowest-addressed byte, ready for a socket address. 0 when the name cannot be
// resolved or has no IPv4 address. Blocks for as long as the resolver takes.
uint32_t ResolveHostIPv4(std::u16string_view name);

// The computer's fully qualified name (else its host name) and that name's IPv4 address
// (network order, 0 when it has none). When no name can be had at all, logs an error and leaves
// both outputs unchanged.
void GetLocalComputerIdentity(std::u16string& name, uint32_t& address);

// "%d.%d.%d.%d" of an address in host order (first octet in the most significant byte).
std::u16string FormatIPv4(uint32_t address);

// A fresh event identifier "EVT_%08x%06x": the current time (seconds since 1970, low 32 bits)
// and 24 random bits.
std::u16string NewEventId();

// Fills `out` with `n` cryptographically random bytes; false when it cannot.
using RandomBytesSource = bool (*)(uint8_t* out, size_t n);
// Installs the random source of NewEventId (nullptr removes it). Without a source, or when it
// fails, NewEventId falls back to a 15-bit pseudo-random generator, so its six-digit part is
// then at most 007fff. Thread-safe.
void SetEventIdRandomSource(RandomBytesSource source);

// The resource report written into logs when a worker thread cannot be started:
// "Process:\n\tHandles = ...\n..." (six lines of counts; a count that is unavailable is 0).
std::u16string GetResourceReport();

// Fills `info` for the current session. Returns true when the session is remote (is_remote),
// false when it is an active console session or the session cannot be queried. Fields whose
// query fails keep their values.
bool GetRemoteSessionInfo(RemoteSessionInfo& info);

// The desktop shell process of the logged-on user: the first running process, in ascending pid
// order, whose executable name matches one of platform::HostSystem::DesktopShellNames (without
// regard to case). kInvalidProcessHandle when none runs or the processes cannot be listed;
// kNullProcessHandle when the match could not be opened. Release any other value with
// platform::GetHostSystem().CloseProcess.
platform::ProcessHandle OpenShellProcess();

// The interactively logged-on user's name: with `use_upn`, the user principal name of the
// program's account; without it, the owner of the desktop shell (empty when no shell runs); the
// program's own account when the chosen way fails. Returns 0, or 5 with an empty name when no
// name could be obtained.
Status GetLoggedOnUserName(std::u16string& name, bool use_upn);

}  // namespace vorla
