#include "common/host_identity.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>

#include "common/byte_reader.h"
#include "common/format_string.h"
#include "common/logging.h"
#include "common/text.h"
#include "platform/clock.h"

namespace vorla {
namespace {

// Fixed buffer sizes the host names and user names are read into (characters, terminator
// included): a longer answer counts as a failed query.
constexpr size_t kModulePathBuffer = 260;
constexpr size_t kDnsNameBuffer = 256;
constexpr size_t kHostNameBuffer = 80;  // bytes
constexpr size_t kUserNameBuffer = 256;
constexpr size_t kAccountNameBuffer = 511;
// GetLoggedOnUserName's result when no name could be had (the system's access-denied code).
constexpr Status kStatusNoUserName = 5;

std::atomic<RandomBytesSource> g_random_source{nullptr};

// The fallback generator: 15 bits a draw, the classic linear congruential generator of C
// runtimes. Seeded once per process so that two processes do not share their sequence.
uint32_t Draw15() {
  static std::mutex mutex;
  static uint32_t state = [] {
    uint32_t seed = static_cast<uint32_t>(platform::GetClock().WallMillis());
    try {
      seed ^= std::random_device{}();
    } catch (...) {
      // The clock alone has to do.
    }
    return seed;
  }();
  std::lock_guard<std::mutex> lock(mutex);
  state = state * 214013u + 2531011u;
  return (state >> 16) & 0x7FFF;
}

uint64_t EventIdRandom() {
  if (const RandomBytesSource source = g_random_source.load(std::memory_order_acquire)) {
    uint8_t bytes[8] = {};
    if (source(bytes, sizeof(bytes))) {
      ByteReader r(bytes);
      uint64_t v = 0;
      r.U64(v);
      return v;
    }
  }
  const uint64_t high = Draw15();
  return (high << 32) | Draw15();
}

}  // namespace

std::u16string GetModuleFilePath() {
  std::u16string path;
  if (!platform::GetHostSystem().ModuleFilePath(path) || path.size() >= kModulePathBuffer)
    return {};
  return path;
}

bool GetFileVersionNumbers(const std::u16string& path, std::vector<int32_t>& numbers) {
  platform::FileVersion v{};
  if (!platform::GetHostSystem().ReadFileVersion(path, v)) return false;
  for (uint32_t n : v) numbers.push_back(static_cast<int32_t>(n));
  return true;
}

uint32_t ResolveHostIPv4(std::u16string_view name) {
  std::vector<platform::ResolvedAddress> list;
  if (!platform::GetHostSystem().ResolveIPv4Stream(ToUtf8(name), "80", list)) return 0;
  const auto it = std::find_if(list.begin(), list.end(),
                               [](const platform::ResolvedAddress& a) { return a.is_ipv4; });
  return it == list.end() ? 0 : it->ipv4;
}

void GetLocalComputerIdentity(std::u16string& name, uint32_t& address) {
  platform::HostSystem& host = platform::GetHostSystem();
  std::u16string fqdn;
  if (host.FullyQualifiedName(fqdn) && fqdn.size() < kDnsNameBuffer) {
    address = ResolveHostIPv4(fqdn);
    name = std::move(fqdn);
    return;
  }
  std::string host_name;
  if (host.HostName(host_name) && host_name.size() < kHostNameBuffer) {
    name = FromUtf8(host_name);
    address = ResolveHostIPv4(name);
    return;
  }
  LogStatus(kStatusInternalError, u"Failed to extract local computer name", EVENTLOG_ERROR_TYPE, 3);
}

std::u16string FormatIPv4(uint32_t address) {
  return FormatString(u"%d.%d.%d.%d", static_cast<int32_t>(address >> 24),
                      static_cast<int32_t>((address >> 16) & 0xFF),
                      static_cast<int32_t>((address >> 8) & 0xFF),
                      static_cast<int32_t>(address & 0xFF));
}

std::u16string NewEventId() {
  const uint64_t random = EventIdRandom();
  const auto seconds = static_cast<uint32_t>(platform::GetClock().WallSeconds());
  return FormatString(u"EVT_%08x%06x", seconds, static_cast<uint32_t>(random & 0xFFFFFF));
}

void SetEventIdRandomSource(RandomBytesSource source) {
  g_random_source.store(source, std::memory_order_release);
}

std::u16string GetResourceReport() {
  const platform::ResourceUsage u = platform::GetHostSystem().ReadResourceUsage();
  return FormatString(
      u"Process:\n\tHandles = %u\n\tMem = %ukB\nSystem:\n\tMemTotal = %uMB\n\tMemAvailable = "
      u"%uMB\n\tHandles = %d\n\tThreads = %u\n",
      u.process_handles, static_cast<uint32_t>(u.process_working_set >> 10),
      static_cast<uint32_t>(u.physical_total >> 20),
      static_cast<uint32_t>(u.physical_available >> 20), static_cast<int32_t>(u.system_handles),
      u.system_threads);
}

bool GetRemoteSessionInfo(RemoteSessionInfo& info) {
  platform::SessionQueries& q = platform::GetSessionQueries();
  uint16_t protocol = 0;
  if (!q.ClientProtocolType(protocol)) return false;
  uint32_t state = 0;
  info.connect_state = q.ConnectState(state) ? state : 0;
  if (protocol == platform::kProtocolConsole &&
      info.connect_state == platform::kConnectStateActive) {
    info.is_remote = false;
    return false;
  }
  // A disconnected console session counts as remote too: the callers treat both alike.
  info.is_remote = true;
  uint32_t id = 0;
  if (q.SessionId(id)) info.session_id = id;
  if (info.connect_state != platform::kConnectStateActive) return true;

  if (q.ClientHardwareId(id)) info.client_hardware_id = id;
  platform::ClientAddressRecord record;
  if (q.ClientAddress(record)) {
    const auto& a = record.address;
    info.client_address =
        FormatString(u"%d.%d.%d.%d", int32_t{a[2]}, int32_t{a[3]}, int32_t{a[4]}, int32_t{a[5]});
    // Clients that report no hardware id are named by the start of their address record: the
    // two bytes ahead of the IPv4 octets and the first two octets, little-endian.
    if (info.client_hardware_id == 0) {
      ByteReader r(a);
      uint32_t substitute = 0;
      r.U32(substitute);
      info.client_hardware_id = substitute;
    }
  }
  std::u16string text;
  if (q.ClientName(text)) info.client_name = text;
  if (q.UserName(text)) info.user_name = text;
  return true;
}

platform::ProcessHandle OpenShellProcess() {
  platform::HostSystem& host = platform::GetHostSystem();
  std::vector<platform::ProcessEntry> processes;
  if (!host.SnapshotProcesses(processes)) return platform::kInvalidProcessHandle;
  std::vector<std::u16string> shells = host.DesktopShellNames();
  for (auto& s : shells) s = AsciiUpper(s);
  for (const auto& p : processes) {
    if (std::find(shells.begin(), shells.end(), AsciiUpper(p.exe_name)) != shells.end())
      return host.OpenProcessForQuery(p.pid);
  }
  return platform::kInvalidProcessHandle;
}

Status GetLoggedOnUserName(std::u16string& name, bool use_upn) {
  platform::HostSystem& host = platform::GetHostSystem();
  std::u16string found;
  if (use_upn) {
    if (host.UserPrincipalName(found) && found.size() < kUserNameBuffer) {
      name = std::move(found);
      return kStatusSuccess;
    }
  } else {
    const platform::ProcessHandle shell = OpenShellProcess();
    if (shell == platform::kInvalidProcessHandle) {
      // Nobody is logged on at the desktop: not a failure.
      name.clear();
      return kStatusSuccess;
    }
    uint32_t uid = 0;
    const bool ok = shell != platform::kNullProcessHandle && host.ProcessUserId(shell, uid) &&
                    host.AccountName(uid, found) && found.size() < kAccountNameBuffer;
    host.CloseProcess(shell);
    if (ok) {
      name = std::move(found);
      return kStatusSuccess;
    }
  }
  found.clear();
  if (host.CurrentUserName(found) && found.size() < kUserNameBuffer) {
    name = std::move(found);
    return kStatusSuccess;
  }
  name.clear();
  return kStatusNoUserName;
}

}  // namespace vorla
