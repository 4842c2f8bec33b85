#include "platform/fake/fake_host.h"

namespace vorla::platform {

bool FakeHost::ModuleFilePath(std::u16string& path) {
  if (!module_path) return false;
  path = *module_path;
  return true;
}

bool FakeHost::ReadFileVersion(const std::u16string& path, FileVersion& version) {
  version_paths.push_back(path);
  const auto it = versions.find(path);
  if (it == versions.end()) return false;
  version = it->second;
  return true;
}

bool FakeHost::ResolveIPv4Stream(const std::string& host, const std::string& service,
                                 std::vector<ResolvedAddress>& out) {
  resolve_calls.emplace_back(host, service);
  const auto it = resolutions.find(host);
  if (it == resolutions.end()) return false;
  out = it->second;
  return true;
}

bool FakeHost::FullyQualifiedName(std::u16string& name) {
  if (!fqdn) return false;
  name = *fqdn;
  return true;
}

bool FakeHost::HostName(std::string& name) {
  if (!host_name) return false;
  name = *host_name;
  return true;
}

bool FakeHost::SnapshotProcesses(std::vector<ProcessEntry>& out) {
  if (snapshot_fails) return false;
  out = processes;
  return true;
}

ProcessHandle FakeHost::OpenProcessForQuery(uint32_t pid) {
  opened_pids.push_back(pid);
  if (unopenable_pids.count(pid)) return kNullProcessHandle;
  const ProcessHandle h = HandleFor(pid);
  open_handles.insert(h);
  return h;
}

bool FakeHost::ProcessUserId(ProcessHandle process, uint32_t& uid) {
  if (!open_handles.count(process)) return false;
  const auto it = process_uids.find(static_cast<uint32_t>(process - 0x1000));
  if (it == process_uids.end()) return false;
  uid = it->second;
  return true;
}

void FakeHost::CloseProcess(ProcessHandle process) {
  ++close_calls;
  open_handles.erase(process);
}

bool FakeHost::AccountName(uint32_t uid, std::u16string& name) {
  const auto it = accounts.find(uid);
  if (it == accounts.end()) return false;
  name = it->second;
  return true;
}

bool FakeHost::UserPrincipalName(std::u16string& name) {
  if (!upn) return false;
  name = *upn;
  return true;
}

bool FakeHost::CurrentUserName(std::u16string& name) {
  if (!current_user) return false;
  name = *current_user;
  return true;
}

ClientAddressRecord FakeSessionQueries::IPv4Record(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  ClientAddressRecord r;
  r.family = 2;
  r.address[2] = a;
  r.address[3] = b;
  r.address[4] = c;
  r.address[5] = d;
  return r;
}

}  // namespace vorla::platform
