// The real "VorlaWS CMDLN" running its controller against the reference recording server
// (vorla-recsrv) and Configurator (vorla-cfgsim) on loopback addresses. The recording tests share
// one private X server with a window manager: its owner is the logged-on user the workstation
// finds, and its screen is what gets captured. Every workstation has folders of its own (data,
// logs, lock files, temporary files) unless a test is about sharing them.
//
// Timing: the program reconnects every 10 s and waits up to 5 s for a session configuration;
// the tests wait for what the programs print, with limits, and never sleep for long.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "integration/workstation_harness.h"
#include "support/child_process.h"
#include "support/ivf_decoder.h"
#include "support/temp_dir.h"
#include "support/x_server.h"

namespace vorla {
namespace {

using namespace integration;

// ---- Start-up and the Configurator link

TEST_F(VorlaWSLinks, FirstPassBringsUpTheConfiguratorLinkRegistersAndReports) {
  auto cfgsim = Cfgsim("cfgsim", "127.0.0.1", 0);
  ASSERT_TRUE(cfgsim->ok()) << cfgsim->Describe();
  Wiring w;
  w.server.clear();
  w.config_port = cfgsim->port();
  w.broadcast_port = FreePort(SOCK_DGRAM);
  auto ws = NewWorkstation("ws");
  ws->WriteIni(w);
  ws->Start(std::nullopt);
  ASSERT_TRUE(ws->WaitFor(LogLine(0, kCfgUp), 10000)) << ws->Describe();
  ASSERT_TRUE(cfgsim->WaitFor("workstation status ", 5000)) << cfgsim->Describe();

  // Registration, capability report and a status, in this order on the one link.
  const std::vector<std::string> lines = ToolLines(cfgsim->Out());
  SCOPED_TRACE(cfgsim->Out());
  const size_t reg = FindLine(lines, "registered workstation \"");
  const size_t caps = FindLine(lines, "capabilities: ");
  const size_t status = FindLine(lines, "workstation status ");
  ASSERT_LT(reg, caps);
  ASSERT_LT(caps, status);
  ASSERT_LT(status, lines.size());
  EXPECT_EQ(cfgsim->Count("link accepted"), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      lines[reg], m, std::regex(R"re(registered workstation "([^"]+)" address (\S+))re")));
  const std::string name = m[1];
  EXPECT_EQ(m[2], "127.0.0.1");
  // The report names the program's version (the one it logs at start-up), the memory the
  // system reports and the codec list with the built-in VP8 and JPEG engines.
  std::smatch v;
  const std::string out = ws->Out();
  ASSERT_TRUE(std::regex_search(out, v, std::regex(R"(VorlaWorkstation version: (\d+)\.(\d+)\.)")))
      << out;
  uint64_t mem_kb = 0;
  for (const std::string& line : test::ReadLines("/proc/meminfo"))
    if (line.rfind("MemTotal:", 0) == 0) mem_kb = std::stoull(line.substr(9));
  EXPECT_EQ(lines[caps].rfind("capabilities: program " + v[1].str() + "." + v[2].str() +
                                  ", memory " + std::to_string(mem_kb / 1024) + " MiB, ",
                              0),
            0u)
      << lines[caps];
  EXPECT_TRUE(Contains(lines[caps], "VP80/cdiv \"VP80\"")) << lines[caps];
  EXPECT_TRUE(Contains(lines[caps], "\"MJPG\"")) << lines[caps];
  // No recording server: up, no session.
  EXPECT_EQ(lines[status], "workstation status 0x00000001 [up] code 0x00000000");

  // The same report as a record of the debug source, tagged with the workstation's name.
  const std::string runtime_log = test::ReadFile(ws->log_path("VorlaRuntime"));
  EXPECT_TRUE(Contains(
      runtime_log, "\tVorlaWSDebug\tWARNING\t0x00000000\tSuccess. " + kCfgUp + "[" + name + "] \n"))
      << runtime_log;

  EXPECT_EQ(ws->Stop(), 0) << ws->Describe();
  EXPECT_TRUE(cfgsim->WaitFor("status kind 2 value 0x00000000 (workstation shutting down)", 3000))
      << cfgsim->Describe();
}

// ---- Session configuration

TEST_F(VorlaWSRecording, SessionRulesComeFromTheConfiguratorOrElseFromTheSettings) {
  enum class Answer { kRules, kNone, kRefusal };
  struct Case {
    const char* name;
    Answer answer;
    size_t session_rules;     // the rules the new session carries
    uint32_t warning_status;  // 0: no warning
    const char* cfgsim_line;
  };
  const Case cases[] = {
      {"the Configurator answers", Answer::kRules, 2, 0, "sent session configuration for \""},
      {"the Configurator does not answer", Answer::kNone, 1, 0xC0000FE2,
       "session configuration request for \""},
      {"the Configurator refuses", Answer::kRefusal, 1, 0xC0000FA0,
       "sent session configuration refusal for \""},
  };
  // The settings carry one rule, the Configurator's per-user set two; neither ever records.
  const std::string one = File("one.json", RuleFile({NeverRule("from-settings")}));
  const std::string two = File("two.json", RuleFile({NeverRule("cfg-a"), NeverRule("cfg-b")}));
  // The rows run side by side: each waits about 5 s for its answer.
  struct Row {
    const Case& c;
    std::unique_ptr<Tool> recsrv, cfgsim;
    std::unique_ptr<Workstation> ws;
  };
  std::vector<Row> rows;
  for (const Case& c : cases) {
    const std::string tag = "row" + std::to_string(rows.size());
    Row row{c, Recsrv(tag + "-recsrv", "127.0.0.1", 0), nullptr, NewWorkstation(tag + "-ws")};
    std::vector<std::string> args;
    if (c.answer == Answer::kRules) args = {"--session-rules", user_ + "=" + two};
    if (c.answer == Answer::kNone) args = {"--session-answer", "none"};
    if (c.answer == Answer::kRefusal) args = {"--session-answer", "refuse"};
    const std::string settings = Sub(tag + "-settings.json");
    args.insert(args.end(),
                {"-c", "wait 1", "-c", "config settings=" + settings + " rules=" + one});
    row.cfgsim = Cfgsim(tag + "-cfgsim", "127.0.0.1", 0, args);
    ASSERT_TRUE(row.recsrv->ok() && row.cfgsim->ok())
        << row.recsrv->Describe() << row.cfgsim->Describe();
    // The first session opens at once (seating type 2 asks nobody); the configuration then
    // changes the seating type, which restarts the session with a request.
    Wiring w;
    w.recording_port = row.recsrv->port();
    w.config_port = row.cfgsim->port();
    w.broadcast_port = FreePort(SOCK_DGRAM);
    Wiring asking = w;
    asking.seating_type = 1;
    WriteTextFile(settings, SettingsJson(asking));
    row.ws->WriteIni(w);
    row.ws->Start(display_);
    rows.push_back(std::move(row));
  }

  const std::string prefix = "new session for user \"" + user_ + "\" on \"";
  const std::string warning = "WorkstationController: Failed to retrieve session config for [" +
                              user_ + "]. Using WS defaults.";
  for (Row& row : rows) {
    SCOPED_TRACE(row.c.name);
    Tool& recsrv = *row.recsrv;
    Workstation& ws = *row.ws;
    ASSERT_TRUE(ws.WaitFor("Restarting session [Reason: SeatingType ].", 10000)) << ws.Describe();
    ASSERT_TRUE(recsrv.WaitFor(" opened\n", 12000, 2)) << recsrv.Describe() << ws.Describe();
    std::vector<std::string> sessions;
    for (const std::string& line : ToolLines(recsrv.Out()))
      if (line.rfind(prefix, 0) == 0) sessions.push_back(line);
    ASSERT_EQ(sessions.size(), 2u) << recsrv.Out();
    EXPECT_TRUE(Contains(sessions[0], ", 0 rules, ")) << sessions[0];
    EXPECT_TRUE(Contains(sessions[1], ", " + std::to_string(row.c.session_rules) + " rules, "))
        << sessions[1];
    if (row.c.warning_status != 0)
      EXPECT_EQ(ws.Count(LogLine(row.c.warning_status, warning)), 1u) << ws.Out();
    else
      EXPECT_EQ(ws.Count(warning), 0u) << ws.Out();
    // Only the second session asked.
    EXPECT_EQ(row.cfgsim->Count("session configuration"), 1u) << row.cfgsim->Out();
    EXPECT_EQ(row.cfgsim->Count(row.c.cfgsim_line + user_ + "\""), 1u) << row.cfgsim->Out();
    EXPECT_EQ(ws.Stop(), 0) << ws.Describe();
  }
}

// ---- Recording

TEST_F(VorlaWSRecording, ATrueScheduleRuleRecordsEncipheredVp8FramesUntilItFalls) {
  StayClearOfMidnight(40);
  auto recsrv = Recsrv("recsrv", "127.0.0.1", 0, {"--password", "secret", "--frame-lines"});
  const std::string settings = Sub("settings.json");
  // True from midnight until a few seconds from now; the session with it opens about a second
  // after the start.
  const time_t window_end = time(nullptr) + 5;
  const std::string rules =
      File("window.json", RuleFile({ScheduleRule("window", {0, 0, 0}, LocalTimeIn(5))}));
  auto cfgsim = Cfgsim("cfgsim", "127.0.0.1", 0,
                       {"-c", "wait 1", "-c", "config settings=" + settings + " rules=" + rules});
  ASSERT_TRUE(recsrv->ok() && cfgsim->ok()) << recsrv->Describe() << cfgsim->Describe();
  Wiring w;
  w.recording_port = recsrv->port();
  w.config_port = cfgsim->port();
  w.broadcast_port = FreePort(SOCK_DGRAM);
  Wiring pushed = w;
  pushed.password = "secret";
  WriteTextFile(settings, SettingsJson(pushed));
  auto ws = NewWorkstation("ws");
  ws->WriteIni(w);
  ws->Start(display_);

  ASSERT_TRUE(recsrv->WaitFor(" closed: ", 15000)) << recsrv->Describe() << ws->Describe();
  ASSERT_TRUE(recsrv->WaitFor("\" ends, rule 0, ", 2000)) << recsrv->Describe();
  // The rule fell by itself; the workstation stays up with its session open.
  EXPECT_TRUE(ws->Running());
  EXPECT_EQ(ws->Stop(), 0) << ws->Describe();
  ASSERT_EQ(recsrv->Stop(), 0) << recsrv->Describe();

  const std::vector<std::string> lines = ToolLines(recsrv->Out());
  SCOPED_TRACE(recsrv->Out());
  std::smatch m;
  const size_t opened = FindLine(lines, "segment ");
  ASSERT_LT(opened, lines.size());
  ASSERT_TRUE(std::regex_match(lines[opened], m,
                               std::regex(R"(segment (\S+)-(G\d+) opened, writing (\S+))")));
  const std::string session_id = m[1], segment_id = m[1].str() + "-" + m[2].str(), file = m[3];
  const size_t begins = FindLine(lines, "event \"", opened);
  const size_t ends = FindLine(lines, "event \"", begins + 1);
  const size_t closed = FindLine(lines, "segment " + segment_id + " closed: ");
  ASSERT_LT(begins, ends);
  ASSERT_LT(ends, closed);
  ASSERT_TRUE(
      std::regex_match(lines[begins], m, std::regex(R"re(event "(\S+)" begins, rule 0)re")));
  const std::string event_id = m[1];
  ASSERT_TRUE(std::regex_match(
      lines[ends], m,
      std::regex("event \"" + event_id + R"re(" ends, rule 0, (\d+) bytes recorded)re")));
  const uint64_t event_bytes = std::stoull(m[1]);
  ASSERT_TRUE(Contains(lines[opened - 1], "new segment VP80 640x480 at 0,0, 5 fps, quality 60"))
      << lines[opened - 1];

  // The event counts exactly the frames sent while it was up; the frames still queued when it
  // ended follow it in the same segment.
  const FrameSum during = SumFrames(lines, begins, ends);
  const FrameSum segment = SumFrames(lines, opened, closed);
  EXPECT_EQ(SumFrames(lines, opened, begins).frames, 0u);
  EXPECT_GE(during.frames, 5u);
  EXPECT_EQ(event_bytes, during.bytes);
  EXPECT_GE(segment.bytes, event_bytes);
  EXPECT_EQ(segment.not_ok, 0u);

  const std::string index = test::ReadFile(Sub("recsrv/rec/index.json"));
  SCOPED_TRACE(index);
  const std::string session = IndexEntry(index, session_id);
  EXPECT_TRUE(Contains(session, "\"enciphered\": true")) << session;
  EXPECT_EQ(JsonNumber(session, "rules", 0), 1);
  const std::string seg = IndexEntry(index, segment_id);
  const int64_t frames = JsonNumber(seg, "frames", 0);
  EXPECT_EQ(frames, static_cast<int64_t>(segment.frames));
  EXPECT_EQ(JsonNumber(seg, "bytes", 0), static_cast<int64_t>(segment.bytes));
  EXPECT_EQ(JsonNumber(seg, "digests_checked", 0), frames);
  EXPECT_EQ(JsonNumber(seg, "digest_failures", 0), 0);
  EXPECT_EQ(JsonNumber(seg, "enciphered_frames", 0), frames);
  EXPECT_EQ(JsonNumber(seg, "undeciphered_frames", 0), 0);
  EXPECT_EQ(JsonNumber(seg, "frames_written", 0), frames);
  EXPECT_GE(JsonNumber(seg, "key_frames", 0), 1);
  EXPECT_TRUE(Contains(seg, "\"open\": false")) << seg;
  const std::string event = IndexEntry(index, event_id);
  EXPECT_EQ(JsonNumber(event, "recorded_bytes", 0), static_cast<int64_t>(event_bytes));
  EXPECT_TRUE(Contains(event, "\"open\": false")) << event;
  // The rule fell in the first second after its window.
  const int64_t event_end = JsonNumber(event, "end_time", 0) / 1000;
  EXPECT_GE(event_end, window_end + 1);
  EXPECT_LE(event_end, window_end + 3);

  // Deciphered with the password, the stored stream plays frame by frame.
  std::string error;
  const auto ivf = test::ReadIvfFile(Sub("recsrv/rec/" + file), &error);
  ASSERT_TRUE(ivf) << error;
  EXPECT_EQ(ivf->fourcc, 0x30385056u);  // "VP80"
  EXPECT_EQ(ivf->width, 640);
  EXPECT_EQ(ivf->height, 480);
  EXPECT_EQ(ivf->frames.size(), static_cast<size_t>(frames));
  std::vector<test::DecodedFrame> decoded;
  ASSERT_TRUE(test::DecodeVp8Frames(ivf->frames, decoded, &error)) << error;
  for (const auto& d : decoded) {
    EXPECT_EQ(d.width, 640u);
    EXPECT_EQ(d.height, 480u);
  }
  for (size_t i = 1; i < ivf->pts.size(); ++i) EXPECT_GE(ivf->pts[i], ivf->pts[i - 1]);
}

TEST_F(VorlaWSRecording, SigtermWhileRecordingClosesEverythingAtThePeersAndSaves) {
  auto recsrv = Recsrv("recsrv", "127.0.0.1", 0, {"--password", "secret", "--frame-lines"});
  const std::string settings = Sub("settings.json");
  const std::string rules = File("allday.json", RuleFile({AllDayRule("always")}));
  auto cfgsim = Cfgsim("cfgsim", "127.0.0.1", 0,
                       {"-c", "wait 1", "-c", "config settings=" + settings + " rules=" + rules});
  ASSERT_TRUE(recsrv->ok() && cfgsim->ok()) << recsrv->Describe() << cfgsim->Describe();
  Wiring w;
  w.recording_port = recsrv->port();
  w.config_port = cfgsim->port();
  w.broadcast_port = FreePort(SOCK_DGRAM);
  Wiring pushed = w;
  pushed.password = "secret";
  pushed.lost_text = "Gone";
  WriteTextFile(settings, SettingsJson(pushed));
  auto ws = NewWorkstation("ws");
  ws->WriteIni(w);
  ws->Start(display_);
  ASSERT_TRUE(recsrv->WaitFor("frame ", 15000, 3)) << recsrv->Describe() << ws->Describe();
  ASSERT_TRUE(WaitUntil([&] { return ws->Ini("LostText") == "Gone"; }, 3000));
  // Whatever is saved from here on is the shutdown's doing.
  std::filesystem::remove(ws->ini_path());
  std::filesystem::remove(ws->rules_path());
  const size_t before = ToolLines(recsrv->Out()).size();

  EXPECT_EQ(ws->Stop(), 0) << ws->Describe();
  // In order at the recording server: the event, the segment, the session, the link.
  const std::vector<std::string> lines = ToolLines(recsrv->Out());
  SCOPED_TRACE(recsrv->Out());
  const size_t ends = FindLine(lines, "event \"", before);
  const size_t segment = FindLine(lines, "segment ", before);
  const size_t session = FindLine(lines, "session ", before);
  const size_t gone = FindLine(lines, "workstation disconnects", before);
  ASSERT_LT(ends, segment);
  ASSERT_LT(segment, session);
  ASSERT_LT(session, gone);
  ASSERT_LT(gone, lines.size());
  EXPECT_TRUE(Contains(lines[ends], "\" ends, rule 0, ")) << lines[ends];
  EXPECT_TRUE(Contains(lines[segment], " closed: ")) << lines[segment];
  EXPECT_TRUE(std::regex_match(lines[session], std::regex(R"(session \S+ closed)")))
      << lines[session];
  EXPECT_TRUE(cfgsim->WaitFor("status kind 2 value 0x00000000 (workstation shutting down)", 3000))
      << cfgsim->Describe();
  EXPECT_TRUE(cfgsim->WaitFor("link closed: closed by the workstation", 3000));

  // The settings as the Configurator left them, saved again on the way out.
  EXPECT_EQ(ws->Ini("LostText"), "Gone");
  EXPECT_EQ(ws->Ini("ConfigPort"), std::to_string(cfgsim->port()));
  EXPECT_EQ(ws->Ini("SCServerIP"), "127.0.0.1");
  const auto password = ws->Ini("EncryptionPassword");
  ASSERT_TRUE(password.has_value());
  EXPECT_FALSE(password->empty());
  EXPECT_NE(*password, "secret") << "kept enciphered";
  ASSERT_TRUE(test::FileExists(ws->rules_path()));
  EXPECT_GT(std::filesystem::file_size(ws->rules_path()), 4u);

  ASSERT_EQ(recsrv->Stop(), 0);
  const std::string index = test::ReadFile(Sub("recsrv/rec/index.json"));
  EXPECT_FALSE(Contains(index, "\"open\": true")) << index;
}

// ---- Configuration messages

TEST_F(VorlaWSRecording, ConfigurationMessagesSaveAndRestartOnlyWhenTheyMust) {
  auto recsrv = Recsrv("recsrv", "127.0.0.1", 0);
  ASSERT_TRUE(recsrv->ok()) << recsrv->Describe();
  // The new server listens on another loopback address with the same port.
  auto other = Recsrv("other", "127.0.0.3", recsrv->port());
  ASSERT_TRUE(other->ok()) << other->Describe();

  const std::string rules = File("rules.json", RuleFile({NeverRule("quiet")}));
  std::vector<std::string> args;
  auto step = [&](const std::string& command) {
    args.insert(args.end(), {"-c", "sleep 1500", "-c", command});
  };
  args = {"-c", "wait 1", "-c", "config settings=" + Sub("base.json") + " rules=" + rules};
  step("config rules=" + rules);                  // the same rules again
  step("config settings=" + Sub("lost.json"));    // only LostText differs
  step("config settings=" + Sub("case.json"));    // SCServerIP in other letter case
  step("config settings=" + Sub("server.json"));  // another server
  auto cfgsim = Cfgsim("cfgsim", "127.0.0.1", 0, args);
  ASSERT_TRUE(cfgsim->ok()) << cfgsim->Describe();

  Wiring w;
  w.server = "localhost";
  w.recording_port = recsrv->port();
  w.config_port = cfgsim->port();
  w.broadcast_port = FreePort(SOCK_DGRAM);
  WriteTextFile(Sub("base.json"), SettingsJson(w));
  Wiring lost = w;
  lost.lost_text = "Back soon";
  WriteTextFile(Sub("lost.json"), SettingsJson(lost));
  Wiring upper = lost;
  upper.server = "LocalHost";
  WriteTextFile(Sub("case.json"), SettingsJson(upper));
  Wiring moved = lost;
  moved.server = "127.0.0.3";
  WriteTextFile(Sub("server.json"), SettingsJson(moved));
  auto ws = NewWorkstation("ws");
  ws->WriteIni(w);
  ws->Start(display_);

  // The first message brings rules: the session restarts with them.
  ASSERT_TRUE(recsrv->WaitFor(", 1 rules, ", 10000)) << recsrv->Describe() << ws->Describe();
  EXPECT_EQ(ws->Count("Restarting session [Reason: ]."), 1u) << ws->Out();
  struct stat ini_before {
  }, rules_before{};
  ASSERT_EQ(stat(ws->ini_path().c_str(), &ini_before), 0);
  ASSERT_EQ(stat(ws->rules_path().c_str(), &rules_before), 0);

  // The same rule list: nothing is written (the rules file is replaced whole on every save).
  ASSERT_TRUE(cfgsim->WaitFor("sent configuration (1 rules)", 6000)) << cfgsim->Describe();
  const bool rewritten = WaitUntil(
      [&] {
        struct stat ini {
        }, rules{};
        if (stat(ws->ini_path().c_str(), &ini) != 0 || stat(ws->rules_path().c_str(), &rules) != 0)
          return true;
        return ini.st_ino != ini_before.st_ino || rules.st_ino != rules_before.st_ino ||
               ini.st_mtim.tv_nsec != ini_before.st_mtim.tv_nsec ||
               ini.st_mtim.tv_sec != ini_before.st_mtim.tv_sec;
      },
      800);
  EXPECT_FALSE(rewritten) << "an identical rule list was saved";

  // Only LostText: saved.
  ASSERT_TRUE(WaitUntil([&] { return ws->Ini("LostText") == "Back soon"; }, 5000))
      << ws->Describe();
  // The letter case of the server's name: saved, nothing else.
  ASSERT_TRUE(cfgsim->WaitFor("sent configuration (settings)", 5000, 2)) << cfgsim->Describe();
  // A new server: the session restarts against it at the next connection attempt.
  ASSERT_TRUE(cfgsim->WaitFor("sent configuration (settings)", 5000, 3)) << cfgsim->Describe();
  ASSERT_TRUE(ws->WaitFor("New server assigned: [127.0.0.3]. Restarting session\n", 3000))
      << ws->Describe();
  ASSERT_TRUE(other->WaitFor(" opened\n", 13000)) << other->Describe() << ws->Describe();
  EXPECT_TRUE(other->WaitFor("new session for user \"" + user_ + "\"", 1000));
  EXPECT_TRUE(Contains(other->Out(), ", 1 rules, ")) << other->Out();

  // Two sessions at the first server (the start and the new rules), two restarts in all, and
  // the only new server the real one.
  EXPECT_EQ(recsrv->Count(" opened\n"), 2u) << recsrv->Out();
  EXPECT_TRUE(recsrv->WaitFor("workstation disconnects", 2000)) << recsrv->Out();
  EXPECT_EQ(ws->Count("Restarting session [Reason: "), 2u) << ws->Out();
  EXPECT_EQ(ws->Count("Restarting session [Reason: NewServer ]."), 1u) << ws->Out();
  EXPECT_EQ(ws->Count("New server assigned"), 1u) << ws->Out();
  EXPECT_EQ(ws->Ini("SCServerIP"), "127.0.0.3");
  EXPECT_EQ(ws->Stop(), 0) << ws->Describe();
}

// ---- A recording server that goes away or stops reading

TEST_F(VorlaWSRecording, AKilledRecordingServerIsReconnectedAndRecordingResumes) {
  auto recsrv = Recsrv("recsrv", "127.0.0.1", 0, {"--frame-lines"});
  const std::string settings = Sub("settings.json");
  const std::string rules = File("allday.json", RuleFile({AllDayRule("always")}));
  auto cfgsim = Cfgsim("cfgsim", "127.0.0.1", 0,
                       {"-c", "wait 1", "-c", "config settings=" + settings + " rules=" + rules});
  ASSERT_TRUE(recsrv->ok() && cfgsim->ok()) << recsrv->Describe() << cfgsim->Describe();
  const uint16_t port = recsrv->port();
  Wiring w;
  w.recording_port = port;
  w.config_port = cfgsim->port();
  w.broadcast_port = FreePort(SOCK_DGRAM);
  WriteTextFile(settings, SettingsJson(w));
  auto ws = NewWorkstation("ws");
  ws->WriteIni(w);
  ws->Start(display_);
  ASSERT_TRUE(recsrv->WaitFor("frame ", 15000, 2)) << recsrv->Describe() << ws->Describe();

  // Killed in the middle of the segment; a new server comes up on the same port at once.
  recsrv->Kill();
  const auto killed = SteadyClock::now();
  auto again = Recsrv("again", "127.0.0.1", port, {"--frame-lines"});
  ASSERT_TRUE(again->ok()) << again->Describe();
  EXPECT_TRUE(
      ws->WaitFor(LogLine(0xC0000FA0, "Server Connection lost. Shutting down session."), 3000))
      << ws->Describe();
  ASSERT_TRUE(again->WaitFor(" opened\n", 13000)) << again->Describe() << ws->Describe();
  EXPECT_LE(MsSince(killed), 12000);
  EXPECT_TRUE(again->WaitFor("new session for user \"" + user_ + "\"", 1000)) << again->Out();
  ASSERT_TRUE(again->WaitFor("frame ", 5000, 2)) << again->Describe();

  EXPECT_TRUE(ws->Running());
  EXPECT_EQ(ws->Stop(), 0) << ws->Describe();
  EXPECT_TRUE(ws->Dumps().empty());
  ASSERT_EQ(again->Stop(), 0);
  const std::string index = test::ReadFile(Sub("again/rec/index.json"));
  SCOPED_TRACE(index);
  // Every frame went into a segment of a session the new server had opened.
  EXPECT_EQ(JsonNumber(index, "stray_frames", 0), 0);
  EXPECT_GE(JsonNumber(index, "frames", index.find("\"segments\": [")), 2);
  EXPECT_EQ(JsonNumber(index, "digest_failures", 0), 0);
}

// A listening socket that takes links but never reads: the kernel's buffers fill up and the
// sender blocks. A small receive buffer and segment size keep that point near 40 KB.
class SilentServer {
 public:
  SilentServer() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int small = 2048, segment = 536, one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(fd_, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 8) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~SilentServer() {
    for (int fd : links_) close(fd);
    close(fd_);
  }
  uint16_t port() const { return port_; }
  // Accepts what is waiting; the most bytes waiting unread on any link.
  int Poll() {
    for (int fd; (fd = accept(fd_, nullptr, nullptr)) >= 0;) links_.push_back(fd);
    int most = 0;
    for (int fd : links_) {
      int queued = 0;
      if (ioctl(fd, FIONREAD, &queued) == 0 && queued > most) most = queued;
    }
    return most;
  }
  size_t links() const { return links_.size(); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::vector<int> links_;
};

TEST_F(VorlaWSRecording, AServerThatStopsReadingIsDroppedAfterTheSendLimit) {
  // First a run that keeps about 400 KB of rules, so that every new-session message is larger
  // than what the silent server's link can buffer.
  const std::string big =
      File("big.json",
           "{\"rules\": [{\"name\": \"big\", \"inputs\": [{\"type\": \"app\", \"name\": "
           "\"never\", \"title\": \"" +
               std::string(200000, 'z') +
               "\"}], \"true_actions\": [{\"type\": \"stop\"}], \"false_actions\": []}]}\n");
  auto seed_cfgsim =
      Cfgsim("seed-cfgsim", "127.0.0.1", 0, {"-c", "wait 1", "-c", "config rules=" + big});
  ASSERT_TRUE(seed_cfgsim->ok()) << seed_cfgsim->Describe();
  Wiring w;
  w.recording_port = FreePort(SOCK_STREAM);
  w.config_port = seed_cfgsim->port();
  w.broadcast_port = FreePort(SOCK_DGRAM);
  auto ws = NewWorkstation("ws");
  ws->WriteIni(w);
  ws->Start(display_);
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::error_code ec;
        return std::filesystem::file_size(ws->rules_path(), ec) > 400000 && !ec;
      },
      10000))
      << ws->Describe();
  ASSERT_EQ(ws->Stop(), 0) << ws->Describe();

  // Then the same workstation against the silent server.
  SilentServer silent;
  ASSERT_NE(silent.port(), 0);
  const std::string lost = Sub("lost.json");
  auto cfgsim = Cfgsim("cfgsim", "127.0.0.1", 0,
                       {"-c", "wait 1", "-c", "sleep 2500", "-c", "config settings=" + lost});
  ASSERT_TRUE(cfgsim->ok()) << cfgsim->Describe();
  w.recording_port = silent.port();
  w.config_port = cfgsim->port();
  ws->WriteIni(w);
  Wiring after = w;
  after.lost_text = "Still here";
  WriteTextFile(lost, SettingsJson(after));
  constexpr int kLimitMs = 1500;
  ws->Start(display_, {{"VORLA_SEND_LIMIT_MS", std::to_string(kLimitMs)}});

  // The new session starts to arrive (beyond the key and the registration) and stalls; the
  // status that follows its failure marks when the send gave up. The send limit runs from the
  // last byte the system took: a few more KB go into the sender's buffer once the first wait
  // ends (without the socket ever being signalled writable), so the link ends after one to two
  // limits.
  std::optional<SteadyClock::time_point> stalled, gave_up;
  WaitUntil(
      [&] {
        if (!stalled && silent.Poll() > 1024) stalled = SteadyClock::now();
        if (stalled && cfgsim->Count("workstation status ") > 0) gave_up = SteadyClock::now();
        return gave_up.has_value();
      },
      10000);
  ASSERT_TRUE(stalled && gave_up) << ws->Describe() << cfgsim->Describe();
  const int64_t blocked =
      std::chrono::duration_cast<std::chrono::milliseconds>(*gave_up - *stalled).count();
  EXPECT_GE(blocked, kLimitMs - 200);
  EXPECT_LE(blocked, 2 * kLimitMs + 1000) << ws->Describe();
  EXPECT_EQ(silent.links(), 1u);
  EXPECT_TRUE(
      ws->WaitFor(LogLine(0xC0000FA1,
                          "WSSVRAPI: Failed to Send socket message (nwmt_ws_newsession)to "
                          "127.0.0.1. SendRes = 10060") +
                      LogLine(0xC0000FA1, "Failed to create new session for user [" + user_ + "]"),
                  2000))
      << ws->Describe();
  EXPECT_TRUE(cfgsim->WaitFor("workstation status 0x00000001 [up] code 0x00000000", 1000));

  // The loop runs on: the Configurator's next message is applied, and the stop is prompt.
  EXPECT_TRUE(WaitUntil([&] { return ws->Ini("LostText") == "Still here"; }, 6000))
      << ws->Describe() << cfgsim->Describe();
  const auto stopping = SteadyClock::now();
  EXPECT_EQ(ws->Stop(), 0) << ws->Describe();
  EXPECT_LE(MsSince(stopping), 2 * kLimitMs + 3000);
  EXPECT_TRUE(cfgsim->WaitFor("status kind 2 value 0x00000000 (workstation shutting down)", 3000))
      << cfgsim->Describe();
}

// ---- High availability

TEST_F(VorlaWSRecording, HighAvailabilitySwapsToTheSecondaryAndBackOnceNothingRecords) {
  // Primary: Configurator and server on 127.0.0.1; secondary: the same ports on 127.0.0.2.
  auto recsrv = Recsrv("recsrv", "127.0.0.1", 0, {"--password", "secret"});
  ASSERT_TRUE(recsrv->ok()) << recsrv->Describe();
  auto recsrv2 =
      Recsrv("recsrv2", "127.0.0.2", recsrv->port(), {"--password", "secret", "--frame-lines"});
  // Every recording lasts 13 s: longer than the primary's 10 s until it reconnects.
  const std::string rules =
      File("rules.json", RuleFile({AllDayRule("always", ", \"duration_seconds\": 13")}));
  const std::string primary_settings = Sub("primary.json");
  auto cfgsim =
      Cfgsim("cfgsim", "127.0.0.1", 0,
             {"-c", "wait 1", "-c", "config settings=" + primary_settings + " rules=" + rules});
  ASSERT_TRUE(recsrv2->ok() && cfgsim->ok()) << recsrv2->Describe() << cfgsim->Describe();
  const uint16_t config_port = cfgsim->port();
  const std::string secondary_settings = Sub("secondary.json");
  auto cfgsim2 = Cfgsim("cfgsim2", "127.0.0.2", config_port,
                        {"-c", "wait 1 30000", "-c", "config settings=" + secondary_settings});
  ASSERT_TRUE(cfgsim2->ok()) << cfgsim2->Describe();

  Wiring w;
  w.recording_port = recsrv->port();
  w.config_port = config_port;
  w.broadcast_port = FreePort(SOCK_DGRAM);
  w.secondary_config = "127.0.0.2";
  Wiring primary = w;
  primary.flags = 0x100;
  primary.password = "secret";
  WriteTextFile(primary_settings, SettingsJson(primary));
  Wiring secondary = primary;
  secondary.server = "127.0.0.2";
  WriteTextFile(secondary_settings, SettingsJson(secondary));
  auto ws = NewWorkstation("ws");
  ws->WriteIni(w);
  ws->Start(display_);

  // The secondary link opens 10 s after the start; its server is known from its settings.
  ASSERT_TRUE(
      ws->WaitFor("WorkstationController: Cfg connection to SECONDARY 127.0.0.2 is UP.", 15000))
      << ws->Describe();
  ASSERT_TRUE(recsrv2->WaitFor("registered workstation", 12000))
      << recsrv2->Describe() << ws->Describe();
  EXPECT_EQ(recsrv2->Count(" opened\n"), 0u);

  // The primary Configurator goes away.
  ASSERT_EQ(cfgsim->Stop(), 0);
  ASSERT_TRUE(
      ws->WaitFor(LogLine(0xC0000FA0, "High Availability -> swap to secondary 127.0.0.2"), 3000))
      << ws->Describe();
  EXPECT_EQ(ws->Count("Cfg Connection Closed by peer [127.0.0.1, 0x"), 1u) << ws->Out();
  auto back = Cfgsim("back", "127.0.0.1", config_port);
  ASSERT_TRUE(back->ok()) << back->Describe();
  const size_t primary_sessions = recsrv->Count(" opened\n");

  // Recording goes to the secondary's server.
  ASSERT_TRUE(recsrv2->WaitFor("frame ", 5000, 2)) << recsrv2->Describe() << ws->Describe();
  EXPECT_TRUE(recsrv2->WaitFor("new session for user \"" + user_ + "\"", 100));
  EXPECT_TRUE(ws->WaitFor("Server = 127.0.0.2, SessionId = ", 100)) << ws->Out();

  // The primary is back while the secondary records: no swap until the recording ends, which its
  // 13 s duration decides (a swap would close the segment at once).
  const std::string swap_back =
      LogLine(0xC0000FA0, "High Availability -> swap to primary 127.0.0.1");
  ASSERT_TRUE(ws->WaitFor(LogLine(0, kCfgUp), 13000, 2)) << ws->Describe();
  const auto primary_back = SteadyClock::now();
  EXPECT_EQ(ws->Count(swap_back), 0u);
  EXPECT_EQ(recsrv->Count(" opened\n"), primary_sessions) << "nothing went to the primary";
  ASSERT_TRUE(recsrv2->WaitFor(" closed: ", 8000)) << recsrv2->Describe();
  EXPECT_GE(MsSince(primary_back), 1000) << "the segment ended when the primary came back";
  ASSERT_TRUE(ws->WaitFor(swap_back, 3000)) << ws->Describe();
  const std::string index2 = test::ReadFile(Sub("recsrv2/rec/index.json"));
  const size_t segment2 = index2.find("\"segments\": [");
  ASSERT_NE(segment2, std::string::npos) << index2;
  const int64_t lasted =
      JsonNumber(index2, "end_time", segment2) - JsonNumber(index2, "start_time", segment2);
  EXPECT_GE(lasted, 12000) << index2;
  EXPECT_LE(lasted, 15000) << index2;

  // Back on the primary: the secondary's session closed, a new one at the primary's server.
  EXPECT_TRUE(recsrv2->WaitFor(" closed\n", 3000)) << recsrv2->Describe();
  EXPECT_TRUE(recsrv->WaitFor(" opened\n", 3000, primary_sessions + 1)) << recsrv->Describe();
  EXPECT_EQ(ws->Stop(), 0) << ws->Describe();
}

// ---- Instances and announcements

TEST_F(VorlaWSLinks, ASecondInstanceWaitsForTheFirstAndTakesOver) {
  auto cfgsim = Cfgsim("cfgsim", "127.0.0.1", 0);
  ASSERT_TRUE(cfgsim->ok()) << cfgsim->Describe();
  Wiring w;
  w.server.clear();
  w.config_port = cfgsim->port();
  const std::string locks = Sub("shared-run");
  std::filesystem::create_directories(locks);
  auto first = NewWorkstation("first");
  w.broadcast_port = FreePort(SOCK_DGRAM);
  first->WriteIni(w);
  first->Start(std::nullopt, {}, locks);
  ASSERT_TRUE(first->WaitFor(kCfgUp, 10000)) << first->Describe();

  auto second = NewWorkstation("second");
  w.broadcast_port = FreePort(SOCK_DGRAM);
  second->WriteIni(w);
  second->Start(std::nullopt, {}, locks);
  ASSERT_TRUE(second->WaitFor(
      LogLine(0xC0001014, "Initial startup failed. We'll retry periodically."), 5000))
      << second->Describe();
  // It keeps trying, quietly, and stays off the network.
  EXPECT_FALSE(WaitUntil([&] { return cfgsim->Count("link accepted") > 1; }, 2500));
  EXPECT_EQ(second->Count("Initial startup failed"), 1u) << second->Out();
  EXPECT_EQ(second->Count("Cfg connection"), 0u) << second->Out();
  EXPECT_TRUE(second->Running());

  ASSERT_EQ(first->Stop(), 0) << first->Describe();
  const auto ended = SteadyClock::now();
  ASSERT_TRUE(second->WaitFor(LogLine(0, kCfgUp), 6000)) << second->Describe();
  EXPECT_LE(MsSince(ended), 4500);
  EXPECT_TRUE(cfgsim->WaitFor("registered workstation", 2000, 2)) << cfgsim->Describe();
  EXPECT_EQ(second->Count("VorlaWorkstation version: "), 1u) << second->Out();
  EXPECT_EQ(second->Stop(), 0) << second->Describe();
}

TEST_F(VorlaWSLinks, ABroadcastAnnouncementMovesTheConfiguratorOnlyWhenItTakesPreference) {
  struct Case {
    const char* name;
    int takes_pref;
    bool moves;
  };
  const Case cases[] = {{"announcements take preference", 1, true},
                        {"announcements are ignored", 0, false}};
  // Both workstations run side by side, each with its Configurator and broadcast port.
  struct Row {
    const Case& c;
    std::unique_ptr<Tool> cfgsim;
    std::unique_ptr<Workstation> ws;
    Wiring w;
  };
  std::vector<Row> rows;
  for (const Case& c : cases) {
    const std::string tag = std::to_string(c.takes_pref);
    Row row{c, Cfgsim("cfgsim" + tag, "127.0.0.1", 0), NewWorkstation("ws" + tag), Wiring{}};
    ASSERT_TRUE(row.cfgsim->ok()) << row.cfgsim->Describe();
    row.w.server.clear();
    row.w.config_port = row.cfgsim->port();
    row.w.broadcast_port = FreePort(SOCK_DGRAM);
    row.w.broadcast_takes_pref = c.takes_pref;
    row.ws->WriteIni(row.w);
    row.ws->Start(std::nullopt);
    rows.push_back(std::move(row));
  }
  for (Row& row : rows) {
    SCOPED_TRACE(row.c.name);
    ASSERT_TRUE(row.ws->WaitFor(kCfgUp, 10000)) << row.ws->Describe();
    // Another Configurator announces itself.
    const std::string target = "127.0.0.1:" + std::to_string(row.w.broadcast_port);
    ChildProgram announcer(
        {test::BuiltProgram("vorla-cfgsim"), "--port", "0", "-c",
         "announce " + target + " cfg=localhost cfgport=4999", "--exit-after-commands"},
        {}, Sub("cfgsim" + std::to_string(row.c.takes_pref)));
    ASSERT_EQ(announcer.Wait(10000), 0) << announcer.Stdout() << announcer.Stderr();
    ASSERT_TRUE(Contains(announcer.Stdout(), "announced localhost:4999 to " + target))
        << announcer.Stdout();
  }
  for (Row& row : rows) {
    SCOPED_TRACE(row.c.name);
    Workstation& ws = *row.ws;
    const std::string moved_line =
        "New Configurator assigned via broadcast:\n\nCurrent: 127.0.0.1 on port " +
        std::to_string(row.w.config_port) + "\nNew: localhost on port 4999.";
    // Announcements are read once a second: an ignored one has had its chance after 2.5 s.
    const bool moved = WaitUntil(
        [&] { return ws.Ini("ConfigIP") == "LOCALHOST" && ws.Ini("ConfigPort") == "4999"; },
        row.c.moves ? 4000 : 2500);
    EXPECT_EQ(moved, row.c.moves) << ws.Describe();
    EXPECT_EQ(ws.Count(moved_line), row.c.moves ? 1u : 0u) << ws.Out();
    // What the program holds is saved on the way out.
    EXPECT_EQ(ws.Stop(), 0) << ws.Describe();
    EXPECT_EQ(ws.Ini("ConfigIP"), row.c.moves ? "LOCALHOST" : "127.0.0.1");
    EXPECT_EQ(ws.Ini("ConfigPort"), row.c.moves ? "4999" : std::to_string(row.w.config_port));
  }
}

}  // namespace
}  // namespace vorla
