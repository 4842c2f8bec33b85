#include <cstdlib>

#include "platform/desktop.h"
#include "platform/process.h"

namespace vorla::platform {
namespace {

bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

}  // namespace

bool DesktopSessionPresent() { return EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY"); }

bool OpenFolderInFileBrowser(const std::u16string& folder) {
  if (!DesktopSessionPresent() || folder.empty()) return false;
  return StartDetachedProcess({u"xdg-open", folder});
}

}  // namespace vorla::platform
