// libFuzzer target: the Configurator's settings and rule files (tools/cfgsim/config_files.h)
// over any text, read both from memory (ParseJson + SettingsFromJson / RulesFromJson) and from a
// file on disk (ReadSettingsFile / ReadRulesFile), which must agree. Property, beyond "does not
// crash": what a file yields is what goes on the wire, so
//   - settings that read serialise (in the layout of their Version) to bytes that
//     WorkstationSettings::Deserialize reads back, whole, as the same record;
//   - rules that read write to bytes (RuleSet::Write) that RuleSet::Read reads back, whole, and
//     that write again as exactly the same bytes, rule by rule with the same names.
// A failure always comes with an error message.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "config_files.h"
#include "json_reader.h"

namespace {

using namespace vorla;
using namespace vorla::cfgsim;

const std::string& TempFile() {
  static const std::string path = [] {
    char dir[] = "/tmp/vorla-cfgsim-fuzz-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    return std::string(dir) + "/input.json";
  }();
  return path;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  if (std::fclose(f) != 0) std::abort();
}

void CheckSettings(const WorkstationSettings& s) {
  ByteWriter w;
  s.Serialize(w);
  WorkstationSettings back;
  back.SCServerIP = u"not what was written";
  ByteReader in(w.bytes());
  size_t used = 0;
  if (!back.Deserialize(in, used) || used != w.size()) std::abort();
  WorkstationSettings expected = s;
  expected.Version = kSettingsVersion;  // a read record is version 7; absent fields kept
  if (s.Version < 7) {
    // Fields the older layout lacks keep the values of the record read into.
    WorkstationSettings merged = back;
    merged.Version = s.Version;
    ByteWriter w2;
    merged.Serialize(w2);
    if (w2.bytes() != w.bytes()) std::abort();
    return;
  }
  if (!(back == expected)) std::abort();
}

void CheckRules(const RuleSet& set) {
  std::vector<uint8_t> bytes;
  if (!set.Write(bytes)) std::abort();
  RuleSet back;
  size_t used = 0;
  if (!back.Read(bytes, &used) || used != bytes.size()) std::abort();
  if (back.size() != set.size()) std::abort();
  for (size_t i = 0; i < set.size(); ++i)
    if (back.rules()[i]->name != set.rules()[i]->name) std::abort();
  std::vector<uint8_t> again;
  if (!back.Write(again) || again != bytes) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto doc = ParseJson(text, error);

  WorkstationSettings settings;
  RuleSet rules;
  std::string settings_error, rules_error;
  const bool settings_ok = doc && SettingsFromJson(*doc, settings, settings_error);
  const bool rules_ok = doc && RulesFromJson(*doc, rules, rules_error);
  if (doc && ((!settings_ok && settings_error.empty()) || (!rules_ok && rules_error.empty())))
    std::abort();
  if (settings_ok) CheckSettings(settings);
  if (rules_ok) CheckRules(rules);

  // The same text as a file gives the same results.
  const std::string& path = TempFile();
  WriteFile(path, data, size);
  WorkstationSettings from_file;
  RuleSet rules_from_file;
  std::string e1, e2;
  const bool file_settings_ok = ReadSettingsFile(path, from_file, e1);
  const bool file_rules_ok = ReadRulesFile(path, rules_from_file, e2);
  if (file_settings_ok != settings_ok || file_rules_ok != rules_ok) std::abort();
  if (!file_settings_ok && e1.rfind(path, 0) != 0) std::abort();
  if (!file_rules_ok && e2.rfind(path, 0) != 0) std::abort();
  if (settings_ok && !(from_file == settings)) std::abort();
  if (rules_ok) {
    std::vector<uint8_t> a, b;
    if (!rules.Write(a) || !rules_from_file.Write(b) || a != b) std::abort();
  }
  return 0;
}
