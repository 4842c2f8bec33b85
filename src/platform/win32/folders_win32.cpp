#include <windows.h>
#include <shlobj.h>

#include <string>

#include "platform/folders.h"

namespace vorla::platform {
namespace {

// Backslashes become "/" and trailing separators go, as the interface promises.
std::u16string Normalised(std::u16string s) {
  for (char16_t& c : s)
    if (c == u'\\') c = u'/';
  while (s.size() > 1 && s.back() == u'/' && !(s.size() == 3 && s[1] == u':')) s.pop_back();
  return s;
}

std::u16string FromEnv(const wchar_t* name) {
  wchar_t buf[MAX_PATH * 2];
  const DWORD n = GetEnvironmentVariableW(name, buf, static_cast<DWORD>(std::size(buf)));
  if (n == 0 || n >= std::size(buf)) return {};
  return Normalised(std::u16string(reinterpret_cast<const char16_t*>(buf), n));
}

std::u16string ProgramData() {
  PWSTR path = nullptr;
  std::u16string out;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &path)) && path != nullptr)
    out = Normalised(reinterpret_cast<const char16_t*>(path));
  CoTaskMemFree(path);
  return out.empty() ? u"C:/ProgramData" : out;
}

}  // namespace

// The same environment overrides as everywhere; the defaults are the system's folders.
std::u16string CommonAppDataFolder() {
  const std::u16string dir = FromEnv(L"VORLA_COMMON_APPDATA");
  return dir.empty() ? ProgramData() : dir;
}

std::u16string TempFolder() {
  std::u16string dir = FromEnv(L"VORLA_TEMP_DIR");
  if (!dir.empty()) return dir;
  wchar_t buf[MAX_PATH + 1];
  const DWORD n = GetTempPathW(static_cast<DWORD>(std::size(buf)), buf);
  if (n == 0 || n > MAX_PATH) return u"C:/Windows/Temp";
  return Normalised(std::u16string(reinterpret_cast<const char16_t*>(buf), n));
}

// The system keeps the event logs itself; this folder only holds what this system writes beside
// them (nothing at present) and answers the interface.
std::u16string EventLogFolder() {
  const std::u16string dir = FromEnv(L"VORLA_LOG_DIR");
  return dir.empty() ? CommonAppDataFolder() + u"/Vorla/logs" : dir;
}

std::u16string RuntimeFolder() {
  const std::u16string dir = FromEnv(L"VORLA_RUNTIME_DIR");
  return dir.empty() ? TempFolder() + u"/vorla" : dir;
}

std::u16string CertificateFolder() {
  const std::u16string dir = FromEnv(L"VORLA_CERT_DIR");
  return dir.empty() ? CommonAppDataFolder() + u"/Vorla/certs" : dir;
}

bool EnsureFolder(const std::u16string& path) {
  if (path.empty()) return false;
  auto is_folder = [](const std::u16string& p) {
    const DWORD a = GetFileAttributesW(reinterpret_cast<const wchar_t*>(p.c_str()));
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  };
  if (is_folder(path)) return true;
  for (size_t pos = path.find_first_of(u"/\\", 1); pos != std::u16string::npos;
       pos = path.find_first_of(u"/\\", pos + 1)) {
    const std::u16string part = path.substr(0, pos);
    if (part.size() == 2 && part[1] == u':') continue;  // a drive
    CreateDirectoryW(reinterpret_cast<const wchar_t*>(part.c_str()), nullptr);
  }
  CreateDirectoryW(reinterpret_cast<const wchar_t*>(path.c_str()), nullptr);
  return is_folder(path);
}

}  // namespace vorla::platform
