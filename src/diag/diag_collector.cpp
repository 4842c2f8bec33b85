#include "diag/diag_collector.h"

#include <string>
#include <string_view>
#include <vector>

#include "common/host_identity.h"
#include "common/text.h"
#include "config/ini_file.h"
#include "diag/zip_archive.h"
#include "platform/debug_output.h"
#include "platform/desktop.h"
#include "platform/event_log_backup.h"
#include "platform/file_system.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/system_report.h"

namespace vorla {
namespace {

constexpr std::u16string_view kArchiveName = u"VorlaDiag.zip";
constexpr std::u16string_view kSystemInfoCategories =
    u"+componentsmultimedia+componentsnetwork+componentsdisplay+componentsstorage+swenvservices";

struct LogBackup {
  std::u16string_view log;
  std::u16string_view file;
};
constexpr LogBackup kLogBackups[] = {{u"VorlaRuntime", u"VorlaRuntime.evt"},
                                     {u"VorlaOperations", u"VorlaOperations.evt"},
                                     {u"System", u"system.evt"}};

constexpr std::u16string_view kTemporaryFiles[] = {
    u"VorlaRuntime.evt", u"system.evt", u"VorlaOperations.evt", u"Computer.nfo",
    u"Computer.txt",     u"server.ini", u"cfggui.ini",          u"cfgsrv.ini"};

// Folder searches match names without regard to the case of a-z: the components' files are
// not reliably named in one case.
bool StartsWithNoCase(std::u16string_view name, std::u16string_view prefix) {
  return name.size() >= prefix.size() &&
         AsciiUpper(name.substr(0, prefix.size())) == AsciiUpper(prefix);
}
bool MatchesPrefixSuffix(std::u16string_view name, std::u16string_view prefix,
                         std::u16string_view suffix) {
  return name.size() >= prefix.size() + suffix.size() && StartsWithNoCase(name, prefix) &&
         AsciiUpper(name.substr(name.size() - suffix.size())) == AsciiUpper(suffix);
}

void Print(std::u16string_view text) { platform::ConsoleOutput(text); }

platform::ProcessRunOutcome RunWithPlatform(const std::vector<std::u16string>& argv,
                                            uint32_t timeout_ms) {
  return platform::RunProcess(argv, timeout_ms);
}

}  // namespace

DiagCollector::DiagCollector() : DiagCollector(RunWithPlatform) {}

DiagCollector::DiagCollector(ProcessRunner runner) : runner_(std::move(runner)) {
  const std::u16string app_data = platform::CommonAppDataFolder();
  if (!app_data.empty()) {
    // The root folder comes back as "/", which must not give "//Vorla".
    data_folder_ = (app_data == u"/" ? std::u16string() : app_data) + u"/Vorla";
    output_folder_ = data_folder_ + u"/";
  } else {
    output_folder_ = u"/";
  }
}

std::u16string DiagCollector::OutputFile(std::u16string_view name) const {
  return output_folder_ + std::u16string(name);
}

bool DiagCollector::CreateArchive() {
  const std::u16string path = OutputFile(kArchiveName);
  if (!platform::ReplaceFileContents(path, kEmptyZipArchive)) return false;
  archive_path_ = path;
  return true;
}

bool DiagCollector::AddToArchive(const std::u16string& path) {
  if (archive_path_.empty()) return false;
  return AddPathToZipArchive(archive_path_, path);
}

bool DiagCollector::BackupEventLogs() {
  bool any = false;
  for (const auto& b : kLogBackups)
    if (platform::BackupEventLog(b.log, OutputFile(b.file))) any = true;
  return any;
}

bool DiagCollector::RunSystemInfo(bool report) {
  std::vector<std::u16string> argv = platform::SystemReportProgram();
  argv.push_back(report ? u"/report" : u"/nfo");
  argv.push_back(OutputFile(report ? u"Computer.txt" : u"Computer.nfo"));
  argv.push_back(u"/categories");
  argv.push_back(std::u16string(kSystemInfoCategories));
  return runner_(argv, kSystemInfoTimeoutMs).started;
}

void DiagCollector::CopyAndAdd(const std::u16string& from, std::u16string_view copy_name) {
  const std::u16string copy = OutputFile(copy_name);
  platform::CopyRegularFile(from, copy, platform::CopyMode::kReplace);
  AddToArchive(copy);
}

bool DiagCollector::CollectIniFiles() {
  if (data_folder_.empty()) return true;
  CopyAndAdd(data_folder_ + u"/Server/Server.INI", u"server.ini");
  CopyAndAdd(data_folder_ + u"/Configurator/ConfiguratorService.INI", u"cfgsrv.ini");
  CopyAndAdd(data_folder_ + u"/Configurator/ConfiguratorGUI.INI", u"cfggui.ini");

  const std::u16string folder = data_folder_ + u"/Workstation";
  std::vector<platform::FolderEntry> entries;
  platform::ListFolder(folder, entries);
  for (const auto& e : entries) {
    // Links are left out as well: the copy would take whatever they point to.
    if (e.kind != platform::EntryKind::kRegularFile) continue;
    if (!MatchesPrefixSuffix(e.name, u"Workstation", u".ini")) continue;
    workstation_copies_.push_back(e.name);
    CopyAndAdd(folder + u"/" + e.name, e.name);
  }
  return true;
}

bool DiagCollector::CollectConfiguratorData() {
  CIniFile ini;
  ini.SetFileName(data_folder_.empty() ? std::u16string()
                                       : data_folder_ + u"/Configurator/ConfiguratorService.INI");
  const std::u16string data_path = ini.ReadString(u"Config", u"DataPath", u"");
  if (data_path.empty()) return false;
  AddToArchive(data_path);
  return true;
}

bool DiagCollector::CollectCrashDumps() {
  const std::u16string folder = platform::TempFolder();
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(folder, entries)) return false;
  bool found = false;
  for (const auto& e : entries) {
    if (!StartsWithNoCase(e.name, u"Vorla")) continue;
    found = true;
    // The temp folder is writable by everyone: follow no links and open no FIFO there.
    if (e.kind != platform::EntryKind::kRegularFile) continue;
    AddToArchive((folder == u"/" ? std::u16string() : folder) + u"/" + e.name);
  }
  return found;
}

void DiagCollector::CleanUp() {
  for (const auto& name : kTemporaryFiles) platform::RemoveFile(OutputFile(name));
  for (const auto& name : workstation_copies_) platform::RemoveFile(OutputFile(name));
  workstation_copies_.clear();
}

int RunDiag(DiagCollector& collector, const std::vector<std::u16string>& args) {
  std::vector<int32_t> version;
  if (GetFileVersionNumbers(GetModuleFilePath(), version) && version.size() == 4) {
    std::u16string banner = u"\nVorla Diagnostic Manager, version ";
    for (size_t i = 0; i < 4; ++i) {
      if (i) banner += u'.';
      banner += Widen(std::to_string(version[i]));
    }
    Print(banner + u"\n\n");
  } else {
    Print(u"\nVorla Diagnostic Manager\n\n");
  }

  const bool skip_system_info =
      (args.size() >= 1 && args[0] == u"-s") || (args.size() >= 2 && args[1] == u"-s");

  if (!collector.CreateArchive()) {
    Print(u"FATAL ERRROR: Unable to initiate archive.\n");
    return 0;
  }
  const std::u16string& out = collector.output_folder();

  Print(u"Extracting Event logs...");
  if (collector.BackupEventLogs()) {
    collector.AddToArchive(out + u"VorlaRuntime.evt");
    collector.AddToArchive(out + u"VorlaOperations.evt");
    collector.AddToArchive(out + u"system.evt");
    Print(u"Done.\n");
  } else {
    Print(u"No logs found.\n");
  }

  if (!skip_system_info) {
    Print(u"Extracting system information...");
    if (!collector.RunSystemInfo(false)) {
      Print(u"Failed to extract info.\n");
    } else if (collector.AddToArchive(out + u"Computer.nfo")) {
      Print(u"Done.\n");
    } else if (collector.RunSystemInfo(true)) {
      collector.AddToArchive(out + u"Computer.txt");
      Print(u"Done.\n");
    }
  } else {
    Print(u"Skip system information as requested via cmnd line.\n");
  }

  Print(u"Extracting ini information...");
  collector.CollectIniFiles();
  Print(u"Done.\n");

  Print(u"Extracting Configurator data...");
  Print(collector.CollectConfiguratorData() ? u"Done.\n" : u"Failed to extract info.\n");

  Print(u"Extracting any possible crash dump data...");
  Print(collector.CollectCrashDumps() ? u"Done.\n" : u"No crash dumps added.\n");

  collector.CleanUp();

  Print(u"\nThe extracted information needs to be sent to your support contacts. Please forward " +
        collector.archive_path() + u" as required.\n");
  platform::OpenFolderInFileBrowser(out);
  return 0;
}

}  // namespace vorla
