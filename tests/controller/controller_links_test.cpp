// The controller's links: the primary Configurator played by a scripted peer over loopback, the
// recording server in this process. Connection, registration, capability report, status
// messages, link loss and reconnection, configuration messages, the session configuration
// request, live frames, and a start-up inside a remote-desktop session.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <future>
#include <optional>

#include "common/byte_reader.h"
#include "config/settings_store.h"
#include "controller/controller_fixture.h"
#include "platform/fake/fake_codecs.h"
#include "rules/rule_set.h"
#include "rules/trigger_input_ext.h"
#include "support/golden_bytes.h"
#include "support/test_peer.h"

namespace vorla {
namespace {

using test::Golden;
using test::MakeRule;
using test::RecordAction;
using test::WaitFor;

std::vector<uint8_t> Bytes(const PayloadBuffer& b) { return {b.span().begin(), b.span().end()}; }

netw_message_t Msg(uint32_t type, const std::vector<uint8_t>& part1 = {},
                   const std::vector<uint8_t>& part2 = {}) {
  return MakeNetwMessage(type, PayloadBuffer::CopyOf(part1), PayloadBuffer::CopyOf(part2));
}

// A rule that reads back from its written form (the external input is its name alone).
std::shared_ptr<TriggerRule> ExtRule(const std::u16string& name, uint32_t ips) {
  auto rule = std::make_shared<TriggerRule>();
  rule->name = name;
  rule->first_input = std::make_shared<TriggerInputExt>();
  rule->rule_operator = kRuleOperatorSingle;
  rule->true_actions = {RecordAction(ips)};
  return rule;
}

std::vector<uint8_t> Written(const RuleList& rules) {
  std::vector<uint8_t> b;
  EXPECT_TRUE(RuleSet(rules).Write(b));
  return b;
}

// A session configuration answer carrying `rules`.
netw_message_t SessionConfigAnswer(const RuleList& rules) {
  return Msg(nwmt_cfg_sessionconfig, {0xFF, 0xFF, 0xFF, 0xFF},
             Golden().U32(1).Str("").Str("").U16(0).Raw(Written(rules)).b);
}

class ControllerLinkTest : public test::ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    ASSERT_TRUE(peer_.listening());
    ws().settings().ConfigPort = peer_.port();
    ws().settings().SCServerIP.clear();  // no recording server unless a test names one
  }

  // The first ManageConnections opens the primary link; the peer takes the key exchange, the
  // registration and the capability report.
  void ConfiguratorUp() {
    ws().ManageConnections();
    ASSERT_TRUE(ws().primary_link()->connected());
    ASSERT_TRUE(peer_.Handshake());
    ASSERT_TRUE(ReadType(nwmt_ws_register));
    ASSERT_TRUE(ReadType(nwmt_cfg_capabilities));
  }

  // The next message of `type`; others before it are skipped.
  std::optional<netw_message_t> ReadType(uint32_t type, uint32_t ms = 5000) {
    for (;;) {
      std::optional<netw_message_t> m = peer_.Read(ms);
      if (!m || m->header.type == type) return m;
    }
  }
  bool PeerSend(const netw_message_t& m) { return peer_.Send(m, true, 0, ++stamp_); }
  // Waits until the workstation's primary link has queued `n` messages.
  bool Queued(size_t n) {
    return WaitFor([&] { return ws().primary_link()->incoming().Size() >= n; });
  }

  platform::FakeCodecRegistry codecs_;  // no installed codecs: only the built-in two are listed
  platform::ScopedCodecRegistryOverride codecs_override_{codecs_};
  test::TestPeer peer_;
  uint64_t stamp_ = 1700000000000;
};

TEST_F(ControllerLinkTest, TheLinkComesUpWithRegistrationCapabilitiesAndAStatusInOnePass) {
  ws().ManageConnections();
  ASSERT_TRUE(ws().primary_link()->connected());
  EXPECT_TRUE(Logged(u"WorkstationController: Cfg connection to PRIMARY 127.0.0.1 is UP."));
  ASSERT_TRUE(peer_.Handshake());
  ws().PeriodicTasks();  // no recording server: no session; the status is due at once

  const auto reg = peer_.Read();
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->header.type, nwmt_ws_register);
  EXPECT_EQ(Bytes(reg->part1), Golden().U32(1).Str("ws-1.example").U32(0x0A00A8C0).b);

  const auto caps = peer_.Read();
  ASSERT_TRUE(caps);
  EXPECT_EQ(caps->header.type, nwmt_cfg_capabilities);
  EXPECT_EQ(Bytes(caps->part1), (std::vector<uint8_t>{1, 0, 0, 0, 1, 2, 0, 0}))
      << "version 1.2 of the program file, console session";
  EXPECT_EQ(Bytes(caps->part2), Golden()
                                    .U32(2)
                                    .U64(8ull << 30)
                                    .U32(2)
                                    .U32(0)
                                    .U32(0x76696463)
                                    .Str("Vorla native MJPG")
                                    .Str("Vorla native MJPG")
                                    .Str("MJPG")
                                    .U32(0x30385056)
                                    .U32(0x76696463)
                                    .Str("Vorla native VP80")
                                    .Str("Vorla native VP80")
                                    .Str("VP80")
                                    .U32(0)
                                    .b);

  const auto status = peer_.Read();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->header.type, nwmt_ws_status);
  EXPECT_EQ(Bytes(status->part1), Golden().U32(1).U32(1).U32(0).b) << "state 1: no session";
  EXPECT_TRUE(status->part2.empty());
  EXPECT_EQ(ws().next_status_time(), Tick() + 20);

  // A capability request is answered at the next pass.
  ASSERT_TRUE(PeerSend(Msg(nwmt_cfg_capabilities)));
  ASSERT_TRUE(Queued(1));
  ws().ManageConnections();
  const auto again = peer_.Read();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->header.type, nwmt_cfg_capabilities);
}

TEST_F(ControllerLinkTest, StatusMessagesStandbyAndWithTheSessionRecord) {
  ConfiguratorUp();
  OpenSession();
  const auto opened = ReadType(nwmt_ws_status);
  ASSERT_TRUE(opened);

  ws().SendStatus(ws().primary_link(), true);
  const auto standby = ReadType(nwmt_ws_status);
  ASSERT_TRUE(standby);
  EXPECT_EQ(Bytes(standby->part1), Golden().U32(1).U32(0x1001).U32(0).b);
  EXPECT_TRUE(standby->part2.empty()) << "no session record in standby";

  ws().SendStatus(ws().primary_link(), false);
  const auto full = ReadType(nwmt_ws_status);
  ASSERT_TRUE(full);
  EXPECT_EQ(Bytes(full->part1), Golden().U32(1).U32(0x3).U32(0).b);
  const SessionRecord& s = ws().session_record();
  ASSERT_FALSE(s.session_id.empty());
  EXPECT_EQ(Bytes(full->part2), Golden()
                                    .U32(1)
                                    .Str(ToUtf8(s.session_id))
                                    .Str("ws-1.example")
                                    .U32(0x0A00A8C0)
                                    .Str(ToUtf8(s.server_text1))
                                    .Str(ToUtf8(s.server_text2))
                                    .Str(ToUtf8(s.server_text3))
                                    .Str("alice")
                                    .U32(2)
                                    .U64(static_cast<uint64_t>(kStartSeconds) * 1000)
                                    .U64(0)
                                    .U32(s.session_flags)
                                    .U32(0)
                                    .b);
  EXPECT_TRUE(s.server_texts.empty());
}

TEST_F(ControllerLinkTest, ALostLinkIsClosedAndTriedAgainTenSecondsLater) {
  struct Row {
    const char* name;
    bool closing_notice;  // else the Configurator drops the link
    const char16_t* report;
    int64_t wall_step;  // the wall clock is set by this much right after the loss
  };
  const Row rows[] = {
      {"closing notice", true, u"Cfg Connection Closed by peer [127.0.0.1, 0x", 0},
      {"link dropped", false, u"Cfg Receive Error [", 0},
      {"link dropped, wall clock set back an hour", false, u"Cfg Receive Error [", -3600},
      {"link dropped, wall clock set on an hour", false, u"Cfg Receive Error [", 3600},
  };
  ws().ManageConnections();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(ws().primary_link()->connected());
    ASSERT_TRUE(peer_.Handshake());
    ASSERT_TRUE(ReadType(nwmt_cfg_capabilities));
    log_.Clear();
    if (row.closing_notice) {
      ASSERT_TRUE(PeerSend(Msg(nwmt_status, {2, 0, 0, 0, 0, 0, 0, 0})));
    } else {
      peer_.Close();
    }
    ASSERT_TRUE(Queued(1));
    ws().ManageConnections();
    EXPECT_FALSE(ws().primary_link()->connected());
    EXPECT_EQ(CountLogged(row.report), 1u);
    EXPECT_TRUE(Logged(u"]. Terminating connection."));
    EXPECT_FALSE(ws().primary_in_use());

    clock_.StepWallSeconds(row.wall_step);
    clock_.AdvanceSeconds(9);
    ws().ManageConnections();
    EXPECT_FALSE(ws().primary_link()->connected()) << "not before 10 s";
    clock_.AdvanceSeconds(1);
    ws().ManageConnections();
    EXPECT_TRUE(ws().primary_link()->connected());
    EXPECT_EQ(CountLogged(u"Cfg connection to PRIMARY 127.0.0.1 is UP."), 1u);
    EXPECT_TRUE(ws().primary_in_use());
    EXPECT_TRUE(Logged(u"High Availability -> swap to primary 127.0.0.1"));
  }
}

TEST_F(ControllerLinkTest, ALostServerLinkClosesTheSessionAndIsReopened) {
  server_options_.drop_after_frames = 1;
  StartServer();
  ws().settings().SCServerIP = u"127.0.0.1";
  ws().settings().rules = {MakeRule({RecordAction()}, {}, kTriggerInputTypeExt).rule};
  ConfiguratorUp();
  ASSERT_TRUE(ws().current_server().IsConnected());
  ws().PeriodicTasks();
  ASSERT_EQ(ws().session_user(), u"alice");
  const std::u16string first = ws().session_record().session_id;
  ASSERT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0u);
  ws().NotifyStatusIfDue(true);  // so that no status goes out right after the frame
  ws().recording_queue().Push(Frame(64));
  SendQueued();  // the server drops the link after this frame
  ASSERT_TRUE(WaitFor([&] {
    ThreadSafeQueue<netw_message_t>* q = ws().current_server().Incoming();
    return q == nullptr || q->Size() > 0;
  }));

  ws().ManageConnections();
  EXPECT_EQ(CountLogged(u"Server Connection lost. Shutting down session."), 1u);
  EXPECT_TRUE(ws().session_user().empty());
  EXPECT_FALSE(ws().current_server().IsConnected());
  EXPECT_FALSE(IsCaptureRunning());

  clock_.AdvanceSeconds(10);
  ws().ManageConnections();
  ASSERT_TRUE(ws().current_server().IsConnected()) << "reconnected 10 s later";
  ws().PeriodicTasks();
  EXPECT_EQ(ws().session_user(), u"alice");
  EXPECT_NE(ws().session_record().session_id, first);
}

TEST_F(ControllerLinkTest, ConfigurationMessagesRestartTheSessionOnlyForTheirReasons) {
  host_.resolutions["rec.example"] = {{true, platform::LoopbackAddress()}};
  StartServer();
  ws().settings().SCServerIP = u"rec.example";
  const RuleList rules = {ExtRule(u"one", 1)};
  ws().settings().rules = rules;
  ConfiguratorUp();
  ASSERT_TRUE(ws().current_server().IsConnected());
  OpenSession(rules);
  const std::u16string ini =
      SettingsIniPath(FromUtf8(temp_.Sub("appdata")), ws().workstation_name(), false);
  ASSERT_FALSE(std::filesystem::exists(ToUtf8(ini)));

  // Each message is built when its row runs, from the settings as they are then.
  auto settings_message = [&](void (*change)(WorkstationSettings&), bool with_text = false) {
    WorkstationSettings s = ws().settings();
    change(s);
    ByteWriter w;
    if (with_text) w.Utf16z(u"ignored");
    s.Serialize(w);
    return Msg(nwmt_cfg_config, {static_cast<uint8_t>(with_text ? 0x3 : 0x2)}, w.bytes());
  };
  struct Row {
    const char* name;
    std::function<netw_message_t()> message;
    const char16_t* reasons;  // nullptr: no restart
  };
  const Row rows[] = {
      {"LostText only",
       [&] { return settings_message([](WorkstationSettings& s) { s.LostText = u"Locked"; }); },
       nullptr},
      {"the same rule list", [&] { return Msg(nwmt_cfg_config, {0x4}, Written(rules)); }, nullptr},
      {"the server in other letter case",
       [&] {
         return settings_message([](WorkstationSettings& s) { s.SCServerIP = u"REC.example"; });
       },
       nullptr},
      {"another rule list",
       [&] { return Msg(nwmt_cfg_config, {0x4}, Written({ExtRule(u"two", 5)})); }, u""},
      {"agent changed", [&] { return Msg(nwmt_cfg_agentchanged); }, u"NewAgentConfig "},
      {"text, codec and seating type",
       [&] {
         return settings_message(
             [](WorkstationSettings& s) {
               s.AssignedFCC = kFourCcVp80;
               s.SeatingType = 1;
             },
             true);
       },
       u"NewCodec SeatingType "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (ws().session_user().empty()) {
      ws().settings().SeatingType = 2;
      OpenSession(ws().settings().rules);
    }
    const std::u16string id = ws().session_record().session_id;
    log_.Clear();
    ASSERT_TRUE(PeerSend(row.message()));
    ASSERT_TRUE(Queued(1));
    ws().ManageConnections();
    if (row.reasons == nullptr) {
      EXPECT_EQ(ws().session_record().session_id, id) << "no restart";
      EXPECT_FALSE(Logged(u"Restarting session"));
    } else {
      EXPECT_TRUE(ws().session_user().empty()) << "the session was closed";
      EXPECT_TRUE(
          Logged(u"New configuration data received from Configurator. Restarting session "
                 u"[Reason: " +
                 std::u16string(row.reasons) + u"]."));
    }
  }
  EXPECT_EQ(ws().settings().LostText, u"Locked");
  EXPECT_TRUE(std::filesystem::exists(ToUtf8(ini))) << "the settings were saved";
  ASSERT_EQ(ws().settings().rules.size(), 1u);
  EXPECT_EQ(ws().settings().rules[0]->name, u"two");
  EXPECT_EQ(ws().settings().AssignedFCC, kFourCcVp80);
  EXPECT_TRUE(ws().current_server().IsConnected()) << "no new server";

  // A new server closes the server link as well.
  ws().settings().SeatingType = 2;
  OpenSession(ws().settings().rules);
  log_.Clear();
  ASSERT_TRUE(
      PeerSend(settings_message([](WorkstationSettings& s) { s.SCServerIP = u"rec-b.example"; })));
  ASSERT_TRUE(Queued(1));
  ws().ManageConnections();
  EXPECT_TRUE(ws().session_user().empty());
  EXPECT_TRUE(Logged(u"[Reason: NewServer ]."));
  EXPECT_TRUE(Logged(u"New server assigned: [rec-b.example]. Restarting session"));
  EXPECT_FALSE(ws().current_server().IsConnected());
}

// The request waits until five seconds have passed, or until a whole wait of five seconds brings
// nothing; on this clock, which stands still, that is five real seconds after the last message.
TEST_F(ControllerLinkTest, SessionConfigurationRequestKeepsTheOtherMessagesInTheirOrder) {
  ConfiguratorUp();
  ws().settings().SeatingType = 1;
  ws().settings().rules = {ExtRule(u"settings", 1)};
  const RuleList early = {ExtRule(u"early", 2)};
  const RuleList late = {ExtRule(u"late", 3), ExtRule(u"late2", 4)};
  std::future<std::string> script = std::async(std::launch::async, [&]() -> std::string {
    const auto request = ReadType(nwmt_cfg_sessionconfig);
    if (!request) return "no request";
    if (Bytes(request->part1) != std::vector<uint8_t>{1, 0, 0, 0}) return "request part 1";
    if (Bytes(request->part2) != Golden().Str("alice").b) return "request part 2";
    PeerSend(Msg(nwmt_cfg_agentchanged, {0xA1}));
    PeerSend(Msg(nwmt_cfg_capabilities, {0xA2}));
    PeerSend(SessionConfigAnswer(early));
    PeerSend(Msg(nwmt_cfg_blank, {0xA3}));
    PeerSend(SessionConfigAnswer(late));  // a later answer wins
    return "";
  });
  EXPECT_EQ(ws().RequestSessionConfig(u"alice"), 0u);
  EXPECT_EQ(script.get(), "");
  ASSERT_EQ(ws().session_rules().size(), 2u);
  EXPECT_EQ(ws().session_rules()[0]->name, u"late");

  // The messages set aside are back, in their order.
  std::vector<uint8_t> order;
  netw_message_t m;
  while (ws().primary_link()->incoming().TryPop(m)) order.push_back(m.part1.data()[0]);
  EXPECT_EQ(order, (std::vector<uint8_t>{0xA1, 0xA2, 0xA3}));
}

TEST_F(ControllerLinkTest, SessionConfigurationRequestFailuresFallBackToTheSettingsRules) {
  ws().settings().SeatingType = 1;
  ws().settings().rules = {ExtRule(u"settings", 1)};
  EXPECT_EQ(ws().RequestSessionConfig(u"alice"), 0xC0000FA2u) << "link down";
  ws().settings().SeatingType = 2;
  EXPECT_EQ(ws().RequestSessionConfig(u"alice"), 0u) << "seating type 2: the settings' rules";
  ASSERT_EQ(ws().session_rules().size(), 1u);
  EXPECT_EQ(ws().session_rules()[0]->name, u"settings");

  ConfiguratorUp();
  EXPECT_EQ(ws().RequestSessionConfig(u"bob"), 0u);
  EXPECT_FALSE(peer_.Read(300)) << "nothing is asked with seating type 2";

  // No answer: the session opens with the settings' rules and a warning.
  ws().settings().SeatingType = 1;
  ws().settings().rules = {ExtRule(u"fallback", 1)};
  ConnectServer();
  std::future<bool> silent =
      std::async(std::launch::async, [&] { return ReadType(nwmt_cfg_sessionconfig).has_value(); });
  ASSERT_EQ(ws().OpenSession(u"alice"), 0u);
  EXPECT_TRUE(silent.get());
  EXPECT_TRUE(
      Logged(u"WorkstationController: Failed to retrieve session config for [alice]. "
             u"Using WS defaults."));
  ASSERT_EQ(ws().session_rules().size(), 1u);
  EXPECT_EQ(ws().session_rules()[0]->name, u"fallback");
  bool warned_with_timeout = false;
  for (const auto& r : log_.records())
    warned_with_timeout |= r.code == kStatusTimeout && r.type == EVENTLOG_WARNING_TYPE;
  EXPECT_TRUE(warned_with_timeout) << "no answer: 0xC0000FE2";
}

TEST_F(ControllerLinkTest, LiveFramesGoToThePrimaryLinkWhenSendingIsOn) {
  ConfiguratorUp();
  screen_image f = Frame(33, kImageFlagKeyFrame, 0x0102030405060708);
  f.codec_fcc = 0;
  f.quality = 70;
  f.x = -4;
  ws().live_queue().Push(f);
  ws().ProcessFrameQueue(ws().live_queue(), WorkstationController::FrameMode::kLive, false);
  EXPECT_EQ(ws().live_queue().Size(), 0u) << "dropped";
  ws().live_queue().Push(f);
  ws().ProcessFrameQueue(ws().live_queue(), WorkstationController::FrameMode::kLive, true);
  const auto live = ReadType(nwmt_live_frame);
  ASSERT_TRUE(live);
  EXPECT_EQ(Bytes(live->part1), Golden()
                                    .U64(0x0102030405060708)
                                    .U32(0)
                                    .U32(70)
                                    .U64(33)
                                    .U32(0xFFFFFFFC)
                                    .U32(0)
                                    .U32(64)
                                    .U32(32)
                                    .U32(kImageFlagKeyFrame)
                                    .U32(0)
                                    .b);
  EXPECT_EQ(Bytes(live->part2), Bytes(f.data));
  EXPECT_EQ(live->header.length1, 48u);
}

// Inside a remote-desktop session the workstation is named after the client, its status word
// carries 0x400, its capability report bit 7 of the major version, and the Configurator is asked
// for the session's rules whatever the seating type.
TEST_F(ControllerLinkTest, StartUpInARemoteDesktopSession) {
  sessions_.protocol_type = 2;
  sessions_.connect_state = 0;
  sessions_.session_id = 3;
  sessions_.hardware_id = 0x1234;
  sessions_.address = platform::FakeSessionQueries::IPv4Record(10, 1, 2, 3);
  sessions_.client_name = u"THIN7";
  sessions_.user_name = u"bob";
  host_.resolutions["10.1.2.3"] = {{true, 0x0302010A}};
  std::filesystem::create_directories(temp_.Sub("run"));
  StartServer();
  {
    WorkstationConfig saved;
    saved.SCServerIP = u"127.0.0.1";
    saved.RecordingPort = server_->port();
    saved.ConfigIP = u"127.0.0.1";
    saved.ConfigPort = peer_.port();
    saved.BroadcastPort = 0;
    saved.SeatingType = 2;
    saved.AssignedFCC = kFccJpeg;
    ASSERT_TRUE(SaveSettings(saved, u"THIN7", true));
  }
  ASSERT_EQ(ws().Initialize(), 0u);
  EXPECT_TRUE(ws().remote());
  EXPECT_EQ(ws().workstation_name(), u"THIN7");
  ws().ManageConnections();
  ASSERT_TRUE(ws().primary_link()->connected());
  ASSERT_TRUE(ws().current_server().IsConnected());
  ASSERT_TRUE(peer_.Handshake());

  const RuleList session_rules = {ExtRule(u"for bob", 2)};
  std::future<std::string> script = std::async(std::launch::async, [&]() -> std::string {
    const auto reg = ReadType(nwmt_ws_register);
    if (!reg || Bytes(reg->part1) != Golden().U32(1).Str("THIN7").U32(0x0302010A).b)
      return "registration";
    const auto caps = ReadType(nwmt_cfg_capabilities);
    if (!caps || caps->part1.size() != 8 || caps->part1.data()[4] != 0x81) return "capabilities";
    const auto request = ReadType(nwmt_cfg_sessionconfig);
    if (!request || Bytes(request->part2) != Golden().Str("bob").b) return "request";
    PeerSend(SessionConfigAnswer(session_rules));
    // The session opens once the request's wait has run out.
    const auto status = ReadType(nwmt_ws_status, 15000);
    if (!status || Bytes(status->part1) != Golden().U32(1).U32(0x403).U32(0).b) return "status";
    return "";
  });
  ws().PeriodicTasks();
  EXPECT_EQ(script.get(), "");
  EXPECT_EQ(ws().session_user(), u"bob");
  EXPECT_EQ(ws().StatusWord(), 0x403u) << "3 | session 2 | remote 0x400";
  ASSERT_EQ(ws().session_rules().size(), 1u);
  EXPECT_EQ(ws().session_rules()[0]->name, u"for bob");

  // Shutdown closes the session and tells the Configurator (kind 2, value 0).
  ws().Shutdown();
  EXPECT_TRUE(ws().session_user().empty());
  const auto notice = ReadType(nwmt_status);
  ASSERT_TRUE(notice);
  EXPECT_EQ(Bytes(notice->part1), (std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(ws().primary_link()->connected());
}

// A datagram: one unprotected frame.
std::vector<uint8_t> Datagram(uint32_t type, const std::vector<uint8_t>& part2) {
  netw_header h;
  h.type = type;
  h.length2 = static_cast<uint32_t>(part2.size());
  std::vector<uint8_t> out(kNetwHeaderSize + part2.size());
  WriteNetwHeader(h, std::span<uint8_t, kNetwHeaderSize>(out.data(), kNetwHeaderSize));
  std::copy(part2.begin(), part2.end(), out.begin() + kNetwHeaderSize);
  return out;
}

TEST_F(ControllerLinkTest, AnAnnouncedConfiguratorIsTakenOverWhenBroadcastsTakePreference) {
  std::filesystem::create_directories(temp_.Sub("run"));
  uint16_t port = 0;
  {
    auto probe = platform::UdpSocket::Create();
    ASSERT_TRUE(probe);
    ASSERT_EQ(probe->Bind(0), 0u);
    port = probe->LocalPort();
  }
  {
    WorkstationConfig saved;
    saved.ConfigIP = u"CFG.EXAMPLE";
    saved.ConfigPort = 4489;
    saved.BroadcastPort = port;
    saved.BroadcastTakesPref = 1;
    ASSERT_TRUE(SaveSettings(saved, u"ws-1.example", false));
  }
  ASSERT_EQ(ws().Initialize(), 0u);
  ASSERT_TRUE(ws().broadcast_open());
  auto sender = platform::UdpSocket::Create();
  ASSERT_TRUE(sender);
  auto announce = [&](const std::vector<uint8_t>& datagram) {
    ASSERT_EQ(sender->SendTo(platform::LoopbackAddress(), port, datagram), 0u);
  };
  const std::u16string ini =
      SettingsIniPath(FromUtf8(temp_.Sub("appdata")), u"ws-1.example", false);
  auto saved_config = [&] {
    WorkstationConfig c;
    LoadSettings(c, u"ws-1.example", false);
    return std::make_pair(c.ConfigIP, c.ConfigPort);
  };

  struct Row {
    const char* name;
    std::vector<uint8_t> datagram;
    uint16_t takes_pref;
    const char16_t* config_ip;
    uint16_t config_port;
  };
  const Row rows[] = {
      {"the current Configurator, in other letter case",
       Datagram(nwmt_cfg_announce, Golden().U32(1).U16(4489).Str("cfg.Example").b), 1,
       u"CFG.EXAMPLE", 4489},
      {"another type", Datagram(nwmt_cfg_capabilities, Golden().U32(1).U16(4600).Str("x").b), 1,
       u"CFG.EXAMPLE", 4489},
      {"a byte too many", Datagram(nwmt_cfg_announce, Golden().U32(1).U16(4600).Str("x").U8(0).b),
       1, u"CFG.EXAMPLE", 4489},
      {"broadcasts do not take preference",
       Datagram(nwmt_cfg_announce, Golden().U32(1).U16(4600).Str("cfg-b.example").b), 0,
       u"CFG.EXAMPLE", 4489},
      {"another port only",
       Datagram(nwmt_cfg_announce, Golden().U32(1).U16(4600).Str("cfg.example").b), 1,
       u"CFG.EXAMPLE", 4600},
      {"another Configurator",
       Datagram(nwmt_cfg_announce, Golden().U32(9).U16(4700).Str("cfg-b.example").b), 1,
       u"CFG-B.EXAMPLE", 4700},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ws().settings().BroadcastTakesPref = row.takes_pref;
    const auto before = std::make_pair(ws().settings().ConfigIP, ws().settings().ConfigPort);
    log_.Clear();
    announce(row.datagram);
    ws().CheckBroadcast();
    EXPECT_EQ(ws().settings().ConfigIP, row.config_ip);
    EXPECT_EQ(ws().settings().ConfigPort, row.config_port);
    const bool taken =
        before != std::make_pair(ws().settings().ConfigIP, ws().settings().ConfigPort);
    EXPECT_EQ(Logged(u"New Configurator assigned via broadcast:"), taken);
    if (taken) {
      EXPECT_EQ(saved_config(), std::make_pair(std::u16string(row.config_ip), row.config_port))
          << "saved";
    }
  }
  EXPECT_TRUE(
      Logged(u"New Configurator assigned via broadcast:\n\nCurrent: CFG.EXAMPLE on port "
             u"4600\nNew: cfg-b.example on port 4700."));
  EXPECT_FALSE(ws().primary_link()->connected()) << "the link is not touched";
}

TEST_F(ControllerLinkTest, ASecondInstanceIsRefusedWithoutAWord) {
  std::filesystem::create_directories(temp_.Sub("run"));
  {
    WorkstationConfig saved;
    saved.BroadcastPort = 0;  // any free port, not the well-known one
    ASSERT_TRUE(SaveSettings(saved, u"ws-1.example", false));
  }
  ASSERT_EQ(ws().Initialize(), 0u);
  WorkstationController second;
  log_.Clear();
  EXPECT_EQ(second.Initialize(), 0xC0001014u);
  EXPECT_FALSE(second.broadcast_open());
  EXPECT_TRUE(log_.records().empty());
  ws().Shutdown();
  EXPECT_EQ(second.Initialize(), 0u) << "it takes over once the first has gone";
  second.Shutdown();
}

}  // namespace
}  // namespace vorla
