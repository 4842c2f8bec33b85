// The message compiler's source of the Windows message resource (src/platform/win32/messages.mc)
// is made from the message table; this test makes it again and fails when the committed file
// differs, so that the table and the resource cannot drift apart.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/message_table.h"
#include "common/text.h"

namespace vorla {
namespace {

constexpr char kCommitted[] = VORLA_SOURCE_DIR "/src/platform/win32/messages.mc";

// The message compiler's source: one message per entry, in English (language 1033), stored as
// UTF-16. Every line ends with CR LF, which the compiler keeps in the stored text, so that each
// stored text is exactly MessageResourceText(code). Compiled with
//   windmc -C 65001 -U -h <dir> -r <dir> messages.mc
std::string MessageCompilerSource() {
  std::string out =
      "; The message table as the message resource of the programs. Generated from the message\r\n"
      "; table by tests/common/message_resource_test.cpp: do not edit by hand.\r\n"
      "SeverityNames=(Success=0x0:STATUS_SEVERITY_SUCCESS\r\n"
      "               Informational=0x1:STATUS_SEVERITY_INFORMATIONAL\r\n"
      "               Warning=0x2:STATUS_SEVERITY_WARNING\r\n"
      "               Error=0x3:STATUS_SEVERITY_ERROR)\r\n"
      "LanguageNames=(English=0x409:MSG00409)\r\n";
  static const char* const kSeverity[] = {"Success", "Informational", "Warning", "Error"};
  for (const MessageEntry& e : MessageTable()) {
    char head[128];
    std::snprintf(head, sizeof(head), "\r\nMessageId=0x%X\r\nSeverity=%s\r\nLanguage=English\r\n",
                  e.code & 0xFFFFu, kSeverity[e.code >> 30]);
    out += head;
    out += ToUtf8(MessageResourceText(e.code));  // ends with its own CR LF
    out += ".\r\n";
  }
  return out;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// What the source above can express: a code is its severity and its 16-bit number (no facility,
// no customer or reserved bit), and a text is one line.
TEST(MessageResource, EveryEntryFitsTheCompilersSource) {
  for (const MessageEntry& e : MessageTable()) {
    SCOPED_TRACE(e.code);
    EXPECT_EQ(e.code & 0x3FFF0000u, 0u) << "extend MessageCompilerSource for facilities";
    const std::u16string text = MessageResourceText(e.code);
    ASSERT_TRUE(text.ends_with(u"\r\n"));
    EXPECT_EQ(text.find_first_of(u"\r\n"), text.size() - 2) << "a text of more than one line";
  }
}

TEST(MessageResource, CommittedSourceIsTheMessageTable) {
  const std::string expected = MessageCompilerSource();
  const std::string committed = ReadBytes(kCommitted);
  if (committed == expected) return;
  const std::string fresh = ::testing::TempDir() + "messages.mc";
  std::ofstream(fresh, std::ios::binary) << expected;
  ADD_FAILURE() << kCommitted << " does not match the message table (or its line ends were "
                << "changed: they must stay CR LF). The current text is in " << fresh
                << "; refresh the committed file with\n  cp " << fresh << " " << kCommitted;
}

}  // namespace
}  // namespace vorla
