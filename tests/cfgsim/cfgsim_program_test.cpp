// vorla-cfgsim as a program: a scripted workstation built from the network library connects and
// registers; the configuration message the program then sends (built from a JSON settings file
// and a JSON rule file) must carry exactly the bytes written out by hand below from the layouts
// of the settings record and the rule set.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "common/byte_writer.h"
#include "net/server_records.h"
#include "net/socket_manager.h"
#include "security/security_server.h"
#include "security/security_server_v2.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

constexpr uint32_t kLoopback = 0x0100007F;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Golden bytes, little-endian, spelled out field by field.
struct Golden {
  std::vector<uint8_t> b;
  Golden& U16(uint16_t v) {
    b.push_back(v & 0xFF);
    b.push_back(v >> 8);
    return *this;
  }
  Golden& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  // ASCII text as UTF-16LE with the 16-bit zero.
  Golden& Str(const std::string& s) {
    for (char c : s) U16(static_cast<uint8_t>(c));
    return U16(0);
  }
};

class CfgsimProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SecurityServer::Instance().Initialize());
  }

  uint16_t Start(std::vector<std::string> extra) {
    std::vector<std::string> argv = {test::BuiltProgram("vorla-cfgsim"), "--port", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    cfg_ = std::make_unique<test::ChildProgram>(
        argv, std::map<std::string, std::optional<std::string>>{}, dir_.path());
    const std::string marker = "listening on 127.0.0.1:";
    for (int i = 0; i < 200; ++i) {
      const std::string out = cfg_->Stdout();
      const size_t at = out.find(marker);
      if (at != std::string::npos)
        return static_cast<uint16_t>(std::stoi(out.substr(at + marker.size())));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "vorla-cfgsim did not start: " << cfg_->Stderr();
    return 0;
  }

  bool WaitForOutput(const std::string& text, int timeout_ms = 10000) {
    for (int waited = 0; waited < timeout_ms; waited += 50) {
      if (cfg_->Stdout().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Connects a workstation and registers it as the controller does.
  void Register(SocketManager& ws, uint16_t port) {
    ASSERT_EQ(ws.Connect(kLoopback, port), 0u);
    RegistrationRecord r;
    r.workstation_name = u"WS-7";
    r.workstation_address = kLoopback;
    ByteWriter w;
    WriteRecord(w, r);
    ASSERT_EQ(ws.Send(MakeNetwMessage(nwmt_ws_register, PayloadBuffer::CopyOf(w.bytes())), true),
              0u);
  }

  // The next message of `type` the workstation receives within 10 s.
  std::optional<netw_message_t> Next(SocketManager& ws, uint32_t type) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
      netw_message_t m;
      if (ws.incoming().Pop(m, 100) && m.header.type == type) return m;
    }
    return std::nullopt;
  }

  test::ScopedTempDir dir_;
  std::unique_ptr<test::ChildProgram> cfg_;
};

TEST_F(CfgsimProgramTest, SendsAConfigurationMessageWithTheHandWrittenBytes) {
  WriteText(dir_.Sub("settings.json"), R"({
  "SCServerIP": "10.0.0.5",
  "RecordingPort": 5000,
  "ConfigIP": "cfg",
  "AssignedFCC": "MJPG",
  "Flags": 256,
  "EncryptionPassword": "pw",
  "HTTPPort": 8080
})");
  WriteText(dir_.Sub("rules.json"), R"({"rules": [
  {"name": "R1", "operator": "single",
   "inputs": [{"type": "app", "name": "WIN", "title": "Notepad"}],
   "true_actions": [{"type": "record", "images_per_second": 5, "codec": "VP80"}],
   "false_actions": [{"type": "stop"}]}
]})");
  const uint16_t port =
      Start({"-c", "wait 1", "-c",
             "config text=hi settings=" + dir_.Sub("settings.json") +
                 " rules=" + dir_.Sub("rules.json")});
  ASSERT_NE(port, 0);
  SocketManager ws;
  Register(ws, port);
  const auto m = Next(ws, nwmt_cfg_config);
  ASSERT_TRUE(m) << cfg_->Stdout() << cfg_->Stderr();
  if (SecurityServer_v2::Instance().initialized()) {
    EXPECT_TRUE(m->header.flags & kNetwFlagSealed);
  }

  ASSERT_EQ(m->part1.size(), 1u);
  EXPECT_EQ(m->part1.data()[0], 0x07);  // text, settings and rules present

  Golden g;
  g.Str("hi");
  // The settings record, version 7: every field, defaults where the file gives none.
  g.U32(7).Str("10.0.0.5").U16(5000).Str("cfg").U16(4489).U16(4490).U16(1);
  g.U32(2);           // SeatingType
  g.U32(0x47504A4D);  // AssignedFCC "MJPG"
  g.U16(0).U32(1);    // Carried16, ErrLogLevel
  g.Str("");          // CarriedText (v2)
  g.U32(0x100);       // Flags (v3)
  g.U32(0);           // Carried32A (v4)
  g.Str("pw");        // EncryptionPassword (v5)
  g.Str("").Str("").Str("{10000000-0000-0000-0000-000000000000}").Str("");  // v6 texts
  g.U32(8080).U32(0);  // HTTPPort, Carried32B
  g.Str("");           // HTTPSSLCert (v7)
  // The rule set: one rule.
  g.U32(1);
  g.U32(514).Str("R1");                               // first input type, rule name
  g.Str("WIN").Str("Notepad").Str("");                // app input: name, title, class
  g.U32(1).U32(1).U32(1).U32(1);                      // its four masks
  g.U32(0);                                           // no second input
  g.U32(4);                                           // operator single
  g.U32(1).U32(257);                                  // TRUE list: one record action
  g.U32(0).U32(0).U32(0).U32(0).U32(5);               // x, y, width, height, images per second
  g.U32(0x30385056).U32(60).U32(25).U32(0xFFFFFFFF);  // "VP80", quality, carried, duration -1
  g.U32(1).U32(258);                                  // FALSE list: one stop action

  const std::vector<uint8_t> got(m->part2.span().begin(), m->part2.span().end());
  EXPECT_EQ(got, g.b);
  EXPECT_TRUE(WaitForOutput("registered workstation \"WS-7\" address 127.0.0.1"));
  EXPECT_TRUE(WaitForOutput("sent configuration (text, settings, 1 rules)"));

  // The closing status when the program stops.
  cfg_->Signal(SIGTERM);
  const auto status = Next(ws, nwmt_status);
  ASSERT_TRUE(status);
  ASSERT_EQ(status->part1.size(), 8u);
  EXPECT_EQ(status->part1.data()[0], 2);
  EXPECT_EQ(cfg_->Wait(15000), std::optional<int>(0)) << cfg_->Stderr();
}

TEST_F(CfgsimProgramTest, BadInputFilesNameTheLineAndTheField) {
  struct Case {
    const char* settings;
    const char* rules;
    const char* expected;
  } cases[] = {
      {"{\n \"RecordingPort\": 70000\n}", "[]", "line 2, field \"RecordingPort\""},
      {"{\n\n \"SCServerIp\": \"x\"}", "[]", "line 3, field \"SCServerIp\": unknown field"},
      {"{\"Flags\": 1,\n", "[]", "line 2:"},
      {"{}", "[\n{\"inputs\": [{\"type\": \"app\"}],\n \"true_actions\": [{\"type\": \"zoom\"}]}]",
       "line 3, field \"type\""},
      {"{}", "[{\"name\": \"R\",\n \"inputs\": [{\"type\": \"ext\", \"title\": \"t\"}]}]",
       "line 2, field \"title\": unknown field of an input"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    WriteText(dir_.Sub("s.json"), c.settings);
    WriteText(dir_.Sub("r.json"), c.rules);
    Start({"--exit-after-commands", "-c",
           "config settings=" + dir_.Sub("s.json") + " rules=" + dir_.Sub("r.json")});
    const auto code = cfg_->Wait(15000);
    EXPECT_EQ(code, std::optional<int>(1));
    EXPECT_NE(cfg_->Stdout().find(c.expected), std::string::npos) << cfg_->Stdout();
  }
}

}  // namespace
}  // namespace vorla
