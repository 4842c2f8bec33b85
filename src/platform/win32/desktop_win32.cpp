// The desktop capabilities of Windows that this build does not have yet (screen capture, the
// window list, hot keys, the tray icon, power and session notices, installed compressors). Each
// answers as a machine without a reachable desktop does, which every caller already handles:
// no displays, no windows, no hot-key listener, a lost input desktop, no tray, no notices and no
// installed codecs. The test hooks work as on every system.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <mutex>

#include "platform/codecs.h"
#include "platform/desktop.h"
#include "platform/displays.h"
#include "platform/hotkeys.h"
#include "platform/input_desktop.h"
#include "platform/session_notifications.h"
#include "platform/tray_icon.h"
#include "platform/windows.h"

namespace vorla::platform {
namespace {

class NoDisplays final : public Displays {
 public:
  std::vector<DisplayDevice> EnumerateDevices() override { return {}; }
  std::unique_ptr<DisplaySource> Open(const std::u16string&) override { return nullptr; }
};

class NoWindows final : public WindowSystem {
 public:
  bool TopLevelWindows(std::vector<WindowHandle>& windows) override {
    windows.clear();
    return false;
  }
  WindowHandle ForegroundWindow() override { return kNoWindow; }
  bool IsWindow(WindowHandle) override { return false; }
  bool IsVisible(WindowHandle) override { return false; }
  bool Title(WindowHandle, std::u16string&) override { return false; }
  bool ClassName(WindowHandle, std::u16string&) override { return false; }
  WindowHandle Owner(WindowHandle) override { return kNoWindow; }
  bool Placement(WindowHandle, WindowPlacementState&) override { return false; }
};

class UnreachableInputDesktop final : public InputDesktop {
 public:
  bool IsLost() override { return true; }
};

class NoTray final : public TrayIcon {
 public:
  bool Add(const TrayImage&, const std::u16string&) override { return false; }
  bool Modify(const TrayImage&, const std::u16string&) override { return false; }
  void Delete() override {}
  Waitable* events() override { return nullptr; }
  void ProcessEvents() override {}
};

class NoNotices final : public SessionNotifications {};

class EmptyCodecRegistry final : public CodecRegistry {
 public:
  bool InfoByIndex(uint32_t, uint32_t, InstalledCodecInfo&) override { return false; }
  bool InfoByHandler(uint32_t, uint32_t, InstalledCodecInfo&) override { return false; }
  std::unique_ptr<CodecCompressor> Open(uint32_t, uint32_t, bool) override { return nullptr; }
};

std::mutex g_hooks_lock;
WindowSystem* g_windows = nullptr;
HotKeyListenerFactory g_hotkeys;
std::function<std::unique_ptr<TrayIcon>()> g_tray;
std::function<std::unique_ptr<SessionNotifications>(SessionNoticeSink)> g_notices;
std::atomic<CodecRegistry*> g_codecs{nullptr};

template <typename T>
T Copy(const T& hook) {
  std::lock_guard<std::mutex> g(g_hooks_lock);
  return hook;
}

}  // namespace

std::unique_ptr<Displays> CreateDisplays() { return std::make_unique<NoDisplays>(); }

std::unique_ptr<InputDesktop> CreateInputDesktop() {
  return std::make_unique<UnreachableInputDesktop>();
}

WindowSystem& GetWindowSystem() {
  if (WindowSystem* w = Copy(g_windows)) return *w;
  static NoWindows none;
  return none;
}

void SetWindowSystemForTesting(WindowSystem* windows) {
  std::lock_guard<std::mutex> g(g_hooks_lock);
  g_windows = windows;
}

std::unique_ptr<HotKeyListener> CreateHotKeyListener() {
  if (HotKeyListenerFactory factory = Copy(g_hotkeys)) return factory();
  return nullptr;
}

void SetHotKeyListenerFactoryForTesting(HotKeyListenerFactory factory) {
  std::lock_guard<std::mutex> g(g_hooks_lock);
  g_hotkeys = std::move(factory);
}

std::unique_ptr<TrayIcon> CreateTrayIcon() {
  if (auto factory = Copy(g_tray)) return factory();
  return std::make_unique<NoTray>();
}

void SetTrayIconForTesting(std::function<std::unique_ptr<TrayIcon>()> factory) {
  std::lock_guard<std::mutex> g(g_hooks_lock);
  g_tray = std::move(factory);
}

std::unique_ptr<SessionNotifications> RegisterSessionNotifications(SessionNoticeSink sink) {
  if (auto factory = Copy(g_notices)) return factory(std::move(sink));
  if (sink) sink(SessionNotice::kUnavailable);
  return std::make_unique<NoNotices>();
}

void SetSessionNotificationsForTesting(
    std::function<std::unique_ptr<SessionNotifications>(SessionNoticeSink)> factory) {
  std::lock_guard<std::mutex> g(g_hooks_lock);
  g_notices = std::move(factory);
}

CodecRegistry& GetCodecRegistry() {
  static EmptyCodecRegistry system_registry;
  CodecRegistry* r = g_codecs.load();
  return r != nullptr ? *r : system_registry;
}

void SetCodecRegistryForTesting(CodecRegistry* registry) { g_codecs.store(registry); }

// A desktop is present when this process's window station is the visible, interactive one (a
// service's is not).
bool DesktopSessionPresent() {
  HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (station == nullptr ||
      !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed))
    return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

bool OpenFolderInFileBrowser(const std::u16string& folder) {
  if (!DesktopSessionPresent() || folder.empty()) return false;
  const auto rc = reinterpret_cast<intptr_t>(
      ShellExecuteW(nullptr, L"open", reinterpret_cast<const wchar_t*>(folder.c_str()), nullptr,
                    nullptr, SW_SHOWNORMAL));
  return rc > 32;
}

}  // namespace vorla::platform
