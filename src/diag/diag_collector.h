// VorlaDiag's collector: gathers the event logs, a system-information report, the INI files of
// the components installed here, the Configurator's data and the crash dumps into one archive,
// "VorlaDiag.zip" in the output folder.
//
// Folders: the data folder is "<all-users application data>/Vorla" (empty when the application
// data folder is unknown); the output folder is the data folder followed by "/", or "/" when it
// is unknown. Copies and backups are made in the output folder, added to the archive and removed
// again by CleanUp; only the archive stays.
//
// One object serves one run on one thread. It reads what the other components wrote and loads
// nothing of the workstation service.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace vorla {

class DiagCollector {
 public:
  // Starts a program (argv) and waits for it at most the given time.
  using ProcessRunner =
      std::function<platform::ProcessRunOutcome(const std::vector<std::u16string>&, uint32_t)>;

  static constexpr uint32_t kSystemInfoTimeoutMs = 30000;

  // Folders from the environment as it is now; programs started with platform::RunProcess.
  DiagCollector();
  explicit DiagCollector(ProcessRunner runner);

  const std::u16string& data_folder() const { return data_folder_; }
  const std::u16string& output_folder() const { return output_folder_; }
  // Empty until CreateArchive succeeded.
  const std::u16string& archive_path() const { return archive_path_; }

  // Creates or replaces the archive with the empty archive; false when it cannot be written.
  bool CreateArchive();
  // Adds a file, or a folder with its contents, at the top level of the archive under its own
  // name; false when nothing could be added.
  bool AddToArchive(const std::u16string& path);
  // Backs up "VorlaRuntime", "VorlaOperations" and "System" to their ".evt" files in the output
  // folder; true when at least one backup succeeded. A backup fails when its file exists.
  bool BackupEventLogs();
  // Runs the system report program into "Computer.txt" (report) or "Computer.nfo" and waits for
  // it at most 30 s; true when it could be started (also when it ran out of time).
  bool RunSystemInfo(bool report);
  // Copies the server's, the Configurator's and the workstation's INI files to the output folder
  // and adds each copy; always true (failed copies are not reported).
  bool CollectIniFiles();
  // Adds what "DataPath" of section "Config" in the Configurator's service INI file names; false
  // when the value is empty, true otherwise (whatever the addition gave).
  bool CollectConfiguratorData();
  // Adds the regular files "Vorla*" of the temp folder (left in place); true when the search found
  // any entry of that name at all.
  bool CollectCrashDumps();
  // Removes every temporary file this run may have made in the output folder; missing ones are
  // skipped.
  void CleanUp();

 private:
  std::u16string OutputFile(std::u16string_view name) const;
  void CopyAndAdd(const std::u16string& from, std::u16string_view copy_name);

  ProcessRunner runner_;
  std::u16string data_folder_;
  std::u16string output_folder_;
  std::u16string archive_path_;
  std::vector<std::u16string> workstation_copies_;  // names copied into the output folder
};

// The whole run: banner, archive, the five collection steps with their console lines, clean-up,
// the closing message and the output folder shown on the desktop. `args` are the command-line
// arguments after the program name. Always returns 0, the program's exit code.
int RunDiag(DiagCollector& collector, const std::vector<std::u16string>& args);

}  // namespace vorla
