// vorla-cfgsim as a program: a scripted workstation built from the network library connects and
// registers; the configuration message the program then sends (built from a JSON settings file
// and a JSON rule file) must carry exactly the bytes written out by hand below from the layouts
// of the settings record and the rule set.
#include <gtest/gtest.h>
#include <signal.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "common/text.h"
#include "compression/compressor.h"
#include "net/broadcast_client.h"
#include "net/server_records.h"
#include "net/socket_manager.h"
#include "platform/sockets.h"
#include "security/security_server.h"
#include "security/security_server_v2.h"
#include "support/child_process.h"
#include "support/golden_bytes.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

constexpr uint32_t kLoopback = 0x0100007F;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

using test::Golden;

class CfgsimProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SecurityServer::Instance().Initialize()); }

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

  // The next message of `type` the workstation receives within `timeout_ms`.
  std::optional<netw_message_t> Next(SocketManager& ws, uint32_t type, int timeout_ms = 10000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
      netw_message_t m;
      if (ws.incoming().Pop(m, 100) && m.header.type == type) return m;
    }
    return std::nullopt;
  }

  // The workstation's session configuration request for `user`.
  static void AskSessionConfig(SocketManager& ws, const std::string& user) {
    ByteWriter w;
    w.Utf16z(FromUtf8(user));
    EXPECT_EQ(
        ws.Send(MakeNetwMessage(nwmt_cfg_sessionconfig, PayloadBuffer::CopyOf(Golden().U32(1).b),
                                PayloadBuffer::CopyOf(w.bytes())),
                true),
        0u);
  }

  // Sends `m` back to the Configurator with `result` in the first word of part 1, as the
  // workstation answers a request.
  static void Answer(SocketManager& ws, const netw_message_t& m, uint32_t result) {
    std::vector<uint8_t> p1(m.part1.span().begin(), m.part1.span().end());
    ASSERT_GE(p1.size(), 4u);
    for (int i = 0; i < 4; ++i) p1[i] = static_cast<uint8_t>(result >> (8 * i));
    ASSERT_EQ(ws.Send(MakeNetwMessage(m.header.type, PayloadBuffer::CopyOf(p1), m.part2), true),
              0u);
  }

  static std::vector<uint8_t> Bytes(const PayloadBuffer& b) {
    return std::vector<uint8_t>(b.span().begin(), b.span().end());
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
  const uint16_t port = Start({"-c", "wait 1", "-c",
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
  g.U32(8080).U32(0);                                                       // HTTPPort, Carried32B
  g.Str("");                                                                // HTTPSSLCert (v7)
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

TEST_F(CfgsimProgramTest, SendsRequestsAndPrintsTheWorkstationsAnswers) {
  const uint16_t port =
      Start({"-c", "wait 1", "-c", "trigger start blank value=7 text=t event=E1 name=N data=0a0b",
             "-c", "blank on text=x", "-c", "live start", "-c", "trigger stop norecord"});
  ASSERT_NE(port, 0);
  SocketManager ws;
  Register(ws, port);

  const auto trigger = Next(ws, nwmt_cfg_trigger);
  ASSERT_TRUE(trigger) << cfg_->Stdout();
  EXPECT_EQ(Bytes(trigger->part1), Golden().U32(0).U32(3).b);  // START with blanking
  Golden t;
  t.U32(2).U32(7).Str("t");              // version, request value, request text
  t.U32(1).Str("E1").U32(0).U64(0);      // event: presence, id, rule reference, start time
  t.U64(0).U64(0).U32(0).U32(0).U32(0);  // end time, recorded bytes, reserved, no texts
  t.U32(2);                              // data length
  t.U8(0x0a).U8(0x0b);
  t.Str("N");  // trigger name
  EXPECT_EQ(Bytes(trigger->part2), t.b);
  Answer(ws, *trigger, 0);
  EXPECT_TRUE(
      WaitForOutput("trigger answer: START+BLANK result 0x00000000, version 2 value 7 "
                    "text \"t\" event \"E1\" data 2 bytes trigger \"N\""))
      << cfg_->Stdout();

  const auto blank = Next(ws, nwmt_cfg_blank);
  ASSERT_TRUE(blank);
  EXPECT_EQ(Bytes(blank->part1), Golden().U32(0).U32(0).b);
  EXPECT_EQ(Bytes(blank->part2), Golden().U32(1).U32(1).Str("x").U32(0).b);
  Answer(ws, *blank, 0xC0000FE9);
  EXPECT_TRUE(WaitForOutput("blanking answer: result 0xC0000FE9")) << cfg_->Stdout();

  const auto live = Next(ws, nwmt_cfg_live);
  ASSERT_TRUE(live);
  EXPECT_EQ(Bytes(live->part1), Golden().U32(0).U32(1).b);
  EXPECT_TRUE(live->part2.empty());
  Answer(ws, *live, 0);
  EXPECT_TRUE(WaitForOutput("live-view answer: START result 0x00000000")) << cfg_->Stdout();

  const auto stop = Next(ws, nwmt_cfg_trigger);
  ASSERT_TRUE(stop);
  EXPECT_EQ(Bytes(stop->part1), Golden().U32(0).U32(0).b);
  EXPECT_EQ(stop->header.length2, 0u);
  Answer(ws, *stop, 0xC0000FA3);
  EXPECT_TRUE(WaitForOutput("trigger answer: STOP result 0xC0000FA3, no record")) << cfg_->Stdout();
  cfg_->Signal(SIGTERM);
  EXPECT_EQ(cfg_->Wait(15000), std::optional<int>(0)) << cfg_->Stderr();
}

TEST_F(CfgsimProgramTest, AnswersSessionConfigurationRequestsPerUser) {
  WriteText(dir_.Sub("alice.json"),
            R"([{"name": "A", "operator": "single", "inputs": [{"type": "ext"}],
                 "true_actions": [{"type": "blank"}]}])");
  const uint16_t port = Start({"--session-rules", "alice=" + dir_.Sub("alice.json")});
  ASSERT_NE(port, 0);
  SocketManager ws;
  Register(ws, port);
  auto ask = [&](const std::string& user) {
    AskSessionConfig(ws, user);
    return Next(ws, nwmt_cfg_sessionconfig);
  };
  {
    SCOPED_TRACE("a user with rules");
    const auto a = ask("alice");
    ASSERT_TRUE(a) << cfg_->Stdout();
    EXPECT_EQ(Bytes(a->part1), Golden().U32(0xFFFFFFFF).b);
    Golden g;
    g.U32(3).Str("").Str("").U16(0);
    g.U32(1).U32(516).Str("A").Str("EXT");   // one rule: an external input named by default
    g.U32(0).U32(4).U32(1).U32(260).U32(0);  // no second input; single; TRUE: blank; FALSE: none
    g.Str("").Str("");
    EXPECT_EQ(Bytes(a->part2), g.b);
    EXPECT_TRUE(WaitForOutput("sent session configuration for \"alice\" (1 rules)"));
  }
  {
    SCOPED_TRACE("a user without rules gets an empty rule set");
    const auto b = ask("bob");
    ASSERT_TRUE(b);
    EXPECT_EQ(Bytes(b->part2), Golden().U32(3).Str("").Str("").U16(0).U32(0).Str("").Str("").b);
  }
  cfg_->Signal(SIGTERM);
  EXPECT_EQ(cfg_->Wait(15000), std::optional<int>(0));
}

TEST_F(CfgsimProgramTest, RefusesOrIgnoresSessionConfigurationRequestsWhenToldTo) {
  {
    SCOPED_TRACE("refused with word 5: a version-1 answer without rules");
    const uint16_t port = Start({"--session-answer", "refuse:5"});
    ASSERT_NE(port, 0);
    SocketManager ws;
    Register(ws, port);
    AskSessionConfig(ws, "carol");
    const auto a = Next(ws, nwmt_cfg_sessionconfig);
    ASSERT_TRUE(a) << cfg_->Stdout();
    EXPECT_EQ(Bytes(a->part1), Golden().U32(5).b);
    EXPECT_EQ(Bytes(a->part2), Golden().U32(1).Str("").Str("").U16(0).U32(0).b);
    cfg_->Signal(SIGTERM);
    EXPECT_EQ(cfg_->Wait(15000), std::optional<int>(0));
  }
  {
    SCOPED_TRACE("never answered");
    const uint16_t port = Start({"--session-answer", "none"});
    ASSERT_NE(port, 0);
    SocketManager ws;
    Register(ws, port);
    AskSessionConfig(ws, "carol");
    EXPECT_TRUE(WaitForOutput("session configuration request for \"carol\" left unanswered"));
    EXPECT_FALSE(Next(ws, nwmt_cfg_sessionconfig, 500));
    cfg_->Signal(SIGTERM);
    EXPECT_EQ(cfg_->Wait(15000), std::optional<int>(0));
  }
}

TEST_F(CfgsimProgramTest, PrintsLiveFramesAndSavesTheJpegOnes) {
  const std::string folder = dir_.Sub("live");
  const uint16_t port = Start({"--save-live", folder});
  ASSERT_NE(port, 0);
  SocketManager ws;
  Register(ws, port);

  // A real JPEG frame from the workstation's engine.
  CompressorParams p{0, 32, 16, 3, 1, 60};
  ASSERT_EQ(CMP_Initiate(p), 0u);
  std::vector<uint8_t> image(32 * 16 * 3, 0x80);
  PayloadBuffer jpeg;
  uint32_t flags = 0;
  bool key = true;
  ASSERT_EQ(CMP_Compress(image.data(), static_cast<uint32_t>(image.size()), jpeg, flags, key), 0u);
  CMP_Release();
  auto send_frame = [&](uint32_t fcc, const PayloadBuffer& data, uint64_t stated_length) {
    Golden d;
    d.U64(1700000000123).U32(fcc).U32(60).U64(stated_length);  // time, codec, quality, length
    d.U32(0).U32(0).U32(32).U32(16).U32(0x10).U32(0);
    ASSERT_EQ(ws.Send(MakeNetwMessage(nwmt_live_frame, PayloadBuffer::CopyOf(d.b), data), true),
              0u);
  };
  send_frame(0, jpeg, jpeg.size());
  ASSERT_TRUE(WaitForOutput("live frame 32x16 JPEG quality 60 key, " + std::to_string(jpeg.size()) +
                            " bytes, taken 2023-11-14T22:13:20.123Z; saved as "))
      << cfg_->Stdout();
  const std::string saved = folder + "/live-1-000001.jpg";
  EXPECT_EQ(test::ReadFile(saved), std::string(jpeg.span().begin(), jpeg.span().end()));

  const PayloadBuffer vp8 = PayloadBuffer::CopyOf(std::vector<uint8_t>{1, 2, 3, 4});
  send_frame(0x30385056, vp8, 9);
  EXPECT_TRUE(
      WaitForOutput("live frame 32x16 VP80 quality 60 key, 4 bytes (the description "
                    "says 9), taken 2023-11-14T22:13:20.123Z; not saved: not a JPEG image"))
      << cfg_->Stdout();
  ASSERT_EQ(
      ws.Send(MakeNetwMessage(nwmt_live_frame, PayloadBuffer::CopyOf(Golden().U32(1).b)), true),
      0u);
  EXPECT_TRUE(WaitForOutput("malformed live frame ignored (4-byte description)"));
  cfg_->Signal(SIGTERM);
  EXPECT_EQ(cfg_->Wait(15000), std::optional<int>(0));
  EXPECT_FALSE(std::filesystem::exists(folder + "/live-1-000002.jpg"));
}

TEST_F(CfgsimProgramTest, AnnouncesItselfByDatagramAndNamesTheFailingScriptLine) {
  auto udp = platform::UdpSocket::Create();
  ASSERT_TRUE(udp);
  ASSERT_EQ(udp->Bind(0), 0u);
  WriteText(dir_.Sub("scenario.txt"),
            "# an announcement, then a mistake\n"
            "announce 127.0.0.1:" +
                std::to_string(udp->LocalPort()) +
                " cfg=cfg.example cfgport=4600 kind=9\n"
                "\n"
                "trigger sideways\n");
  Start({"--exit-after-commands", "--script", dir_.Sub("scenario.txt")});
  ASSERT_EQ(udp->WaitReadable(10000), platform::SocketWait::kReady) << cfg_->Stdout();
  std::vector<uint8_t> datagram(1024);
  const int64_t n = udp->ReceiveFrom(datagram);
  ASSERT_GT(n, 0);
  datagram.resize(static_cast<size_t>(n));
  Golden part2;
  part2.U32(9).U16(4600).Str("cfg.example");
  // The header: type 240, no part 1, part 2's length; nothing else set.
  std::vector<uint8_t> expected = Golden().U32(240).U32(0).U32(part2.b.size()).b;
  expected.resize(kNetwHeaderSize, 0);
  expected.insert(expected.end(), part2.b.begin(), part2.b.end());
  EXPECT_EQ(datagram, expected);
  // And the workstation's own reader takes it.
  netw_message_t m;
  ASSERT_EQ(ParseDatagram(datagram, m), 0u);
  EXPECT_EQ(m.header.type, nwmt_cfg_announce);
  EXPECT_EQ(Bytes(m.part2), part2.b);

  EXPECT_EQ(cfg_->Wait(15000), std::optional<int>(1));
  EXPECT_NE(cfg_->Stdout().find("announced cfg.example:4600 to 127.0.0.1:"), std::string::npos);
  EXPECT_NE(cfg_->Stdout().find("command failed: " + dir_.Sub("scenario.txt") +
                                ": line 4: trigger: unknown word sideways"),
            std::string::npos)
      << cfg_->Stdout();
}

// Peers that misbehave: each ends with a line naming its link, and the next link is served.
TEST_F(CfgsimProgramTest, GarbageCutFramesAndFloodsEndOnlyTheirLink) {
  const uint16_t port = Start({});
  ASSERT_NE(port, 0);
  auto raw_link = [&] {
    auto raw = platform::TcpSocket::Create();
    EXPECT_TRUE(raw);
    EXPECT_EQ(raw->Connect(kLoopback, port), 0u);
    return raw;
  };
  uint32_t link = 0;
  auto expect_closed = [&](const std::string& why) {
    ++link;
    EXPECT_TRUE(WaitForOutput("#" + std::to_string(link) + " 127.0.0.1: link closed: " + why))
        << cfg_->Stdout();
  };
  {
    auto raw = raw_link();
    ASSERT_EQ(raw->SendAll(std::vector<uint8_t>(80, 0xEE)), 0u);
    expect_closed(
        "a header that is not one of this protocol (type 4008636142, parts of "
        "4008636142 and 4008636142 bytes) (error 10053)");
  }
  {
    // A message enciphered with a provider key that does not exist (index 2): it cannot be opened.
    auto raw = raw_link();
    netw_header h;
    h.type = nwmt_status;
    h.length1 = 16;
    h.flags = kNetwFlagProviderCipher;
    h.key_index = 2;
    std::vector<uint8_t> bytes(kNetwHeaderSize + 16, 0x33);
    WriteNetwHeader(h, std::span<uint8_t, kNetwHeaderSize>(bytes.data(), kNetwHeaderSize));
    ASSERT_EQ(raw->SendAll(bytes), 0u);
    EXPECT_TRUE(WaitForOutput("#" + std::to_string(link + 1) +
                              " 127.0.0.1: a message of type 2 (flags 1, parts of 16 and 0 bytes) "
                              "that could not be opened was dropped"))
        << cfg_->Stdout();
    raw.reset();
    expect_closed("reset by the workstation");
  }
  {
    // A plain header announcing 1,000 bytes of part 2, then 10 bytes and the close.
    auto raw = raw_link();
    netw_header h;
    h.type = nwmt_status;
    h.length2 = 1000;
    std::vector<uint8_t> bytes(kNetwHeaderSize + 10, 0);
    WriteNetwHeader(h, std::span<uint8_t, kNetwHeaderSize>(bytes.data(), kNetwHeaderSize));
    ASSERT_EQ(raw->SendAll(bytes), 0u);
    // Read the Configurator's public key first, so that the close is an orderly one.
    std::vector<uint8_t> key(kNetwHeaderSize + 32);
    size_t got = 0;
    while (got < key.size() && raw->WaitReadable(5000) == platform::SocketWait::kReady) {
      const int64_t n = raw->Receive(std::span<uint8_t>(key).subspan(got));
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    ASSERT_EQ(got, key.size());
    raw.reset();
    expect_closed("closed by the workstation in the middle of a message (74 bytes of it came)");
  }
  {
    // A flood of status messages as fast as they go: every one is read, and printed or counted.
    SocketManager flood;
    ASSERT_EQ(flood.Connect(kLoopback, port), 0u);
    ++link;
    const auto status =
        MakeNetwMessage(nwmt_status, PayloadBuffer::CopyOf(Golden().U32(1).U32(5).b));
    constexpr size_t kFlood = 3000;
    for (size_t i = 0; i < kFlood; ++i) ASSERT_EQ(flood.Send(status, true), 0u);
    flood.Disconnect();
    const std::string tag = "#" + std::to_string(link) + " 127.0.0.1: ";
    EXPECT_TRUE(WaitForOutput(tag + "link closed: ")) << cfg_->Stdout();
    const std::string out = cfg_->Stdout();
    EXPECT_NE(out.find(tag + "flood: more than 200 lines a second"), std::string::npos);
    size_t printed = 0, left_out = 0;
    for (size_t at = 0;
         (at = out.find(tag + "status kind 1 value 0x00000005", at)) != std::string::npos; ++at)
      ++printed;
    const std::string counted = tag + "flood: ";
    for (size_t at = 0; (at = out.find(counted, at)) != std::string::npos; ++at) {
      const std::string rest = out.substr(at + counted.size(), 40);
      if (std::isdigit(static_cast<unsigned char>(rest[0])) &&
          rest.find(" lines left out") != std::string::npos)
        left_out += std::stoul(rest);
    }
    EXPECT_LT(printed, kFlood);
    EXPECT_EQ(printed + left_out, kFlood) << printed << " printed, " << left_out << " left out";
  }
  // Still serving.
  SocketManager ws;
  Register(ws, port);
  EXPECT_TRUE(WaitForOutput("registered workstation \"WS-7\""));
  cfg_->Signal(SIGTERM);
  EXPECT_EQ(cfg_->Wait(15000), std::optional<int>(0)) << cfg_->Stderr();
}

}  // namespace
}  // namespace vorla
