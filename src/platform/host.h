// Host identity and system information: the operating-system queries behind the host helpers of
// common/host_identity.h. This layer only fetches what the system knows; the order of the
// queries, buffer limits, substitutes and text formats belong to the helpers above it.
//
// Two capabilities, each process-wide and replaceable by tests (platform/fake/fake_host.h):
//   HostSystem      program file, version note, name resolution, host names, resource counts,
//                   the process list and accounts;
//   SessionQueries  the per-session questions about the session this process runs in.
// All operations are thread-safe, never throw and report failure as false.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorla::platform {

// A process opened for queries. Opaque to callers: kInvalidProcessHandle (all bits set) means no
// process, kNullProcessHandle a process that was found but could not be opened. Any other value
// must be released with HostSystem::CloseProcess of the HostSystem that opened it.
using ProcessHandle = uintptr_t;
inline constexpr ProcessHandle kInvalidProcessHandle = ~ProcessHandle{0};
inline constexpr ProcessHandle kNullProcessHandle = 0;

// One entry of a name-resolution answer.
struct ResolvedAddress {
  bool is_ipv4 = false;
  uint32_t ipv4 = 0;  // network order (first octet in the lowest-addressed byte); 0 unless is_ipv4
};

// Counts for the resource report; a count that the system cannot supply is 0.
struct ResourceUsage {
  uint32_t process_handles = 0;      // open file descriptors of this process
  uint64_t process_working_set = 0;  // resident size of this process, bytes
  uint64_t physical_total = 0;       // bytes
  uint64_t physical_available = 0;   // bytes
  uint32_t system_handles = 0;       // file handles allocated system-wide
  uint32_t system_threads = 0;       // threads system-wide
};

struct ProcessEntry {
  uint32_t pid = 0;
  // The executable's file name without folder: the basename of the program file when it can be
  // read, else the kernel's (15-character) command name.
  std::u16string exe_name;
};

// Version numbers in the order major, minor, build, revision.
using FileVersion = std::array<uint32_t, 4>;

class HostSystem {
 public:
  virtual ~HostSystem() = default;

  // Full path of the running program file, of any length.
  virtual bool ModuleFilePath(std::u16string& path) = 0;

  // The version numbers embedded in the program file at `path` at build time. Reads only the
  // file's headers and its note sections. False when the file cannot be read, is not a program
  // file of this platform, or carries no version.
  virtual bool ReadFileVersion(const std::u16string& path, FileVersion& version) = 0;

  // Resolves `host` (UTF-8 name or dotted address) for TCP stream sockets over IPv4 with
  // `service`; the answer's entries in the resolver's order. Blocks for as long as the resolver
  // takes. False when resolution fails.
  virtual bool ResolveIPv4Stream(const std::string& host, const std::string& service,
                                 std::vector<ResolvedAddress>& out) = 0;

  // The computer's fully qualified DNS name; false when it cannot be determined.
  virtual bool FullyQualifiedName(std::u16string& name) = 0;
  // The computer's host name as the sockets layer knows it (UTF-8).
  virtual bool HostName(std::string& name) = 0;

  virtual ResourceUsage ReadResourceUsage() = 0;

  // Running processes in ascending pid order. False when the list cannot be read.
  virtual bool SnapshotProcesses(std::vector<ProcessEntry>& out) = 0;
  // The executable names that count as the desktop shell of a session (compared without regard
  // to case by the caller).
  virtual std::vector<std::u16string> DesktopShellNames() = 0;
  // Opens `pid` for queries: kNullProcessHandle when it is gone or cannot be opened. The handle
  // keeps naming that process: once it has exited, queries through the handle fail.
  virtual ProcessHandle OpenProcessForQuery(uint32_t pid) = 0;
  // The user id that owns the process.
  virtual bool ProcessUserId(ProcessHandle process, uint32_t& uid) = 0;
  // kNullProcessHandle and kInvalidProcessHandle are ignored.
  virtual void CloseProcess(ProcessHandle process) = 0;

  // The account name (without domain) of user `uid` on the local system.
  virtual bool AccountName(uint32_t uid, std::u16string& name) = 0;
  // The user principal name of the account this program runs under.
  virtual bool UserPrincipalName(std::u16string& name) = 0;
  // The account name of the account this program runs under.
  virtual bool CurrentUserName(std::u16string& name) = 0;
};

// The client address of a session: an address family (2 = IPv4) and 20 address bytes; for IPv4
// the octets are bytes 2 to 5, in order.
struct ClientAddressRecord {
  uint32_t family = 0;
  std::array<uint8_t, 20> address{};
};

inline constexpr uint16_t kProtocolConsole = 0;
inline constexpr uint16_t kProtocolRemoteDesktop = 2;
inline constexpr uint32_t kConnectStateActive = 0;
inline constexpr uint32_t kConnectStateDisconnected = 4;

// Questions about the session that this process runs in, each answered afresh (nothing cached),
// each able to fail on its own.
class SessionQueries {
 public:
  virtual ~SessionQueries() = default;
  virtual bool ClientProtocolType(uint16_t& type) = 0;  // kProtocol...
  virtual bool ConnectState(uint32_t& state) = 0;       // kConnectState...
  virtual bool SessionId(uint32_t& id) = 0;
  virtual bool ClientHardwareId(uint32_t& id) = 0;
  virtual bool ClientAddress(ClientAddressRecord& record) = 0;
  virtual bool ClientName(std::u16string& name) = 0;
  virtual bool UserName(std::u16string& name) = 0;
};

// The process-wide instances: the system's unless a test installed others. Installing is
// thread-safe, but the installed object must outlive every call that may still use it.
HostSystem& GetHostSystem();
void SetHostSystemForTesting(HostSystem* host);  // nullptr restores the system's
SessionQueries& GetSessionQueries();
void SetSessionQueriesForTesting(SessionQueries* queries);

// The system's own implementations, for tests that exercise them directly.
HostSystem& SystemHost();
SessionQueries& SystemSessionQueries();

}  // namespace vorla::platform
