// The Configurator's external requests against the real programs: "VorlaWS CMDLN" with its
// recording server (vorla-recsrv --frame-lines) and Configurator (vorla-cfgsim), which sends
// trigger, blanking and live-view requests while the test watches what each program reports.
// The workstation's rules hold one rule with an external trigger input that records (5 frames a
// second, VP8) while it is up.
//
// Timing: the capture holds the last 2 s of frames back before they go to the server (blanking
// turns them black), so a recording has to run a little over 2 s before frames arrive while its
// event is open. The tests wait for what the programs print, with limits.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numeric>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "integration/workstation_harness.h"
#include "support/child_process.h"
#include "support/ivf_decoder.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

using namespace integration;

// vorla-cfgsim reads its script file a line at a time as it goes: with a named pipe as that file,
// a test sends each command once the workstation is ready for it.
class CommandPipe {
 public:
  explicit CommandPipe(std::string path) : path_(std::move(path)) {
    // A Configurator that has gone must fail the write, not end the test program.
    signal(SIGPIPE, SIG_IGN);
    ok_ = mkfifo(path_.c_str(), 0600) == 0;
  }
  ~CommandPipe() {
    if (fd_ >= 0) close(fd_);
  }
  CommandPipe(const CommandPipe&) = delete;
  CommandPipe& operator=(const CommandPipe&) = delete;

  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }
  // Sends one command; the first waits up to 5 s for the Configurator to open its end.
  bool Send(const std::string& command) {
    if (fd_ < 0) {
      WaitUntil(
          [&] {
            fd_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return fd_ >= 0;
          },
          5000);
      if (fd_ < 0 || fcntl(fd_, F_SETFL, 0) != 0) return false;
    }
    const std::string line = command + "\n";
    return write(fd_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  }

 private:
  std::string path_;
  bool ok_ = false;
  int fd_ = -1;
};

std::string ExtRule() {
  return "{\"name\": \"ext\", \"inputs\": [{\"type\": \"ext\", \"name\": \"ext\"}], "
         "\"true_actions\": [{\"type\": \"record\", \"images_per_second\": 5, \"codec\": "
         "\"VP80\", \"quality\": 60}], \"false_actions\": [{\"type\": \"stop\"}]}";
}

// The lines of the tool's output that begin with `prefix`.
std::vector<std::string> LinesWith(const Tool& tool, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : ToolLines(tool.Out()))
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  return found;
}

// The event ids of the successful trigger answers for `mode` ("START" or "STOP"), in order.
std::vector<std::string> AnsweredEvents(const Tool& cfgsim, const std::string& mode) {
  static const std::regex event(R"re(, version 2 .* event "([^"]*)" data )re");
  std::vector<std::string> ids;
  for (const std::string& line :
       LinesWith(cfgsim, "trigger answer: " + mode + " result 0x00000000")) {
    std::smatch m;
    ids.push_back(std::regex_search(line, m, event) ? m[1].str() : "(no record)");
  }
  return ids;
}

std::string EventLine(const std::string& id, const char* what) {
  return "event \"" + id + "\" " + what + ", rule 0";
}

// Waits until the recording server has had `n` frames after its first line that begins with
// `after`.
bool WaitForFrames(const Tool& recsrv, const std::string& after, size_t n, int timeout_ms) {
  return WaitUntil(
      [&] {
        const std::vector<std::string> lines = ToolLines(recsrv.Out());
        const size_t at = FindLine(lines, after);
        return at < lines.size() && SumFrames(lines, at, lines.size()).frames >= n;
      },
      timeout_ms);
}

// The event's closing line at the server counts the bytes of exactly the frames that came while
// it was open, and at least `min_frames` came.
void ExpectEventCountsItsFrames(const std::vector<std::string>& lines, const std::string& id,
                                size_t min_frames) {
  SCOPED_TRACE("event " + id);
  const size_t begins = FindLine(lines, EventLine(id, "begins"));
  const size_t ends = FindLine(lines, EventLine(id, "ends"), begins);
  ASSERT_LT(ends, lines.size());
  std::smatch m;
  ASSERT_TRUE(std::regex_search(lines[ends], m, std::regex(R"(, (\d+) bytes recorded$)")))
      << lines[ends];
  const FrameSum during = SumFrames(lines, begins, ends);
  EXPECT_GE(during.frames, min_frames);
  EXPECT_EQ(std::stoull(m[1]), during.bytes);
}

std::string OperationsLog(const Workstation& ws) {
  return test::ReadFile(ws.log_path("VorlaOperations"));
}

// A status as the event log shows it ("0x%x") and as vorla-cfgsim does ("0x%08X").
std::string LoggedCode(uint32_t status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", status);
  return text;
}
std::string AnsweredCode(uint32_t status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", status);
  return text;
}

// The lines at which the segment whose id ends in `suffix` opened and closed.
std::pair<size_t, size_t> SegmentLines(const std::vector<std::string>& lines,
                                       const std::string& suffix) {
  std::pair<size_t, size_t> at{lines.size(), lines.size()};
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("segment ", 0) != 0) continue;
    if (Contains(lines[i], suffix + " opened, ")) at.first = i;
    if (Contains(lines[i], suffix + " closed: ")) at.second = i;
  }
  return at;
}

// A program of the PATH; empty when there is none.
std::string OnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

// Whether the workstation's capture thread runs (the thread names of the process).
bool CaptureThreadRuns(pid_t pid) {
  std::error_code ec;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    const std::vector<std::string> name = test::ReadLines(task.path().string() + "/comm");
    if (!name.empty() && name[0] == "CaptureThread") return true;
  }
  return false;
}

// One workstation with its own recording server and Configurator; the Configurator pushes
// settings and rules once the workstation has registered, and then takes commands from the test.
struct Rig {
  std::unique_ptr<Tool> recsrv;  // null: the workstation has no recording server
  std::unique_ptr<Tool> cfgsim;
  std::unique_ptr<CommandPipe> commands;
  std::unique_ptr<Workstation> ws;
  Wiring wiring;  // as pushed

  bool Send(const std::string& command) { return commands->Send(command); }
  std::string Describe() const {
    return (recsrv ? recsrv->Describe() : std::string()) + cfgsim->Describe() + ws->Describe();
  }
};

class VorlaWSExternal : public VorlaWSRecording {
 protected:
  struct RigOptions {
    bool server = true;
    std::vector<std::string> recsrv_args;  // besides --frame-lines
    std::vector<std::string> cfgsim_args;  // besides the command pipe
    uint32_t flags = 0;
    std::vector<std::string> rules = {ExtRule()};
  };

  std::unique_ptr<Rig> StartRig(const std::string& name, const RigOptions& o) {
    auto rig = std::make_unique<Rig>();
    if (o.server) {
      std::vector<std::string> args = {"--frame-lines"};
      args.insert(args.end(), o.recsrv_args.begin(), o.recsrv_args.end());
      rig->recsrv = Recsrv(name + "-recsrv", "127.0.0.1", 0, args);
      EXPECT_TRUE(rig->recsrv->ok()) << rig->recsrv->Describe();
      if (!rig->recsrv->ok()) return nullptr;
    }
    std::filesystem::create_directories(Sub(name));
    rig->commands = std::make_unique<CommandPipe>(Sub(name + "/commands"));
    EXPECT_TRUE(rig->commands->ok());
    std::vector<std::string> args = {"--script", rig->commands->path()};
    args.insert(args.end(), o.cfgsim_args.begin(), o.cfgsim_args.end());
    rig->cfgsim = Cfgsim(name + "-cfgsim", "127.0.0.1", 0, args);
    EXPECT_TRUE(rig->cfgsim->ok()) << rig->cfgsim->Describe();
    if (!rig->commands->ok() || !rig->cfgsim->ok()) return nullptr;

    Wiring& w = rig->wiring;
    if (o.server) {
      w.recording_port = rig->recsrv->port();
    } else {
      w.server.clear();
    }
    w.config_port = rig->cfgsim->port();
    w.broadcast_port = FreePort(SOCK_DGRAM);
    rig->ws = NewWorkstation(name + "-ws");
    rig->ws->WriteIni(w);
    w.flags = o.flags;
    const std::string settings = File(name + "/settings.json", SettingsJson(w));
    const std::string rules = File(name + "/rules.json", RuleFile(o.rules));
    rig->ws->Start(display_);
    const bool sent =
        rig->Send("wait 1") && rig->Send("config settings=" + settings + " rules=" + rules);
    EXPECT_TRUE(sent);
    return sent ? std::move(rig) : nullptr;
  }

  // Waits for the session with the pushed rules: the second the server opens (the rules restart
  // the first).
  static ::testing::AssertionResult SessionWithRules(const Rig& rig) {
    if (rig.recsrv->WaitFor(" opened\n", 12000, 2)) {
      const std::vector<std::string> sessions = LinesWith(*rig.recsrv, "new session for user ");
      if (sessions.size() == 2 && Contains(sessions[1], ", 1 rules, "))
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no session with the rules\n" << rig.Describe();
  }
};

// ---- Trigger

TEST_F(VorlaWSExternal, TriggerStartAndStopOpenAndCloseTheSegmentAndTheEventAtTheServer) {
  auto rig = StartRig("trigger", {});
  ASSERT_TRUE(rig);
  ASSERT_TRUE(SessionWithRules(*rig));
  Tool& recsrv = *rig->recsrv;
  Tool& cfgsim = *rig->cfgsim;
  Workstation& ws = *rig->ws;

  // One external recording; a second start is refused while it runs.
  ASSERT_TRUE(rig->Send("trigger start name=T1 value=7 text=why event=REQ1 data=AABB"));
  ASSERT_TRUE(cfgsim.WaitFor("trigger answer: START result 0x00000000", 5000)) << rig->Describe();
  const std::string first = AnsweredEvents(cfgsim, "START").at(0);
  // The reply carries the request's value, text, data and name around the new event.
  EXPECT_EQ(LinesWith(cfgsim, "trigger answer: START").at(0),
            "trigger answer: START result 0x00000000, version 2 value 7 text \"why\" event \"" +
                first + "\" data 2 bytes trigger \"T1\"");
  ASSERT_TRUE(WaitForFrames(recsrv, EventLine(first, "begins"), 3, 8000)) << rig->Describe();
  ASSERT_TRUE(rig->Send("trigger start"));
  ASSERT_TRUE(cfgsim.WaitFor("trigger answer: START result 0xC0000FE8", 3000)) << cfgsim.Out();
  ASSERT_TRUE(rig->Send("trigger stop name=T1"));
  ASSERT_TRUE(cfgsim.WaitFor("trigger answer: STOP result 0x00000000", 3000)) << cfgsim.Out();
  EXPECT_EQ(LinesWith(cfgsim, "trigger answer: STOP").at(0),
            "trigger answer: STOP result 0x00000000, version 2 value 0 text \"\" event \"" + first +
                "\" data 0 bytes trigger \"T1\"");
  ASSERT_TRUE(recsrv.WaitFor("-G0001 closed: ", 5000)) << rig->Describe();
  EXPECT_EQ(recsrv.Count("new segment "), 1u) << recsrv.Out();
  EXPECT_EQ(recsrv.Count("\" begins, rule "), 1u) << "the refused start began nothing";

  // With Flags bit 9 starts may overlap: two events in one segment. A stop naming one event ends
  // only that one, and the segment stays open for the other request.
  Wiring parallel = rig->wiring;
  parallel.flags = 0x200;
  parallel.lost_text = "parallel";  // shows when the settings have been taken
  ASSERT_TRUE(rig->Send("config settings=" + File("parallel.json", SettingsJson(parallel))));
  ASSERT_TRUE(WaitUntil([&] { return ws.Ini("LostText") == "parallel"; }, 5000)) << rig->Describe();
  ASSERT_TRUE(rig->Send("trigger start"));
  ASSERT_TRUE(rig->Send("trigger start"));
  ASSERT_TRUE(cfgsim.WaitFor("trigger answer: START result 0x00000000", 5000, 3))
      << rig->Describe();
  const std::vector<std::string> started = AnsweredEvents(cfgsim, "START");
  ASSERT_EQ(started.size(), 3u);
  const std::string second = started[1], third = started[2];
  EXPECT_NE(second, third);
  ASSERT_TRUE(WaitForFrames(recsrv, EventLine(third, "begins"), 3, 8000)) << rig->Describe();
  ASSERT_TRUE(rig->Send("trigger stop name=" + second));
  ASSERT_TRUE(recsrv.WaitFor(EventLine(second, "ends"), 3000)) << rig->Describe();
  ASSERT_TRUE(WaitForFrames(recsrv, EventLine(second, "ends"), 2, 3000)) << rig->Describe();
  EXPECT_EQ(recsrv.Count(EventLine(third, "ends")), 0u) << recsrv.Out();
  EXPECT_EQ(recsrv.Count("-G0002 closed: "), 0u) << recsrv.Out();
  ASSERT_TRUE(rig->Send("trigger stop"));
  ASSERT_TRUE(recsrv.WaitFor("-G0002 closed: ", 5000)) << rig->Describe();
  EXPECT_EQ(AnsweredEvents(cfgsim, "STOP"), (std::vector<std::string>{first, second, third}));
  EXPECT_EQ(recsrv.Count("new segment "), 2u) << recsrv.Out();
  EXPECT_EQ(recsrv.Count(" opened\n"), 2u) << "the settings did not restart the session";

  const std::vector<std::string> lines = ToolLines(recsrv.Out());
  SCOPED_TRACE(recsrv.Out());
  ExpectEventCountsItsFrames(lines, first, 3);
  ExpectEventCountsItsFrames(lines, second, 3);
  ExpectEventCountsItsFrames(lines, third, 5);
  // Every event began in its segment and ended before the segment closed.
  for (const auto& [id, segment] :
       {std::pair{first, "-G0001"}, std::pair{second, "-G0002"}, std::pair{third, "-G0002"}}) {
    const auto [opened, closed] = SegmentLines(lines, segment);
    EXPECT_LT(opened, FindLine(lines, EventLine(id, "begins"))) << id;
    EXPECT_LT(FindLine(lines, EventLine(id, "ends")), closed) << id;
  }

  const std::string log = OperationsLog(ws);
  for (const char* line : {
           "Received External Trigger Request [START] from T1. Res = 0x0, eventID = REQ1.",
           "Received External Trigger Request [START] from DEF_EXT_TRIGGER. Res = 0xc0000fe8, "
           "eventID = .",
           "Received External Trigger Request [STOP] from T1. Res = 0x0, eventID = .",
       })
    EXPECT_EQ(Occurrences(log, line), 1u) << line << "\n" << log;
  EXPECT_EQ(Occurrences(log, "Received External Trigger Request [STOP] from " + second +
                                 ". Res = 0x0, eventID = ."),
            1u)
      << log;
  EXPECT_EQ(ws.Stop(), 0) << ws.Describe();
}

TEST_F(VorlaWSExternal, RequestsThatCannotBeCarriedOutAreAnsweredWithTheReason) {
  struct Case {
    const char* name;
    bool server;
    const char* refuse_sessions;  // nullptr: sessions are accepted
    uint32_t flags;
    bool ext_rule;
    uint32_t trigger, blank, live;  // the results of each request
  };
  const Case cases[] = {
      {"no recording server", false, nullptr, 0, true, 0xC0000FE9, 0xC0000FE9, 0xC0000FE9},
      {"the server refuses sessions", true, "0xC0000FAF", 0, true, 0xC0000FE9, 0xC0000FE9,
       0xC0000FE9},
      {"no rule with an external trigger input", true, nullptr, 0, false, 0xC0000FA3, 0, 0},
      {"rules switched off (Flags bit 12)", true, nullptr, 0x1000, true, 0xC0000FC0, 0, 0},
  };
  // The rows run side by side.
  std::vector<std::unique_ptr<Rig>> rigs;
  for (const Case& c : cases) {
    RigOptions o;
    o.server = c.server;
    if (c.refuse_sessions) o.recsrv_args = {"--refuse-sessions", c.refuse_sessions};
    o.flags = c.flags;
    if (!c.ext_rule) o.rules = {NeverRule("quiet")};
    rigs.push_back(StartRig("row" + std::to_string(rigs.size()), o));
    ASSERT_TRUE(rigs.back()) << c.name;
  }
  for (size_t i = 0; i < rigs.size(); ++i) {
    const Case& c = cases[i];
    Rig& rig = *rigs[i];
    SCOPED_TRACE(c.name);
    // The requests follow the configuration on the link, so they find its settings and rules.
    if (!c.server) {
      ASSERT_TRUE(rig.cfgsim->WaitFor("sent configuration (settings, 1 rules)", 10000))
          << rig.Describe();
    } else if (c.refuse_sessions) {
      ASSERT_TRUE(rig.cfgsim->WaitFor("sent configuration (settings, 1 rules)", 10000))
          << rig.Describe();
      ASSERT_TRUE(rig.recsrv->WaitFor("new session refused with ", 5000)) << rig.Describe();
    } else {
      ASSERT_TRUE(SessionWithRules(rig));
    }
    for (const char* command : {"trigger start", "trigger stop", "blank on", "live start"})
      ASSERT_TRUE(rig.Send(command));
  }
  for (size_t i = 0; i < rigs.size(); ++i) {
    const Case& c = cases[i];
    Rig& rig = *rigs[i];
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(rig.cfgsim->WaitFor("live-view answer: ", 5000)) << rig.Describe();
    const std::vector<std::string> answers = {
        "trigger answer: START result " + AnsweredCode(c.trigger),
        "trigger answer: STOP result " + AnsweredCode(c.trigger),
        "blanking answer: result " + AnsweredCode(c.blank),
        "live-view answer: START result " + AnsweredCode(c.live),
    };
    for (const std::string& answer : answers)
      EXPECT_EQ(rig.cfgsim->Count(answer), 1u) << answer << "\n" << rig.cfgsim->Out();
    // Logged as received, with the result.
    const std::string log = OperationsLog(*rig.ws);
    for (const std::string& line : {
             "Received External Trigger Request [START] from DEF_EXT_TRIGGER. Res = " +
                 LoggedCode(c.trigger) + ", eventID = .",
             "Received External Trigger Request [STOP] from DEF_EXT_TRIGGER. Res = " +
                 LoggedCode(c.trigger) + ", eventID = .",
             "Received External blanking Request [BLANK]. Res = " + LoggedCode(c.blank) + ".",
             "Received External Live Request [START]. Res = " + LoggedCode(c.live) + ".",
         })
      EXPECT_EQ(Occurrences(log, line), 1u) << line << "\n" << log;
    EXPECT_TRUE(rig.ws->WaitFor(LogLine(c.trigger,
                                        "WorkstationController: External trigger request from "
                                        "DEF_EXT_TRIGGER failed."),
                                1000))
        << rig.ws->Out();
    // Nothing was recorded.
    if (rig.recsrv) {
      EXPECT_EQ(rig.recsrv->Count("new segment "), 0u) << rig.recsrv->Out();
    }
    EXPECT_EQ(rig.ws->Stop(), 0) << rig.ws->Describe();
  }
}

// ---- Blanking

// The mean and the largest luma of a decoded picture.
struct Luma {
  double mean = 0;
  int max = 0;
};
Luma MeasureLuma(const test::DecodedFrame& f) {
  Luma l;
  if (f.luma.empty()) return l;
  l.mean = std::accumulate(f.luma.begin(), f.luma.end(), 0.0) / static_cast<double>(f.luma.size());
  l.max = *std::max_element(f.luma.begin(), f.luma.end());
  return l;
}

int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST_F(VorlaWSExternal, BlankingStaysOnUntilEveryBlankIsUndone) {
  // A white desktop, so that recorded pictures are plainly not black.
  const std::string xsetroot = OnPath("xsetroot");
  ASSERT_FALSE(xsetroot.empty()) << "xsetroot is not installed";
  std::filesystem::create_directories(Sub("xsetroot"));
  test::ChildProgram white({xsetroot, "-solid", "white"}, {{"DISPLAY", display_}}, Sub("xsetroot"));
  ASSERT_EQ(white.Wait(5000), 0) << white.Stderr();

  auto rig = StartRig("blank", {});  // BlankingText stays empty: a blanked picture is all black
  ASSERT_TRUE(rig);
  ASSERT_TRUE(SessionWithRules(*rig));
  Tool& recsrv = *rig->recsrv;
  Tool& cfgsim = *rig->cfgsim;
  ASSERT_TRUE(rig->Send("trigger start"));
  ASSERT_TRUE(cfgsim.WaitFor("trigger answer: START result 0x00000000", 5000)) << rig->Describe();
  // Frames that reached the server before any blanking.
  ASSERT_TRUE(WaitForFrames(recsrv, "segment ", 2, 8000)) << rig->Describe();
  const size_t before_blanking = SumFrames(ToolLines(recsrv.Out()), 0, SIZE_MAX).frames;

  // Blank, blank, unblank: one blank request is still in force.
  for (const char* command : {"blank on", "blank on", "blank off"}) ASSERT_TRUE(rig->Send(command));
  ASSERT_TRUE(cfgsim.WaitFor("blanking answer: result 0x00000000", 3000, 3)) << cfgsim.Out();
  const int64_t still_blank = WallMs();
  // Blanked for long enough to capture several frames.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  const int64_t last_unblank_sent = WallMs();
  ASSERT_TRUE(rig->Send("blank off"));
  ASSERT_TRUE(cfgsim.WaitFor("blanking answer: result 0x00000000", 3000, 4)) << cfgsim.Out();
  const int64_t unblanked = WallMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  // The stop sends the frames held back as well.
  ASSERT_TRUE(rig->Send("trigger stop"));
  ASSERT_TRUE(recsrv.WaitFor("-G0001 closed: ", 5000)) << rig->Describe();
  ASSERT_EQ(recsrv.Stop(), 0);

  const std::string log = OperationsLog(*rig->ws);
  EXPECT_EQ(Occurrences(log, "Received External blanking Request [BLANK]. Res = 0x0."), 2u) << log;
  EXPECT_EQ(Occurrences(log, "Received External blanking Request [UN-BLANK]. Res = 0x0."), 2u)
      << log;

  // The segment decoded, each picture placed at its capture time.
  const std::string index = test::ReadFile(Sub("blank-recsrv/rec/index.json"));
  std::smatch m;
  const std::string out = recsrv.Out();
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(segment (\S+) opened, writing (\S+))")));
  const std::string segment = IndexEntry(index, m[1]);
  const int64_t first_capture = JsonNumber(segment, "first_capture_time", 0);
  ASSERT_GT(first_capture, 0) << segment;
  std::string error;
  const auto ivf = test::ReadIvfFile(Sub("blank-recsrv/rec/" + m[2].str()), &error);
  ASSERT_TRUE(ivf) << error;
  std::vector<test::DecodedFrame> decoded;
  ASSERT_TRUE(test::DecodeVp8Frames(ivf->frames, decoded, &error)) << error;
  ASSERT_EQ(decoded.size(), ivf->pts.size());
  ASSERT_GE(decoded.size(), before_blanking);

  // Frames captured well after the blanking was on and before the last unblank went out are
  // black (Y 16, the I420 black, or near it); frames captured after that unblank show the white
  // desktop again; so do those the server had before the first blank.
  constexpr int64_t kMarginMs = 400;
  size_t black = 0, white_after = 0;
  for (size_t i = 0; i < decoded.size(); ++i) {
    const int64_t captured = first_capture + static_cast<int64_t>(ivf->pts[i]);
    const Luma l = MeasureLuma(decoded[i]);
    SCOPED_TRACE("frame " + std::to_string(i) + " captured " + std::to_string(captured) +
                 ", mean luma " + std::to_string(l.mean) + ", largest " + std::to_string(l.max));
    if (i < before_blanking) {
      EXPECT_GT(l.mean, 200);
    } else if (captured > still_blank + kMarginMs && captured < last_unblank_sent) {
      EXPECT_LE(l.max, 24);
      ++black;
    } else if (captured > unblanked + kMarginMs) {
      EXPECT_GT(l.mean, 200);
      ++white_after;
    }
  }
  EXPECT_GE(black, 3u);
  EXPECT_GE(white_after, 3u);
  EXPECT_EQ(rig->ws->Stop(), 0) << rig->ws->Describe();
}

// ---- Live view

TEST_F(VorlaWSExternal, LiveViewRunsUntilItsLastStopAndOnlyThenSendsNoFrames) {
  RigOptions o;
  o.cfgsim_args = {"--save-live", Sub("live")};
  auto rig = StartRig("live", o);
  ASSERT_TRUE(rig);
  ASSERT_TRUE(SessionWithRules(*rig));
  Tool& recsrv = *rig->recsrv;
  Tool& cfgsim = *rig->cfgsim;
  Workstation& ws = *rig->ws;
  auto live_frames = [&] { return cfgsim.Count("live frame "); };

  // A recording without live view sends the Configurator no live frames.
  ASSERT_FALSE(CaptureThreadRuns(ws.pid()));
  ASSERT_TRUE(rig->Send("trigger start"));
  ASSERT_TRUE(WaitForFrames(recsrv, "segment ", 3, 8000)) << rig->Describe();
  ASSERT_TRUE(rig->Send("trigger stop"));
  ASSERT_TRUE(recsrv.WaitFor("-G0001 closed: ", 5000)) << rig->Describe();
  EXPECT_EQ(live_frames(), 0u) << cfgsim.Out();
  ASSERT_TRUE(WaitUntil([&] { return !CaptureThreadRuns(ws.pid()); }, 3000));

  // Two starts, then the first stop: the capture goes on and so do the live frames (one a
  // second).
  ASSERT_TRUE(rig->Send("live start"));
  ASSERT_TRUE(rig->Send("live start"));
  ASSERT_TRUE(cfgsim.WaitFor("live-view answer: START result 0x00000000", 3000, 2)) << cfgsim.Out();
  ASSERT_TRUE(WaitUntil([&] { return live_frames() >= 2; }, 4000)) << rig->Describe();
  ASSERT_TRUE(rig->Send("live stop"));
  ASSERT_TRUE(cfgsim.WaitFor("live-view answer: STOP result 0x00000000", 3000)) << cfgsim.Out();
  const size_t after_first_stop = live_frames();
  EXPECT_TRUE(WaitUntil([&] { return live_frames() >= after_first_stop + 2; }, 4000))
      << cfgsim.Out();
  EXPECT_TRUE(CaptureThreadRuns(ws.pid()));

  // The second stop, with nothing recording, ends the capture and the live frames.
  ASSERT_TRUE(rig->Send("live stop"));
  ASSERT_TRUE(cfgsim.WaitFor("live-view answer: STOP result 0x00000000", 3000, 2)) << cfgsim.Out();
  EXPECT_TRUE(WaitUntil([&] { return !CaptureThreadRuns(ws.pid()); }, 3000));
  const size_t after_last_stop = live_frames();
  EXPECT_FALSE(WaitUntil([&] { return live_frames() > after_last_stop; }, 1500)) << cfgsim.Out();
  EXPECT_EQ(recsrv.Count("new segment "), 1u) << "the live view recorded nothing";

  // Each live frame is a JPEG picture of the screen, saved by the Configurator.
  const std::vector<std::string> lines = LinesWith(cfgsim, "live frame ");
  ASSERT_GE(lines.size(), 4u);
  size_t saved = 0;
  for (const std::string& line : lines) {
    EXPECT_EQ(line.rfind("live frame 640x480 JPEG quality 70", 0), 0u) << line;
    const size_t at = line.find("; saved as ");
    ASSERT_NE(at, std::string::npos) << line;
    const std::string jpeg = test::ReadFile(line.substr(at + 11));
    ASSERT_GE(jpeg.size(), 4u) << line;
    EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8") << line;
    EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xFF\xD9") << line;
    ++saved;
  }
  EXPECT_EQ(saved, lines.size());

  const std::string log = OperationsLog(ws);
  EXPECT_EQ(Occurrences(log, "Received External Live Request [START]. Res = 0x0."), 2u) << log;
  EXPECT_EQ(Occurrences(log, "Received External Live Request [STOP]. Res = 0x0."), 2u) << log;
  EXPECT_EQ(ws.Stop(), 0) << ws.Describe();
}

// The local HTTP interface of the running service, as curl sees it: Ping, a RecordingControl start
// and stop whose answer carries the event the recording server recorded, HTTPS on port + 1.
std::string Curl(const std::string& args) {
  return test::CommandOutput("curl -s -m 5 " + args + " 2>/dev/null");
}

std::string JsonValue(const std::string& json, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + key + "\": \"([^\"]*)\""))) return "-";
  return m[1];
}

TEST_F(VorlaWSExternal, TheLocalHttpInterfaceStartsAndStopsARecording) {
  if (std::system("command -v curl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no curl";
  auto rig = StartRig("http", {});
  ASSERT_TRUE(rig);
  ASSERT_TRUE(SessionWithRules(*rig));
  const std::string port = rig->ws->Ini("HTTPPort").value_or("");
  ASSERT_FALSE(port.empty());
  const std::string base = "http://127.0.0.1:" + port + "/Workstation/";
  EXPECT_EQ(Curl(base + "Ping"), "Vorla Http Interface up and running.");
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' " + base + "ping"), "400");

  const std::string started =
      Curl("-d '{\"Recording\":{\"MetaData\":\"ticket 42\",\"Start\":1,\"Blank\":0}}' " + base +
           "RecordingControl");
  EXPECT_EQ(JsonValue(started, "Result"), "0") << started;
  EXPECT_EQ(JsonValue(started, "MetaData"), "ticket 42");
  EXPECT_EQ(JsonValue(started, "EndTime"), "-") << "no end time for a start";
  const std::string id = JsonValue(started, "EventId");
  ASSERT_TRUE(std::regex_match(id, std::regex("EVT_[0-9a-f]{14}"))) << started;
  ASSERT_TRUE(WaitForFrames(*rig->recsrv, EventLine(id, "begins"), 3, 8000)) << rig->Describe();

  const std::string stopped =
      Curl("-d '{\"Recording\":{\"MetaData\":\"\",\"Start\":0}}' " + base + "RecordingControl");
  EXPECT_EQ(JsonValue(stopped, "Result"), "0") << stopped;
  EXPECT_EQ(JsonValue(stopped, "EventId"), id);
  ASSERT_TRUE(rig->recsrv->WaitFor(EventLine(id, "ends"), 3000)) << rig->Describe();
  std::smatch m;
  const std::string ended = LinesWith(*rig->recsrv, EventLine(id, "ends")).at(0);
  ASSERT_TRUE(std::regex_search(ended, m, std::regex(R"(, (\d+) bytes recorded$)"))) << ended;
  EXPECT_EQ(JsonValue(stopped, "SizeBytes"), m[1].str()) << "the bytes the server recorded";
  EXPECT_NE(JsonValue(stopped, "EndTime"), "-");

  // HTTPS answers on port + 1 (a generated certificate, as no name is set).
  const std::string https =
      "https://127.0.0.1:" + std::to_string(std::stoi(port) + 1) + "/Workstation/Ping";
  EXPECT_EQ(Curl("-k " + https), "Vorla Http Interface up and running.");
  EXPECT_EQ(rig->ws->Stop(), 0) << rig->ws->Describe();
}

}  // namespace
}  // namespace vorla
