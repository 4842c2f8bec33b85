#include "config_files.h"

#include <functional>
#include <map>

#include "common/byte_writer.h"
#include "common/text.h"
#include "rules/rule_actions.h"
#include "rules/trigger_input_app.h"
#include "rules/trigger_input_ext.h"
#include "rules/trigger_input_keyboard.h"
#include "rules/trigger_input_schedule.h"

namespace vorla::cfgsim {

namespace {

using Kind = JsonValue::Kind;

std::string At(const JsonValue& v, const std::string& field) {
  return "line " + std::to_string(v.line) + ", field \"" + field + "\": ";
}

bool Unsigned(const JsonValue& v, const std::string& field, uint64_t max, uint64_t& out,
              std::string& error) {
  if (v.kind != Kind::kNumber || v.number < 0 || static_cast<uint64_t>(v.number) > max) {
    error = At(v, field) + "a whole number from 0 to " + std::to_string(max) + " expected";
    return false;
  }
  out = static_cast<uint64_t>(v.number);
  return true;
}

bool Signed32(const JsonValue& v, const std::string& field, int32_t& out, std::string& error) {
  if (v.kind != Kind::kNumber || v.number < INT32_MIN || v.number > INT32_MAX) {
    error = At(v, field) + "a whole 32-bit number expected";
    return false;
  }
  out = static_cast<int32_t>(v.number);
  return true;
}

bool Text(const JsonValue& v, const std::string& field, std::u16string& out, std::string& error) {
  if (v.kind != Kind::kString) {
    error = At(v, field) + "a string expected";
    return false;
  }
  // Every text goes out as a zero-terminated UTF-16 string (settings record, rule binary form):
  // a zero inside ("\u0000", or a raw zero byte) would end it early there, and the receiver
  // would read the rest of the text as the following fields.
  if (v.text.find('\0') != std::string::npos) {
    error = At(v, field) + "a string without zero characters expected";
    return false;
  }
  out = FromUtf8(v.text);
  return true;
}

// A table of field readers: each named field of an object goes to one setter; unknown fields
// are errors (a misspelt field must not silently keep its default).
using Setter = std::function<bool(const JsonValue&, const std::string&, std::string&)>;
struct Field {
  const char* name;
  Setter set;
};

Setter U16(uint16_t& f) {
  return [&f](const JsonValue& v, const std::string& n, std::string& e) {
    uint64_t x = 0;
    if (!Unsigned(v, n, 0xFFFF, x, e)) return false;
    f = static_cast<uint16_t>(x);
    return true;
  };
}
Setter U32(uint32_t& f) {
  return [&f](const JsonValue& v, const std::string& n, std::string& e) {
    uint64_t x = 0;
    if (!Unsigned(v, n, 0xFFFFFFFF, x, e)) return false;
    f = static_cast<uint32_t>(x);
    return true;
  };
}
Setter I32(int32_t& f) {
  return [&f](const JsonValue& v, const std::string& n, std::string& e) {
    return Signed32(v, n, f, e);
  };
}
Setter Str(std::u16string& f) {
  return
      [&f](const JsonValue& v, const std::string& n, std::string& e) { return Text(v, n, f, e); };
}
// A FourCC as text ("VP80") or as a number.
Setter Fcc(uint32_t& f) {
  return [&f](const JsonValue& v, const std::string& n, std::string& e) {
    if (v.kind == Kind::kString) {
      const auto c = FourCcFromText(v.text);
      if (!c) {
        e = At(v, n) + "a four-character code (up to 4 ASCII characters) expected";
        return false;
      }
      f = *c;
      return true;
    }
    return U32(f)(v, n, e);
  };
}

bool ApplyFields(const JsonValue& obj, const std::string& what, const std::vector<Field>& fields,
                 const std::vector<std::string>& skip, std::string& error) {
  if (obj.kind != Kind::kObject) {
    error = "line " + std::to_string(obj.line) + ": " + what + " must be a JSON object";
    return false;
  }
  for (const auto& [key, value] : obj.members) {
    bool skipped = false;
    for (const auto& s : skip) skipped = skipped || s == key;
    if (skipped) continue;
    const Field* f = nullptr;
    for (const auto& c : fields)
      if (key == c.name) f = &c;
    if (!f) {
      error = At(value, key) + "unknown field of " + what;
      return false;
    }
    if (!f->set(value, key, error)) return false;
  }
  return true;
}

std::optional<int32_t> NamedCode(const JsonValue& v, const std::string& field,
                                 const std::map<std::string, int32_t>& names, std::string& error) {
  if (v.kind == Kind::kNumber) {
    int32_t n = 0;
    if (!Signed32(v, field, n, error)) return std::nullopt;
    return n;
  }
  if (v.kind == Kind::kString) {
    const auto it = names.find(v.text);
    if (it != names.end()) return it->second;
  }
  std::string list;
  for (const auto& [k, c] : names) list += (list.empty() ? "" : ", ") + k;
  error = At(v, field) + "one of " + list + " or a number expected";
  return std::nullopt;
}

std::shared_ptr<TriggerInputBase> InputFromJson(const JsonValue& obj, std::string& error) {
  if (obj.kind != Kind::kObject) {
    error = "line " + std::to_string(obj.line) + ": an input must be a JSON object";
    return nullptr;
  }
  const JsonValue* type = obj.Find("type");
  if (!type) {
    error = "line " + std::to_string(obj.line) + ", field \"type\": an input needs a type";
    return nullptr;
  }
  const auto code = NamedCode(*type, "type",
                              {{"app", kTriggerInputTypeApp},
                               {"keyboard", kTriggerInputTypeKeyBoard},
                               {"ext", kTriggerInputTypeExt},
                               {"schedule", kTriggerInputTypeSchedule},
                               {"app-ex", kTriggerInputTypeAppEx}},
                              error);
  if (!code) return nullptr;
  auto input = CreateTriggerInput(*code);
  if (!input) {
    error = At(*type, "type") + "unknown input type " + std::to_string(*code);
    return nullptr;
  }
  std::vector<Field> fields = {{"name", Str(input->name)}};
  if (auto* a = dynamic_cast<TriggerInputApp*>(input.get())) {
    fields.insert(fields.end(), {{"title", Str(a->title_text)},
                                 {"class", Str(a->class_text)},
                                 {"show_state_mask", U32(a->show_state_mask)},
                                 {"excluded_state_mask", U32(a->excluded_state_mask)},
                                 {"focus_mask", U32(a->focus_mask)},
                                 {"excluded_focus_mask", U32(a->excluded_focus_mask)}});
  } else if (auto* k = dynamic_cast<TriggerInputKeyBoard*>(input.get())) {
    fields.insert(fields.end(), {{"start_key", U32(k->start_key)},
                                 {"start_modifiers", U32(k->start_modifiers)},
                                 {"stop_key", U32(k->stop_key)},
                                 {"stop_modifiers", U32(k->stop_modifiers)}});
  } else if (auto* s = dynamic_cast<TriggerInputSchedule*>(input.get())) {
    fields.insert(fields.end(), {{"start_hour", U32(s->start_hour)},
                                 {"start_minute", U32(s->start_minute)},
                                 {"start_second", U32(s->start_second)},
                                 {"end_hour", U32(s->end_hour)},
                                 {"end_minute", U32(s->end_minute)},
                                 {"end_second", U32(s->end_second)}});
  } else if (auto* x = dynamic_cast<TriggerInputAppEx*>(input.get())) {
    fields.insert(fields.end(), {{"start_title", Str(x->start_title_text)},
                                 {"start_class", Str(x->start_class_text)},
                                 {"stop_title", Str(x->stop_title_text)},
                                 {"stop_class", Str(x->stop_class_text)},
                                 {"start_focus_mask", U32(x->start_focus_mask)},
                                 {"stop_focus_mask", U32(x->stop_focus_mask)}});
  }
  if (!ApplyFields(obj, "an input", fields, {"type"}, error)) return nullptr;
  return input;
}

std::shared_ptr<ActionBase> ActionFromJson(const JsonValue& obj, std::string& error) {
  if (obj.kind != Kind::kObject) {
    error = "line " + std::to_string(obj.line) + ": an action must be a JSON object";
    return nullptr;
  }
  const JsonValue* type = obj.Find("type");
  if (!type) {
    error = "line " + std::to_string(obj.line) + ", field \"type\": an action needs a type";
    return nullptr;
  }
  const auto code = NamedCode(*type, "type",
                              {{"record", kActionTypeRecord},
                               {"stop", kActionTypeStopRecord},
                               {"blank", kActionTypeBlank},
                               {"unblank", kActionTypeUnBlank}},
                              error);
  if (!code) return nullptr;
  auto action = CreateAction(*code);
  if (!action) {
    error = At(*type, "type") + "unknown action type " + std::to_string(*code);
    return nullptr;
  }
  std::vector<Field> fields;
  if (auto* r = dynamic_cast<ActionRecord*>(action.get())) {
    fields = {{"x", I32(r->x)},
              {"y", I32(r->y)},
              {"width", U32(r->width)},
              {"height", U32(r->height)},
              {"images_per_second", U32(r->images_per_second)},
              {"codec", Fcc(r->codec_fourcc)},
              {"quality", U32(r->quality)},
              {"carried_value", U32(r->carried_value)},
              {"duration_seconds", I32(r->duration_seconds)}};
  }
  if (!ApplyFields(obj, "an action", fields, {"type"}, error)) return nullptr;
  return action;
}

bool ActionsFromJson(const JsonValue& v, const std::string& field, ActionList& out,
                     std::string& error) {
  if (v.kind != Kind::kArray) {
    error = At(v, field) + "a list of actions expected";
    return false;
  }
  for (const auto& item : v.items) {
    auto a = ActionFromJson(item, error);
    if (!a) return false;
    out.push_back(std::move(a));
  }
  return true;
}

std::shared_ptr<TriggerRule> RuleFromJson(const JsonValue& obj, std::string& error) {
  auto rule = std::make_shared<TriggerRule>();
  rule->rule_operator = kRuleOperatorSingle;
  bool have_inputs = false;
  const std::vector<Field> fields = {
      {"name", Str(rule->name)},
      {"operator",
       [&](const JsonValue& v, const std::string& n, std::string& e) {
         const auto op = NamedCode(v, n,
                                   {{"and", kRuleOperatorAnd},
                                    {"or", kRuleOperatorOr},
                                    {"not", kRuleOperatorNot},
                                    {"single", kRuleOperatorSingle},
                                    {"and-not", kRuleOperatorAndNot}},
                                   e);
         if (op) rule->rule_operator = *op;
         return op.has_value();
       }},
      {"inputs",
       [&](const JsonValue& v, const std::string& n, std::string& e) {
         if (v.kind != Kind::kArray || v.items.empty() || v.items.size() > 2) {
           e = At(v, n) + "a list of one or two inputs expected";
           return false;
         }
         rule->first_input = InputFromJson(v.items[0], e);
         if (!rule->first_input) return false;
         if (v.items.size() == 2) {
           rule->second_input = InputFromJson(v.items[1], e);
           if (!rule->second_input) return false;
         }
         have_inputs = true;
         return true;
       }},
      {"true_actions",
       [&](const JsonValue& v, const std::string& n, std::string& e) {
         return ActionsFromJson(v, n, rule->true_actions, e);
       }},
      {"false_actions",
       [&](const JsonValue& v, const std::string& n, std::string& e) {
         return ActionsFromJson(v, n, rule->false_actions, e);
       }},
  };
  if (!ApplyFields(obj, "a rule", fields, {}, error)) return nullptr;
  if (!have_inputs) {
    error = "line " + std::to_string(obj.line) + ", field \"inputs\": a rule needs an input";
    return nullptr;
  }
  return rule;
}

}  // namespace

std::optional<uint32_t> FourCcFromText(const std::string& text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  uint32_t v = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c > 0x7E) return std::nullopt;
    v |= static_cast<uint32_t>(c) << (8 * i);
  }
  return v;
}

bool SettingsFromJson(const JsonValue& doc, WorkstationSettings& s, std::string& error) {
  const std::vector<Field> fields = {
      {"Version", U32(s.Version)},
      {"SCServerIP", Str(s.SCServerIP)},
      {"RecordingPort", U16(s.RecordingPort)},
      {"ConfigIP", Str(s.ConfigIP)},
      {"ConfigPort", U16(s.ConfigPort)},
      {"BroadcastPort", U16(s.BroadcastPort)},
      {"BroadcastTakesPref", U16(s.BroadcastTakesPref)},
      {"SeatingType", U32(s.SeatingType)},
      {"AssignedFCC", Fcc(s.AssignedFCC)},
      {"Carried16", U16(s.Carried16)},
      {"ErrLogLevel", U32(s.ErrLogLevel)},
      {"CarriedText", Str(s.CarriedText)},
      {"Flags", U32(s.Flags)},
      {"Carried32A", U32(s.Carried32A)},
      {"EncryptionPassword", Str(s.EncryptionPassword)},
      {"BlankingText", Str(s.BlankingText)},
      {"LostText", Str(s.LostText)},
      {"GuidText", Str(s.GuidText)},
      {"SecConfigIP", Str(s.SecConfigIP)},
      {"HTTPPort", U32(s.HTTPPort)},
      {"Carried32B", U32(s.Carried32B)},
      {"HTTPSSLCert", Str(s.HTTPSSLCert)},
  };
  WorkstationSettings fresh;
  s = fresh;
  if (!ApplyFields(doc, "the settings", fields, {}, error)) return false;
  if (s.Version < 1) {
    error = "field \"Version\": the layout version starts at 1";
    return false;
  }
  return true;
}

bool RulesFromJson(const JsonValue& doc, RuleSet& out, std::string& error) {
  const JsonValue* list = &doc;
  if (doc.kind == Kind::kObject) {
    if (!ApplyFields(doc, "the rule file", {{"rules", [](auto&, auto&, auto&) { return true; }}},
                     {}, error))
      return false;
    list = doc.Find("rules");
    if (!list) {
      error = "line " + std::to_string(doc.line) + ", field \"rules\": missing";
      return false;
    }
  }
  if (list->kind != Kind::kArray) {
    error = At(*list, "rules") + "a list of rules expected";
    return false;
  }
  RuleList rules;
  for (const auto& item : list->items) {
    auto r = RuleFromJson(item, error);
    if (!r) return false;
    rules.push_back(std::move(r));
  }
  out = RuleSet(std::move(rules));
  return true;
}

bool ReadSettingsFile(const std::string& path, WorkstationSettings& out, std::string& error) {
  auto doc = ReadJsonFile(path, error);
  if (!doc) return false;
  if (!SettingsFromJson(*doc, out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool ReadRulesFile(const std::string& path, RuleSet& out, std::string& error) {
  auto doc = ReadJsonFile(path, error);
  if (!doc) return false;
  if (!RulesFromJson(*doc, out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool BuildConfigMessage(const ConfigParts& parts, netw_message_t& out, std::string& error) {
  uint8_t flags = 0;
  ByteWriter w;
  if (parts.text) {
    flags |= 1;
    w.Utf16z(*parts.text);
  }
  if (parts.settings) {
    flags |= 2;
    parts.settings->Serialize(w);
  }
  if (parts.rules) {
    flags |= 4;
    std::vector<uint8_t> bytes;
    if (!parts.rules->Write(bytes)) {
      error = "the rules cannot be written in their binary form";
      return false;
    }
    w.Bytes(bytes.data(), bytes.size());
  }
  const uint8_t flag_byte[1] = {flags};
  out = MakeNetwMessage(nwmt_cfg_config, PayloadBuffer::CopyOf(flag_byte),
                        PayloadBuffer::CopyOf(w.bytes()));
  return true;
}

std::string RuleFileHelp() {
  return R"(Rule file (JSON): {"rules": [rule, ...]} or [rule, ...]. A rule:
  {"name": "R1", "operator": "single"|"and"|"or"|"not"|"and-not"|number (default single),
   "inputs": [input] or [input, input], "true_actions": [action...], "false_actions": [...]}
  Inputs ("type" and "name" always; the other fields default as a new input has them):
    app      title, class, show_state_mask, excluded_state_mask, focus_mask, excluded_focus_mask
    keyboard start_key, start_modifiers, stop_key, stop_modifiers
    ext      (no further fields)
    schedule start_hour, start_minute, start_second, end_hour, end_minute, end_second
    app-ex   start_title, start_class, stop_title, stop_class, start_focus_mask, stop_focus_mask
  Actions ("type"): record (x, y, width, height, images_per_second, codec ("VP80", "MJPG" or a
    number), quality, carried_value, duration_seconds), stop, blank, unblank.
Settings file (JSON): an object of WorkstationSettings fields by their names (Version,
  SCServerIP, RecordingPort, ConfigIP, ConfigPort, BroadcastPort, BroadcastTakesPref,
  SeatingType, AssignedFCC ("VP80" or a number), Carried16, ErrLogLevel, CarriedText, Flags,
  Carried32A, EncryptionPassword, BlankingText, LostText, GuidText, SecConfigIP, HTTPPort,
  Carried32B, HTTPSSLCert); fields not given keep the values of a new record.
)";
}

}  // namespace vorla::cfgsim
