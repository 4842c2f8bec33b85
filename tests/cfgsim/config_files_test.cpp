// The Configurator's settings and rule files (tools/cfgsim/config_files.h): what a file yields is
// what goes on the wire.
#include "config_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "json_reader.h"

namespace vorla::cfgsim {
namespace {

// Found by tests/fuzz/cfgsim_config_files_fuzz.cpp: a zero character in a text field ("\u0000",
// or a raw zero byte) was taken, and then ended the zero-terminated string of the binary form
// early, so the rule set (or settings record) that went out did not read back as itself.
TEST(ConfigFilesTest, ATextWithAZeroCharacterIsRefusedWithItsLineAndField) {
  const std::string with_escape = "[{\"name\": \"a\\u0000b\", \"inputs\": [{\"type\": \"ext\"}]}]";
  std::string raw = "[{\"name\": \"E\", \"inputs\": [{\"type\": \"ext\", \"name\": \"x?y\"}]}]";
  raw[raw.find('?')] = '\0';
  for (const std::string& text : {with_escape, raw}) {
    std::string error;
    const auto doc = ParseJson(text, error);
    ASSERT_TRUE(doc) << error;
    RuleSet rules;
    EXPECT_FALSE(RulesFromJson(*doc, rules, error));
    EXPECT_NE(error.find("line 1, field \"name\": a string without zero characters expected"),
              std::string::npos)
        << error;
  }

  std::string error;
  const auto settings_doc = ParseJson("{\"Version\": 7,\n \"ConfigIP\": \"10.0.0.6\\u0000x\"}", error);
  ASSERT_TRUE(settings_doc) << error;
  WorkstationSettings s;
  EXPECT_FALSE(SettingsFromJson(*settings_doc, s, error));
  EXPECT_NE(error.find("line 2, field \"ConfigIP\""), std::string::npos) << error;
}

TEST(ConfigFilesTest, RulesAndSettingsFromAFileReadBackFromTheirBinaryForm) {
  std::string error;
  const auto doc = ParseJson(
      R"([{"name": "R", "operator": "and", "inputs": [{"type": "ext", "name": "a\tb"},
          {"type": "schedule", "name": "S", "end_hour": 17}], "true_actions": [{"type": "record"}]}])",
      error);
  ASSERT_TRUE(doc) << error;
  RuleSet rules;
  ASSERT_TRUE(RulesFromJson(*doc, rules, error)) << error;
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(rules.Write(bytes));
  RuleSet back;
  size_t used = 0;
  ASSERT_TRUE(back.Read(bytes, &used));
  EXPECT_EQ(used, bytes.size());
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back.rules()[0]->name, u"R");
  EXPECT_EQ(back.rules()[0]->first_input->name, u"a\tb");

  const auto settings_doc = ParseJson(R"({"Version": 7, "ConfigIP": "cfg", "LostText": "lost"})",
                                      error);
  ASSERT_TRUE(settings_doc) << error;
  WorkstationSettings s;
  ASSERT_TRUE(SettingsFromJson(*settings_doc, s, error)) << error;
  ByteWriter w;
  s.Serialize(w);
  WorkstationSettings read;
  ByteReader in(w.bytes());
  size_t size = 0;
  ASSERT_TRUE(read.Deserialize(in, size));
  EXPECT_EQ(size, w.size());
  EXPECT_EQ(read, s);
}

}  // namespace
}  // namespace vorla::cfgsim
