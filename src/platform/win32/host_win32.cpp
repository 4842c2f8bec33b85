// The Windows host: the module and version APIs for the program file, the resolver of Winsock for
// names, the process and memory status APIs for resources, a tool-help snapshot for processes,
// tokens and the account database for users, and the terminal services API for the session.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <wtsapi32.h>
#define SECURITY_WIN32
#include <security.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "common/text.h"
#include "platform/host.h"

namespace vorla::platform {
namespace {

const wchar_t* Wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

std::u16string FromWide(const wchar_t* s, size_t n) {
  return std::u16string(reinterpret_cast<const char16_t*>(s), n);
}
std::u16string FromWide(const wchar_t* s) { return FromWide(s, wcslen(s)); }

// Winsock must be started before its resolver answers; the host queries may come before any
// socket is made. Started once, never cleaned up: other users share it until the process ends.
bool WinsockReady() {
  static const bool ready = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A comma-separated list; blanks around names and empty entries are dropped.
std::vector<std::u16string> ParseShellNames(std::string_view list) {
  std::vector<std::u16string> names;
  while (true) {
    const size_t comma = list.find(',');
    const std::string_view name = Trim(list.substr(0, comma));
    if (!name.empty()) names.push_back(FromUtf8(name));
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return names;
}

bool ReadEnvironment(const wchar_t* name, std::u16string& value) {
  std::vector<wchar_t> buf(256);
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);  // an empty value also returns 0
    const DWORD n = GetEnvironmentVariableW(name, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    if (n < buf.size()) {
      value = FromWide(buf.data(), n);
      return true;
    }
    buf.resize(n);
  }
}

// Windows names users by security identifiers, which do not fit the 32-bit user ids of the
// interface. The ids handed out here are this process's own numbers for the identifiers it has
// met, 1 for the first; the table only grows, by one entry per distinct user.
class SidTable {
 public:
  uint32_t IdOf(const SID* sid) {
    const DWORD length = GetLengthSid(const_cast<SID*>(sid));
    const auto* bytes = reinterpret_cast<const uint8_t*>(sid);
    std::vector<uint8_t> key(bytes, bytes + length);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = std::find(sids_.begin(), sids_.end(), key);
    if (it != sids_.end()) return static_cast<uint32_t>(it - sids_.begin()) + 1;
    sids_.push_back(std::move(key));
    return static_cast<uint32_t>(sids_.size());
  }

  bool SidOf(uint32_t id, std::vector<uint8_t>& sid) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id == 0 || id > sids_.size()) return false;
    sid = sids_[id - 1];
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<std::vector<uint8_t>> sids_;
};

bool LookupAccount(const std::vector<uint8_t>& sid, std::u16string& name) {
  std::vector<wchar_t> account(256), domain(256);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD account_size = static_cast<DWORD>(account.size());
    DWORD domain_size = static_cast<DWORD>(domain.size());
    SID_NAME_USE use{};
    if (LookupAccountSidW(nullptr, reinterpret_cast<PSID>(const_cast<uint8_t*>(sid.data())),
                          account.data(), &account_size, domain.data(), &domain_size, &use)) {
      if (account[0] == L'\0') return false;
      name = FromWide(account.data());
      return true;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    account.resize(std::max<size_t>(account_size, account.size()) + 1);
    domain.resize(std::max<size_t>(domain_size, domain.size()) + 1);
  }
  return false;
}

HANDLE ToHandle(ProcessHandle h) {
  return h == kNullProcessHandle || h == kInvalidProcessHandle ? nullptr
                                                               : reinterpret_cast<HANDLE>(h);
}

class Win32HostSystem final : public HostSystem {
 public:
  bool ModuleFilePath(std::u16string& path) override {
    std::vector<wchar_t> buf(MAX_PATH);
    while (buf.size() <= (1u << 16)) {
      const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
      if (n == 0) return false;
      if (n < buf.size()) {
        path = FromWide(buf.data(), n);
        return true;
      }
      buf.resize(buf.size() * 2);  // truncated
    }
    return false;
  }

  // The fixed part of the version resource: file version, most significant word first.
  bool ReadFileVersion(const std::u16string& path, FileVersion& version) override {
    if (path.find(u'\0') != std::u16string::npos) return false;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(Wide(path), &ignored);
    if (size == 0) return false;
    std::vector<uint8_t> info(size);
    if (!GetFileVersionInfoW(Wide(path), 0, size, info.data())) return false;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), L"\\", &value, &length) || value == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO))
      return false;
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    if (fixed->dwSignature != VS_FFI_SIGNATURE) return false;
    version = {HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
               HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
    return true;
  }

  bool ResolveIPv4Stream(const std::string& host, const std::string& service,
                         std::vector<ResolvedAddress>& out) override {
    if (host.find('\0') != std::string::npos || service.find('\0') != std::string::npos ||
        !WinsockReady())
      return false;
    const std::u16string whost = FromUtf8(host), wservice = FromUtf8(service);
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* list = nullptr;
    if (GetAddrInfoW(Wide(whost), Wide(wservice), &hints, &list) != 0) return false;
    std::vector<ResolvedAddress> entries;
    for (const ADDRINFOW* ai = list; ai; ai = ai->ai_next) {
      ResolvedAddress a;
      if (ai->ai_family == AF_INET && ai->ai_addr && ai->ai_addrlen >= sizeof(sockaddr_in)) {
        a.is_ipv4 = true;
        a.ipv4 = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
      }
      entries.push_back(a);
    }
    FreeAddrInfoW(list);
    out = std::move(entries);
    return true;
  }

  bool FullyQualifiedName(std::u16string& name) override {
    DWORD size = 0;
    GetComputerNameExW(ComputerNameDnsFullyQualified, nullptr, &size);
    if (size == 0) return false;
    std::vector<wchar_t> buf(size + 1);
    size = static_cast<DWORD>(buf.size());
    if (!GetComputerNameExW(ComputerNameDnsFullyQualified, buf.data(), &size) || size == 0)
      return false;
    name = FromWide(buf.data(), size);
    return true;
  }

  bool HostName(std::string& name) override {
    if (!WinsockReady()) return false;
    wchar_t buf[256] = {};
    if (GetHostNameW(buf, static_cast<int>(std::size(buf))) != 0 || buf[0] == L'\0') return false;
    name = ToUtf8(FromWide(buf));
    return true;
  }

  ResourceUsage ReadResourceUsage() override {
    ResourceUsage u;
    const HANDLE self = GetCurrentProcess();
    DWORD handles = 0;
    if (GetProcessHandleCount(self, &handles)) u.process_handles = handles;
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(self, &memory, sizeof(memory)))
      u.process_working_set = memory.WorkingSetSize;
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    if (GlobalMemoryStatusEx(&status)) {
      u.physical_total = status.ullTotalPhys;
      u.physical_available = status.ullAvailPhys;
    }
    PERFORMANCE_INFORMATION perf{};
    perf.cb = sizeof(perf);
    if (GetPerformanceInfo(&perf, sizeof(perf))) {
      u.system_handles = perf.HandleCount;
      u.system_threads = perf.ThreadCount;
    }
    return u;
  }

  bool SnapshotProcesses(std::vector<ProcessEntry>& out) override {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    std::vector<ProcessEntry> entries;
    PROCESSENTRY32W e{};
    e.dwSize = sizeof(e);
    for (BOOL more = Process32FirstW(snapshot, &e); more; more = Process32NextW(snapshot, &e)) {
      std::u16string name = FromWide(e.szExeFile, wcsnlen(e.szExeFile, std::size(e.szExeFile)));
      const size_t slash = name.find_last_of(u"\\/");
      if (slash != std::u16string::npos) name.erase(0, slash + 1);
      if (!name.empty()) entries.push_back({e.th32ProcessID, std::move(name)});
    }
    const bool complete = ::GetLastError() == ERROR_NO_MORE_FILES;
    CloseHandle(snapshot);
    if (!complete) return false;
    std::sort(entries.begin(), entries.end(),
              [](const ProcessEntry& a, const ProcessEntry& b) { return a.pid < b.pid; });
    out = std::move(entries);
    return true;
  }

  // The Windows shell; VORLA_SHELL_NAMES replaces it, as on every platform.
  std::vector<std::u16string> DesktopShellNames() override {
    std::u16string list;
    if (ReadEnvironment(L"VORLA_SHELL_NAMES", list)) return ParseShellNames(ToUtf8(list));
    return {u"explorer.exe"};
  }

  // A process handle keeps naming its process even after the pid is reused.
  ProcessHandle OpenProcessForQuery(uint32_t pid) override {
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (h == nullptr) h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    return h == nullptr ? kNullProcessHandle : reinterpret_cast<ProcessHandle>(h);
  }

  // The user of the process's token (see SidTable for what the id means). A process that has
  // exited no longer answers, as the interface asks (one that ended with the code STILL_ACTIVE
  // cannot be told from a running one without synchronise access, which is not asked for).
  bool ProcessUserId(ProcessHandle process, uint32_t& uid) override {
    const HANDLE h = ToHandle(process);
    DWORD exit_code = 0;
    if (h == nullptr || !GetExitCodeProcess(h, &exit_code) || exit_code != STILL_ACTIVE)
      return false;
    HANDLE token = nullptr;
    if (!OpenProcessToken(h, TOKEN_QUERY, &token)) return false;
    alignas(TOKEN_USER) uint8_t buf[256];
    DWORD size = 0;
    const bool ok = GetTokenInformation(token, TokenUser, buf, sizeof(buf), &size) &&
                    IsValidSid(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid);
    CloseHandle(token);
    if (!ok) return false;
    uid = sids_.IdOf(static_cast<const SID*>(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid));
    return true;
  }

  void CloseProcess(ProcessHandle process) override {
    if (const HANDLE h = ToHandle(process)) CloseHandle(h);
  }

  bool AccountName(uint32_t uid, std::u16string& name) override {
    std::vector<uint8_t> sid;
    return sids_.SidOf(uid, sid) && LookupAccount(sid, name);
  }

  bool UserPrincipalName(std::u16string& name) override {
    wchar_t buf[256] = {};
    ULONG size = static_cast<ULONG>(std::size(buf));
    if (!GetUserNameExW(NameUserPrincipal, buf, &size) || buf[0] == L'\0') return false;
    name = FromWide(buf);
    return true;
  }

  bool CurrentUserName(std::u16string& name) override {
    std::vector<wchar_t> buf(257);  // UNLEN + 1
    for (int attempt = 0; attempt < 4; ++attempt) {
      DWORD size = static_cast<DWORD>(buf.size());
      if (GetUserNameW(buf.data(), &size)) {
        if (buf[0] == L'\0') return false;
        name = FromWide(buf.data());
        return true;
      }
      if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
      buf.resize(std::max<size_t>(size, buf.size() * 2));
    }
    return false;
  }

 private:
  SidTable sids_;
};

// ---- terminal services sessions ----

// One answer about this process's session on this server, freed after use.
class SessionAnswer {
 public:
  explicit SessionAnswer(WTS_INFO_CLASS what) {
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, what, &buf_,
                                     &bytes_))
      buf_ = nullptr;
  }
  ~SessionAnswer() {
    if (buf_) WTSFreeMemory(buf_);
  }
  SessionAnswer(const SessionAnswer&) = delete;
  SessionAnswer& operator=(const SessionAnswer&) = delete;

  // The answer as a `T` when it is at least that large.
  template <typename T>
  bool As(T& out) const {
    if (buf_ == nullptr || bytes_ < sizeof(T)) return false;
    std::memcpy(&out, buf_, sizeof(T));
    return true;
  }
  bool Text(std::u16string& out) const {
    if (buf_ == nullptr) return false;
    out = FromWide(buf_, wcsnlen(buf_, bytes_ / sizeof(wchar_t)));
    return true;
  }

 private:
  LPWSTR buf_ = nullptr;
  DWORD bytes_ = 0;
};

class WtsSessionQueries final : public SessionQueries {
 public:
  bool ClientProtocolType(uint16_t& type) override {
    USHORT v = 0;
    if (!SessionAnswer(WTSClientProtocolType).As(v)) return false;
    type = v;
    return true;
  }
  bool ConnectState(uint32_t& state) override {
    INT v = 0;
    if (!SessionAnswer(WTSConnectState).As(v)) return false;
    state = static_cast<uint32_t>(v);
    return true;
  }
  bool SessionId(uint32_t& id) override {
    ULONG v = 0;
    if (!SessionAnswer(WTSSessionId).As(v)) return false;
    id = v;
    return true;
  }
  bool ClientHardwareId(uint32_t& id) override {
    ULONG v = 0;
    if (!SessionAnswer(WTSClientHardwareId).As(v)) return false;
    id = v;
    return true;
  }
  bool ClientAddress(ClientAddressRecord& record) override {
    WTS_CLIENT_ADDRESS a{};
    if (!SessionAnswer(WTSClientAddress).As(a)) return false;
    ClientAddressRecord r;
    r.family = a.AddressFamily;
    static_assert(sizeof(a.Address) == sizeof(r.address));
    std::memcpy(r.address.data(), a.Address, r.address.size());
    record = r;
    return true;
  }
  bool ClientName(std::u16string& name) override {
    return SessionAnswer(WTSClientName).Text(name);
  }
  bool UserName(std::u16string& name) override { return SessionAnswer(WTSUserName).Text(name); }
};


}  // namespace

HostSystem& SystemHost() {
  static Win32HostSystem host;
  return host;
}

SessionQueries& SystemSessionQueries() {
  static WtsSessionQueries queries;
  return queries;
}

}  // namespace vorla::platform
