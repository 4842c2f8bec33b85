#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "common/text.h"
#include "platform/folders.h"

namespace vorla::platform {
namespace {

std::u16string FromEnv(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  std::string s = (v && *v) ? v : fallback;
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return FromUtf8(s);
}

}  // namespace

std::u16string CommonAppDataFolder() { return FromEnv("VORLA_COMMON_APPDATA", "/var/lib"); }
std::u16string TempFolder() { return FromEnv("VORLA_TEMP_DIR", "/tmp"); }
std::u16string EventLogFolder() { return FromEnv("VORLA_LOG_DIR", "/var/log/vorla"); }
std::u16string RuntimeFolder() { return FromEnv("VORLA_RUNTIME_DIR", "/run/vorla"); }
std::u16string CertificateFolder() {
  const std::u16string dir = FromEnv("VORLA_CERT_DIR", "");
  return dir.empty() ? CommonAppDataFolder() + u"/Vorla/certs" : dir;
}

bool EnsureFolder(const std::u16string& path) {
  const std::string p = ToUtf8(path);
  if (p.empty()) return false;
  struct stat st {};
  if (stat(p.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  for (size_t pos = p.find('/', 1); pos != std::string::npos; pos = p.find('/', pos + 1))
    mkdir(p.substr(0, pos).c_str(), 0755);
  mkdir(p.c_str(), 0755);
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace vorla::platform
