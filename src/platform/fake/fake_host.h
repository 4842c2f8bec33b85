// Scriptable stand-ins for the host capabilities. Each answer is a public field: an empty
// std::optional (or a flag) makes the query fail. Calls are recorded so that tests can check
// the order of queries and that every opened process is closed again.
// Not thread-safe: script them before the code under test runs, read them after.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/host.h"

namespace vorla::platform {

class FakeHost final : public HostSystem {
 public:
  std::optional<std::u16string> module_path;
  std::map<std::u16string, FileVersion> versions;  // by path; other paths fail
  // Answers by host name; names not in the map fail to resolve.
  std::map<std::string, std::vector<ResolvedAddress>> resolutions;
  std::optional<std::u16string> fqdn;
  std::optional<std::string> host_name;
  ResourceUsage resources;
  bool snapshot_fails = false;
  std::vector<ProcessEntry> processes;
  std::vector<std::u16string> shell_names{u"openbox"};
  std::set<uint32_t> unopenable_pids;
  std::map<uint32_t, uint32_t> process_uids;    // pid -> owner; pids not in it fail the query
  std::map<uint32_t, std::u16string> accounts;  // uid -> account name
  std::optional<std::u16string> upn;
  std::optional<std::u16string> current_user;

  // Recorded calls.
  std::vector<std::u16string> version_paths;
  std::vector<std::pair<std::string, std::string>> resolve_calls;  // (host, service)
  std::vector<uint32_t> opened_pids;
  std::set<ProcessHandle> open_handles;  // opened and not yet closed
  int close_calls = 0;

  static ProcessHandle HandleFor(uint32_t pid) { return static_cast<ProcessHandle>(pid) + 0x1000; }

  bool ModuleFilePath(std::u16string& path) override;
  bool ReadFileVersion(const std::u16string& path, FileVersion& version) override;
  bool ResolveIPv4Stream(const std::string& host, const std::string& service,
                         std::vector<ResolvedAddress>& out) override;
  bool FullyQualifiedName(std::u16string& name) override;
  bool HostName(std::string& name) override;
  ResourceUsage ReadResourceUsage() override { return resources; }
  bool SnapshotProcesses(std::vector<ProcessEntry>& out) override;
  std::vector<std::u16string> DesktopShellNames() override { return shell_names; }
  ProcessHandle OpenProcessForQuery(uint32_t pid) override;
  bool ProcessUserId(ProcessHandle process, uint32_t& uid) override;
  void CloseProcess(ProcessHandle process) override;
  bool AccountName(uint32_t uid, std::u16string& name) override;
  bool UserPrincipalName(std::u16string& name) override;
  bool CurrentUserName(std::u16string& name) override;
};

class FakeSessionQueries final : public SessionQueries {
 public:
  std::optional<uint16_t> protocol_type;
  std::optional<uint32_t> connect_state;
  std::optional<uint32_t> session_id;
  std::optional<uint32_t> hardware_id;
  std::optional<ClientAddressRecord> address;
  std::optional<std::u16string> client_name;
  std::optional<std::u16string> user_name;

  // The queries made, in order: "protocol", "state", "id", "hardware", "address", "name", "user".
  std::vector<std::string> calls;

  bool ClientProtocolType(uint16_t& type) override {
    return Answer("protocol", protocol_type, type);
  }
  bool ConnectState(uint32_t& state) override { return Answer("state", connect_state, state); }
  bool SessionId(uint32_t& id) override { return Answer("id", session_id, id); }
  bool ClientHardwareId(uint32_t& id) override { return Answer("hardware", hardware_id, id); }
  bool ClientAddress(ClientAddressRecord& record) override {
    return Answer("address", address, record);
  }
  bool ClientName(std::u16string& name) override { return Answer("name", client_name, name); }
  bool UserName(std::u16string& name) override { return Answer("user", user_name, name); }

  // An IPv4 client address record for a.b.c.d (family 2, octets at bytes 2 to 5).
  static ClientAddressRecord IPv4Record(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

 private:
  template <class T>
  bool Answer(const char* what, const std::optional<T>& value, T& out) {
    calls.emplace_back(what);
    if (!value) return false;
    out = *value;
    return true;
  }
};

// Installs both fakes for the lifetime of the object.
class ScopedHostOverride {
 public:
  ScopedHostOverride(FakeHost& host, FakeSessionQueries& sessions) {
    SetHostSystemForTesting(&host);
    SetSessionQueriesForTesting(&sessions);
  }
  ~ScopedHostOverride() {
    SetHostSystemForTesting(nullptr);
    SetSessionQueriesForTesting(nullptr);
  }
  ScopedHostOverride(const ScopedHostOverride&) = delete;
  ScopedHostOverride& operator=(const ScopedHostOverride&) = delete;
};

}  // namespace vorla::platform
