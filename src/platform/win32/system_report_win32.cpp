// The system's own information program writes the report; it takes the arguments of
// system_report.h as they are.
#include <windows.h>
#include <shlobj.h>

#include <vector>

#include "platform/system_report.h"

namespace vorla::platform {
namespace {

constexpr char16_t kProgramName[] = u"msinfo32.exe";

// Where the program lives on the systems that keep it among the common files; newer ones have it
// in the system folder, which the search path finds.
std::u16string CommonFilesProgram() {
  PWSTR folder = nullptr;
  std::u16string path;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramFilesCommon, 0, nullptr, &folder)) &&
      folder != nullptr)
    path = reinterpret_cast<const char16_t*>(folder);
  CoTaskMemFree(folder);
  if (path.empty()) path = u"c:\\program files\\common files";
  return path + u"\\microsoft shared\\msinfo\\" + kProgramName;
}

}  // namespace

// The short (8.3) form of the path when the volume has one, so that the command line needs no
// quotes.
std::vector<std::u16string> SystemReportProgram() {
  const std::u16string path = CommonFilesProgram();
  const auto* wide = reinterpret_cast<const wchar_t*>(path.c_str());
  const DWORD attributes = GetFileAttributesW(wide);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return {kProgramName};
  wchar_t short_path[MAX_PATH];
  const DWORD n = GetShortPathNameW(wide, short_path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {path};
  return {std::u16string(reinterpret_cast<const char16_t*>(short_path), n)};
}

}  // namespace vorla::platform
