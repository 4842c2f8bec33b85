#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/text.h"
#include "platform/event_log_backup.h"
#include "platform/file_system.h"
#include "platform/folders.h"
#include "platform/process.h"

namespace vorla::platform {
namespace {

constexpr uint32_t kJournalTimeoutMs = 30000;

bool PathTaken(const std::u16string& path) {
  struct stat st {};
  return lstat(ToUtf8(path).c_str(), &st) == 0;
}

// The journal's recent entries, as readable text; empty output counts as no log (a container
// without a journal still answers, with nothing).
bool BackupJournal(const std::u16string& target) {
  if (PathTaken(target)) return false;
  const ProcessRunOutcome run = RunProcess(
      {u"journalctl", u"--no-pager", u"--quiet", u"--output=short-iso-precise", u"--lines=50000"},
      kJournalTimeoutMs, target);
  struct stat st {};
  const bool have = stat(ToUtf8(target).c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
  if (run.exited && run.exit_code == 0 && have) return true;
  // The file exists only because this start made it (it was checked to be free before).
  RemoveFile(target);
  return false;
}

bool BackupSystemLog(const std::u16string& target) {
  if (const char* v = std::getenv("VORLA_SYSTEM_LOG"); v && *v)
    return CopyRegularFile(FromUtf8(v), target, CopyMode::kFailIfExists);
  const std::u16string syslog = u"/var/log/syslog";
  if (CanReadRegularFile(syslog)) return CopyRegularFile(syslog, target, CopyMode::kFailIfExists);
  return BackupJournal(target);
}

}  // namespace

bool BackupEventLog(std::u16string_view log_name, const std::u16string& target) {
  if (log_name.empty()) return false;
  if (log_name == u"System") return BackupSystemLog(target);
  std::u16string file(log_name);
  for (auto& c : file)
    if (c == u'/') c = u'_';
  return CopyRegularFile(EventLogFolder() + u"/" + file + u".log", target, CopyMode::kFailIfExists);
}

}  // namespace vorla::platform
