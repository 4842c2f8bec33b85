// Backing up one of the system's event logs into a file of its own (the system's backup format).
#include <windows.h>
// windows.h makes BackupEventLog a macro for BackupEventLogW; here the name is the capability's.
#undef BackupEventLog

#include <string>

#include "platform/event_log_backup.h"

namespace vorla::platform {
namespace {

const wchar_t* Wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

bool Exists(const std::u16string& path) {
  return GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES;
}

// OpenEventLogW opens the Application log for a name it does not know, so a log counts as
// existing only when the event-log service has it registered.
bool LogRegistered(const std::u16string& name) {
  const std::u16string key = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + name;
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(key), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

}  // namespace

bool BackupEventLog(std::u16string_view log_name, const std::u16string& target) {
  const std::u16string name(log_name);
  // A "\" would reach another key; "/" is not in any log's name.
  if (name.empty() || name.find_first_of(u"\\/") != std::u16string::npos) return false;
  if (!LogRegistered(name)) return false;
  // The backup is written by the event-log service, which wants the system's separators.
  std::u16string file = target;
  for (char16_t& c : file)
    if (c == u'/') c = u'\\';
  if (Exists(file)) return false;
  HANDLE log = OpenEventLogW(nullptr, Wide(name));
  if (log == nullptr) return false;
  const bool ok = ::BackupEventLogW(log, Wide(file)) != FALSE;
  CloseEventLog(log);
  // A backup that reports success but left no file (Wine keeps no logs) exported nothing; a failed
  // one leaves nothing behind.
  if (ok && Exists(file)) return true;
  if (Exists(file)) DeleteFileW(Wide(file));
  return false;
}

}  // namespace vorla::platform
