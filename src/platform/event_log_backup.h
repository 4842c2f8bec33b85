// Backing up an event log into a file of its own.
//
// The logs this system writes ("VorlaRuntime", "VorlaOperations") are the files that
// platform/event_log.h appends to. The log "System" is the system's own log: the file that the
// environment variable VORLA_SYSTEM_LOG names when it is set (tests, and machines that keep
// their log elsewhere), else /var/log/syslog, else the recent entries of the journal (read
// through journalctl, at most 30 s). Any other name is a log of this system's file layout.
#pragma once

#include <string>
#include <string_view>

namespace vorla::platform {

// Copies the log into `target`, which must not exist yet (the backup fails when it does, like
// any other failure). False when the log does not exist, cannot be read or holds nothing that
// could be exported; no partial target is left behind then.
bool BackupEventLog(std::u16string_view log_name, const std::u16string& target);

}  // namespace vorla::platform
