#include "config/settings_store.h"

#include <exception>
#include <mutex>

#include "common/format_string.h"
#include "common/logging.h"
#include "common/status_codes.h"
#include "common/text.h"
#include "config/ini_file.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "security/security_server.h"

namespace vorla {
namespace {

constexpr std::u16string_view kSection = u"Config";
constexpr std::u16string_view kCompany = u"Vorla";
constexpr std::u16string_view kProduct = u"Workstation";
constexpr std::u16string_view kIniName = u"Workstation";
constexpr std::u16string_view kRulesName = u"DefRules";
constexpr std::u16string_view kNotSet = u"NO_SET";
// The RC4 key of the security provider that protects the password in the INI file.
constexpr uint16_t kPasswordKeyIndex = 1;
// A rule list is a few kilobytes; a file this large is corrupt, and is not loaded into memory.
constexpr uint64_t kMaxRulesFileSize = 64u * 1024 * 1024;

std::u16string SafeInstanceName(std::u16string_view name) {
  std::u16string s(name);
  for (auto& c : s)
    if (c == u'/' || c == u'\0') c = u'_';
  return s;
}

std::u16string FilePath(std::u16string_view folder, std::u16string_view name,
                        std::u16string_view instance_name, bool remote, std::u16string_view ext) {
  if (remote)
    return FormatString(u"%s/%s/%s/%s_%s.", folder, kCompany, kProduct, name,
                        SafeInstanceName(instance_name)) +
           std::u16string(ext);
  return FormatString(u"%s/%s/%s/%s.", folder, kCompany, kProduct, name) + std::u16string(ext);
}

// The all-users application data folder, reported when unknown.
std::optional<std::u16string> DataFolder() {
  std::u16string folder = platform::CommonAppDataFolder();
  if (!LogIfFailed(!folder.empty(), kStatusInternalError,
                   u"Failed to extract default shared data path", 3, EVENTLOG_WARNING_TYPE))
    return std::nullopt;
  return folder;
}

uint16_t Low16(int32_t v) { return static_cast<uint16_t>(static_cast<uint32_t>(v) & 0xFFFFu); }

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Enciphers or deciphers the password bytes in place when the provider is ready; otherwise the
// bytes stay plain, and are read back the same way.
void CipherPassword(std::vector<uint8_t>& bytes, bool encrypt) {
  auto& provider = SecurityServer::Instance();
  std::lock_guard<std::recursive_mutex> guard(provider.lock());
  if (!provider.initialized()) return;
  const auto n = static_cast<uint32_t>(bytes.size());
  // As when the file was written, the cipher's result is not checked: a provider without the key
  // leaves the bytes as they are.
  if (encrypt)
    provider.Encrypt(kPasswordKeyIndex, bytes.data(), n);
  else
    provider.Decrypt(kPasswordKeyIndex, bytes.data(), n);
}

// Returns true when the rules file was read and accepted.
bool LoadRules(WorkstationConfig& settings, const std::u16string& path) {
  if (!platform::FileExists(path)) {
    LogStatus(kStatusInternalError, FormatString(u"Failed to open rules data file. Path: %s", path),
              EVENTLOG_WARNING_TYPE, 3);
    return false;
  }
  try {
    std::vector<uint8_t> bytes;
    uint64_t size = 0;
    switch (platform::ReadWholeFile(path, bytes, size, kMaxRulesFileSize)) {
      case platform::FileReadResult::kOk: break;
      case platform::FileReadResult::kCannotOpen:
        LogStatus(kStatusInternalError,
                  FormatString(u"Failed to open rules data file. Path: %s", path),
                  EVENTLOG_WARNING_TYPE, 3);
        return false;
      case platform::FileReadResult::kReadFailed:
        LogStatus(kStatusInternalError,
                  FormatString(u"Failed to read configurator data file [%s], size = %d.", path,
                               static_cast<int64_t>(size)),
                  EVENTLOG_WARNING_TYPE, 3);
        return false;
    }
    RuleSet set;
    if (!set.Read(std::span<const uint8_t>(bytes))) return false;  // current rules stay
    settings.rules = std::move(set.rules());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

std::u16string SettingsIniPath(std::u16string_view data_folder, std::u16string_view instance_name,
                               bool remote) {
  return FilePath(data_folder, kIniName, instance_name, remote, u"ini");
}

std::u16string RulesFilePath(std::u16string_view data_folder, std::u16string_view instance_name,
                             bool remote) {
  return FilePath(data_folder, kRulesName, instance_name, remote, u"dat");
}

std::u16string RemoteOverridesPath(std::u16string_view data_folder) {
  return FormatString(u"%s/%s/%s/%s.ts.ini", data_folder, kCompany, kProduct, kIniName);
}

std::u16string EncodePassword(std::u16string_view password) {
  if (password.empty()) return {};
  std::vector<uint8_t> bytes;
  bytes.reserve(password.size() * 2);
  for (char16_t c : password) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  CipherPassword(bytes, true);
  std::u16string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) text += FormatString(u"%02X", b);
  return text;
}

std::optional<std::u16string> DecodePassword(std::u16string_view text) {
  if (text.empty()) return std::nullopt;
  std::vector<uint8_t> bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int hi = HexDigit(text[2 * i]);
    const int lo = HexDigit(text[2 * i + 1]);
    // Not written by us: keeping the old password is better than deriving keys from garbage.
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  CipherPassword(bytes, false);
  std::u16string password;
  password.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    password.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  return password;
}

std::u16string JoinScreenList(const std::vector<std::u16string>& names) {
  std::u16string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i != 0) text += u':';
    text += names[i];
  }
  return text;
}

std::vector<std::u16string> SplitScreenList(std::u16string_view text) {
  std::vector<std::u16string> names;
  size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find_first_of(u":\n", start);
    if (end == std::u16string_view::npos) end = text.size();
    if (end > start) names.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

bool LoadSettings(WorkstationConfig& settings, std::u16string_view instance_name, bool remote) {
  const auto folder = DataFolder();
  if (!folder) return false;
  const std::u16string ini_path = SettingsIniPath(*folder, instance_name, remote);
  const std::u16string rules_path = RulesFilePath(*folder, instance_name, remote);

  CIniFile ini;
  ini.SetFileName(ini_path);
  if (auto pw = DecodePassword(ini.ReadString(kSection, u"EncryptionPassword", u"")))
    settings.EncryptionPassword = std::move(*pw);
  settings.ConfigIP = ini.ReadString(kSection, u"ConfigIP", kNotSet);
  settings.SecConfigIP = ini.ReadString(kSection, u"SecConfigIP", u"");
  settings.SCServerIP = ini.ReadString(kSection, u"SCServerIP", kNotSet);
  settings.LostText = ini.ReadString(kSection, u"LostText", u"");
  settings.BlankingText = ini.ReadString(kSection, u"BlankingText", u"");
  settings.RecordingPort = Low16(ini.ReadInt(kSection, u"RecordingPort", 4488));
  settings.ConfigPort = Low16(ini.ReadInt(kSection, u"ConfigPort", 4489));
  settings.ErrLogLevel = static_cast<uint32_t>(ini.ReadInt(kSection, u"ErrLogLevel", 2));
  settings.BroadcastPort = Low16(ini.ReadInt(kSection, u"BroadcastPort", 4490));
  settings.BroadcastTakesPref = Low16(ini.ReadInt(kSection, u"BroadcastTakesPref", 1));
  settings.AssignedFCC = static_cast<uint32_t>(
      ini.ReadInt(kSection, u"AssignedFCC", static_cast<int32_t>(kFourCcVp80)));
  settings.HTTPPort = static_cast<uint32_t>(ini.ReadInt(kSection, u"HTTPPort", 4483));
  settings.HTTPSSLCert = ini.ReadString(kSection, u"HTTPSSLCert", u"");
  settings.SeatingType = static_cast<uint32_t>(ini.ReadInt(kSection, u"SeatingType", 2));
  if (ini.ReadInt(kSection, u"EnableDesktopIcon", 0) != 0)
    settings.Flags |= kFlagDesktopIcon;
  else
    settings.Flags &= ~kFlagDesktopIcon;
  if (const auto screens = ini.ReadString(kSection, u"ScreenList", u""); !screens.empty())
    settings.screen_list = SplitScreenList(screens);

  const bool result = LoadRules(settings, rules_path);

  if (remote) {
    ini.SetFileName(RemoteOverridesPath(*folder));
    if (auto ip = ini.ReadString(kSection, u"ConfigIP", u""); !ip.empty())
      settings.ConfigIP = std::move(ip);
    if (const int32_t port = ini.ReadInt(kSection, u"ConfigPort", 0); port != 0)
      settings.ConfigPort = Low16(port);
    if (const int32_t fcc = ini.ReadInt(kSection, u"AssignedFCC", -1); fcc != -1)
      settings.AssignedFCC = static_cast<uint32_t>(fcc);
  }
  return result;
}

bool SaveSettings(const WorkstationConfig& settings, std::u16string_view instance_name,
                  bool remote) {
  const auto folder = DataFolder();
  if (!folder) return false;
  const std::u16string ini_path = SettingsIniPath(*folder, instance_name, remote);
  const std::u16string rules_path = RulesFilePath(*folder, instance_name, remote);

  // Existing folders and failures alike are ignored here; the writes below then fail quietly.
  platform::EnsureFolder(FormatString(u"%s/%s", *folder, kCompany));
  platform::EnsureFolder(FormatString(u"%s/%s/%s", *folder, kCompany, kProduct));

  CIniFile ini;
  ini.SetFileName(ini_path);
  ini.WriteString(kSection, u"EncryptionPassword", EncodePassword(settings.EncryptionPassword));
  ini.WriteString(kSection, u"ConfigIP", AsciiUpper(settings.ConfigIP));
  ini.WriteString(kSection, u"SecConfigIP", AsciiUpper(settings.SecConfigIP));
  ini.WriteString(kSection, u"SCServerIP", AsciiUpper(settings.SCServerIP));
  ini.WriteString(kSection, u"LostText", settings.LostText);
  ini.WriteString(kSection, u"BlankingText", settings.BlankingText);
  ini.WriteInt(kSection, u"RecordingPort", settings.RecordingPort);
  ini.WriteInt(kSection, u"ConfigPort", settings.ConfigPort);
  ini.WriteInt(kSection, u"ErrLogLevel", static_cast<int32_t>(settings.ErrLogLevel));
  ini.WriteInt(kSection, u"BroadcastPort", settings.BroadcastPort);
  ini.WriteInt(kSection, u"BroadcastTakesPref", settings.BroadcastTakesPref);
  ini.WriteInt(kSection, u"AssignedFCC", static_cast<int32_t>(settings.AssignedFCC));
  ini.WriteInt(kSection, u"SeatingType", static_cast<int32_t>(settings.SeatingType));
  ini.WriteInt(kSection, u"EnableDesktopIcon", (settings.Flags & kFlagDesktopIcon) ? 1 : 0);
  ini.WriteInt(kSection, u"HTTPPort", static_cast<int32_t>(settings.HTTPPort));
  ini.WriteString(kSection, u"HTTPSSLCert", AsciiUpper(settings.HTTPSSLCert));
  if (!settings.screen_list.empty())
    ini.WriteString(kSection, u"ScreenList", JoinScreenList(settings.screen_list));
  ini.Flush();

  // The whole rule list is serialised before the file is touched; the old file is replaced only
  // by a complete new one.
  std::vector<uint8_t> bytes;
  if (!RuleSet(settings.rules).Write(bytes)) return false;
  if (!platform::ReplaceFileContents(rules_path, bytes)) {
    LogStatus(kStatusInternalError,
              FormatString(u"Faile to create/save default rules. Path: %s", rules_path),
              EVENTLOG_WARNING_TYPE, 3);
    return false;
  }
  return true;
}

}  // namespace vorla
