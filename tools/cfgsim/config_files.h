// The Configurator's input files turned into what it sends: a settings file (a JSON object of
// WorkstationSettings field values, every field optional, the rest as a new record has them) and
// a rule file (a readable description of rules) turned into a RuleSet.
//
// Rule file: {"rules": [ rule, ... ]} or just [ rule, ... ]; a rule is
//   {"name": "R1", "operator": "single" | "and" | "or" | "not" | "and-not" | number,
//    "inputs": [ input, input? ], "true_actions": [ action... ], "false_actions": [ action... ]}
// input: {"type": "app" | "keyboard" | "ext" | "schedule" | "app-ex" | number, "name": ..., and
//   the fields of its type (see InputFieldsHelp)}; action: {"type": "record" | "stop" | "blank" |
//   "unblank" | number, and for record its fields}.
// Errors name the file, the line and the field.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config/workstation_settings.h"
#include "json_reader.h"
#include "net/netw_message.h"
#include "rules/rule_set.h"

namespace vorla::cfgsim {

bool SettingsFromJson(const JsonValue& doc, WorkstationSettings& out, std::string& error);
bool RulesFromJson(const JsonValue& doc, RuleSet& out, std::string& error);
bool ReadSettingsFile(const std::string& path, WorkstationSettings& out, std::string& error);
bool ReadRulesFile(const std::string& path, RuleSet& out, std::string& error);

// A four-character code from text ("VP80"; "MJPG"; or a number) as the settings and actions
// carry it: the first character in the lowest byte.
std::optional<uint32_t> FourCcFromText(const std::string& text);

// nwmt_cfg_config: part 1 the flag byte (1 text, 2 settings, 4 rules), part 2 the present
// parts in that order. False (with `error`) when the rules cannot be written.
struct ConfigParts {
  std::optional<std::u16string> text;
  std::optional<WorkstationSettings> settings;
  std::optional<RuleSet> rules;
};
bool BuildConfigMessage(const ConfigParts& parts, netw_message_t& out, std::string& error);

// The field list of the rule file, for --help.
std::string RuleFileHelp();

}  // namespace vorla::cfgsim
