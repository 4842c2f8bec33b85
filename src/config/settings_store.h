// The workstation settings store: the settings record with its two lists, loaded from and saved
// to the files under <all-users application data>/Vorla/Workstation:
//   Workstation.ini             the record, section "Config"
//   DefRules.dat                the rule list in its binary form (rules/rule_set.h)
//   Workstation_<inst>.ini,     the same two inside a remote-desktop session, <inst> being the
//   DefRules_<inst>.dat         instance name the controller chose
//   Workstation.ts.ini          overrides shared by all remote sessions (ConfigIP, ConfigPort,
//                               AssignedFCC); placed there from outside, never written here
//
// The password is kept in the INI file as its UTF-16LE bytes enciphered with the security
// provider's RC4 key 1 (plain when the provider is not initialised), in upper-case hex.
//
// The rules file is replaced only by a complete new file (written aside, then renamed over the
// old one): a rule that cannot be serialised, or a crash while saving, leaves the previous rules
// file as it was.
//
// No lock: the controller calls these one at a time from its own thread. The provider's lock is
// held only around the password's encryption or decryption.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/workstation_settings.h"
#include "rules/rule_set.h"

namespace vorla {

// The controller's settings object: the record followed by the two lists that belong with it.
// Assigning a WorkstationSettings to it (through the base) replaces the record only.
struct WorkstationConfig : WorkstationSettings {
  RuleList rules;                           // the active rule list
  std::vector<std::u16string> screen_list;  // displays to record; empty means all
};

// Reads the INI file (every key, missing ones at their defaults), the rules file and, for a
// remote session, the shared overrides. True only when the rules file was read and its rule list
// accepted; otherwise the rule list stays as it was, while the INI values and the overrides are
// applied in any case. Reports (0xC0000FA0, warning, level 3) an unknown data folder and a rules
// file that cannot be opened or read.
bool LoadSettings(WorkstationConfig& settings, std::u16string_view instance_name, bool remote);

// Creates the folders, writes every key of the INI file (ScreenList only when the screen list is
// not empty) and then the rules file. True when the rules file was written completely. Reports an
// unknown data folder and a rules file that cannot be written.
bool SaveSettings(const WorkstationConfig& settings, std::u16string_view instance_name,
                  bool remote);

// The files' paths under `data_folder` (the all-users application data folder). A "/" in the
// instance name (which comes from the remote client) is replaced by "_" so that the files stay in
// the workstation's folder.
std::u16string SettingsIniPath(std::u16string_view data_folder, std::u16string_view instance_name,
                               bool remote);
std::u16string RulesFilePath(std::u16string_view data_folder, std::u16string_view instance_name,
                             bool remote);
std::u16string RemoteOverridesPath(std::u16string_view data_folder);

// The password's form in the INI file ("%02X" per byte, after encryption when the provider is
// initialised); empty for an empty password.
std::u16string EncodePassword(std::u16string_view password);
// The reverse. Nothing for an empty text (the field stays as it was) and for a text that is not
// hex; a last odd digit is ignored.
std::optional<std::u16string> DecodePassword(std::u16string_view text);

// ScreenList: names joined by ":"; on reading ":" and line feeds both separate and empty names
// are skipped.
std::u16string JoinScreenList(const std::vector<std::u16string>& names);
std::vector<std::u16string> SplitScreenList(std::u16string_view text);

}  // namespace vorla
