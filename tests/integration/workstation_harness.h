// What the integration tests of the workstation share: small helpers, rule and settings files,
// the reference tools and "VorlaWS CMDLN" as child processes, and the fixtures (one private X
// server with a window manager per test program for the tests that record).
#pragma once

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
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

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/x_server.h"

namespace vorla::integration {

using test::ChildProgram;
using Env = std::map<std::string, std::optional<std::string>>;
using SteadyClock = std::chrono::steady_clock;

// ---- Small helpers

// Polls `done` every 20 ms until it holds or `timeout_ms` have passed; its last value.
inline bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  while (SteadyClock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

inline int64_t MsSince(SteadyClock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t).count();
}

inline size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

inline bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

inline void WriteTextFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// The console line of a logged status, as the workstation prints it on stdout.
inline std::string LogLine(uint32_t code, const std::string& text) {
  char head[32];
  std::snprintf(head, sizeof head, "Err: 0x%08X: ", code);
  return head + text + "\n";
}

inline std::string CurrentUser() {
  const passwd* pw = getpwuid(geteuid());
  return pw ? pw->pw_name : "";
}

// The lines of a tool's output without the link prefix ("#1 127.0.0.1: ").
inline std::vector<std::string> ToolLines(const std::string& out) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(start, end - start);
    if (!line.empty() && line[0] == '#') {
      const size_t colon = line.find(": ");
      if (colon != std::string::npos) line = line.substr(colon + 2);
    }
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// The number after "name": in `json` after position `from`; -1 when there is none.
inline int64_t JsonNumber(const std::string& json, const std::string& name, size_t from) {
  const std::string key = "\"" + name + "\": ";
  const size_t at = json.find(key, from);
  if (at == std::string::npos) return -1;
  return std::stoll(json.substr(at + key.size()));
}

// The JSON text of the index object whose "id" is `id` (up to its closing brace).
inline std::string IndexEntry(const std::string& json, const std::string& id) {
  const size_t at = json.find("\"id\": \"" + id + "\"");
  if (at == std::string::npos) return {};
  const size_t end = json.find('}', at);
  return json.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// A TCP port of 127.0.0.1 nobody listens on (free a moment ago), and a free UDP port.
inline uint16_t FreePort(int type) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(type == SOCK_DGRAM ? INADDR_ANY : INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// What a process holds, from /proc: its threads, resident memory and open descriptors.
struct ProcessUsage {
  int64_t threads = -1;
  int64_t rss_kb = -1;
  int64_t fds = -1;
};
inline ProcessUsage ReadUsage(pid_t pid) {
  ProcessUsage u;
  const std::string proc = "/proc/" + std::to_string(pid);
  for (const std::string& line : test::ReadLines(proc + "/status")) {
    if (line.rfind("Threads:", 0) == 0) u.threads = std::stoll(line.substr(8));
    if (line.rfind("VmRSS:", 0) == 0) u.rss_kb = std::stoll(line.substr(6));
  }
  std::error_code ec;
  int64_t fds = 0;
  for (auto it = std::filesystem::directory_iterator(proc + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++fds;
  if (!ec) u.fds = fds;
  return u;
}
inline std::string DescribeUsage(const ProcessUsage& u) {
  return std::to_string(u.threads) + " threads, " + std::to_string(u.rss_kb) + " kB resident, " +
         std::to_string(u.fds) + " descriptors";
}

// ---- Local time and schedule rules

struct TimeOfDay {
  int h = 0, m = 0, s = 0;
};

inline TimeOfDay LocalTimeIn(int seconds) {
  const time_t t = time(nullptr) + seconds;
  tm lt{};
  localtime_r(&t, &lt);
  return {lt.tm_hour, lt.tm_min, lt.tm_sec};
}

// A schedule window cannot cross midnight, and the workstation restarts its session with the
// day: waits (at most `seconds` + 3 s) until the next `seconds` stay inside one local day.
inline void StayClearOfMidnight(int seconds) {
  WaitUntil(
      [&] {
        const TimeOfDay t = LocalTimeIn(0);
        const int of_day = t.h * 3600 + t.m * 60 + t.s;
        return of_day >= 3 && of_day + seconds <= 86399;
      },
      (seconds + 3) * 1000);
}

inline std::string ScheduleRule(const std::string& name, TimeOfDay from, TimeOfDay to,
                                const std::string& record_fields = "") {
  auto hms = [](const char* prefix, TimeOfDay t) {
    return "\"" + std::string(prefix) + "_hour\": " + std::to_string(t.h) + ", \"" + prefix +
           "_minute\": " + std::to_string(t.m) + ", \"" + prefix +
           "_second\": " + std::to_string(t.s);
  };
  return "{\"name\": \"" + name + "\", \"inputs\": [{\"type\": \"schedule\", \"name\": \"" + name +
         "-times\", " + hms("start", from) + ", " + hms("end", to) +
         "}], \"true_actions\": [{\"type\": \"record\", \"images_per_second\": 5, \"codec\": "
         "\"VP80\", \"quality\": 60" +
         record_fields + "}], \"false_actions\": [{\"type\": \"stop\"}]}";
}
inline std::string AllDayRule(const std::string& name, const std::string& record_fields = "") {
  return ScheduleRule(name, {0, 0, 0}, {23, 59, 59}, record_fields);
}
// From 23:59:59 to 00:00:00: never true.
inline std::string NeverRule(const std::string& name) {
  return ScheduleRule(name, {23, 59, 59}, {0, 0, 0});
}
inline std::string RuleFile(const std::vector<std::string>& rules) {
  std::string text = "{\"rules\": [";
  for (size_t i = 0; i < rules.size(); ++i) text += (i ? ", " : "") + rules[i];
  return text + "]}\n";
}

// ---- The workstation's settings

// What the tests set of the workstation's settings, written as the INI file or as a settings
// file for vorla-cfgsim's configuration message.
struct Wiring {
  std::string server = "127.0.0.1";  // SCServerIP; empty: no recording server
  uint16_t recording_port = 0;
  std::string config = "127.0.0.1";
  uint16_t config_port = 0;
  uint16_t broadcast_port = 0;
  int seating_type = 2;
  int broadcast_takes_pref = 1;
  std::string secondary_config;  // SecConfigIP
  std::string lost_text;
  // Configuration messages only: the INI file keeps the password enciphered and has no flags.
  std::string password;
  uint32_t flags = 0;
};

// The local HTTP interface gets a port of its own, so that workstations running side by side
// (and tests running in parallel) do not compete for the default one.
inline std::string IniText(const Wiring& w) {
  return "[Config]\nHTTPPort=" + std::to_string(FreePort(SOCK_STREAM)) +
         "\nSCServerIP=" + w.server + "\nRecordingPort=" + std::to_string(w.recording_port) +
         "\nConfigIP=" + w.config + "\nConfigPort=" + std::to_string(w.config_port) +
         "\nBroadcastPort=" + std::to_string(w.broadcast_port) +
         "\nBroadcastTakesPref=" + std::to_string(w.broadcast_takes_pref) +
         "\nSeatingType=" + std::to_string(w.seating_type) + "\nSecConfigIP=" + w.secondary_config +
         "\nLostText=" + w.lost_text + "\nErrLogLevel=1\n";
}

// HTTPPort 0 keeps the workstation's own.
inline std::string SettingsJson(const Wiring& w) {
  auto str = [](const std::string& s) { return "\"" + s + "\""; };
  return "{\"SCServerIP\": " + str(w.server) +
         ", \"RecordingPort\": " + std::to_string(w.recording_port) +
         ", \"ConfigIP\": " + str(w.config) + ", \"ConfigPort\": " + std::to_string(w.config_port) +
         ", \"BroadcastPort\": " + std::to_string(w.broadcast_port) +
         ", \"BroadcastTakesPref\": " + std::to_string(w.broadcast_takes_pref) +
         ", \"SeatingType\": " + std::to_string(w.seating_type) +
         ", \"SecConfigIP\": " + str(w.secondary_config) + ", \"LostText\": " + str(w.lost_text) +
         ", \"EncryptionPassword\": " + str(w.password) +
         ", \"Flags\": " + std::to_string(w.flags) +
         ", \"AssignedFCC\": \"VP80\", \"ErrLogLevel\": 1, \"HTTPPort\": 0}\n";
}

// ---- The programs

// vorla-recsrv or vorla-cfgsim listening on address:port (0: a free port, read back from the
// first line). Its output goes to a folder of its own; it is killed when the object goes.
class Tool {
 public:
  Tool(const std::string& program, const std::string& address, uint16_t port,
       const std::vector<std::string>& args, const std::string& folder)
      : name_(program) {
    std::filesystem::create_directories(folder);
    std::vector<std::string> argv = {test::BuiltProgram(program), "--address", address, "--port",
                                     std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    p_ = std::make_unique<ChildProgram>(argv, Env{}, folder);
    const std::string marker = "listening on " + address + ":";
    WaitUntil(
        [&] {
          const std::string out = Out();
          const size_t at = out.find(marker);
          if (at != std::string::npos) {
            port_ = static_cast<uint16_t>(std::stoi(out.substr(at + marker.size())));
            return true;
          }
          return p_->Wait(0).has_value();
        },
        10000);
  }

  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  std::string Out() const { return p_->Stdout(); }
  size_t Count(const std::string& text) const { return Occurrences(Out(), text); }
  bool WaitFor(const std::string& text, int timeout_ms, size_t times = 1) const {
    return WaitUntil([&] { return Count(text) >= times; }, timeout_ms);
  }
  std::string Describe() const {
    return "--- " + name_ + " stdout:\n" + Out() + "--- " + name_ + " stderr:\n" + p_->Stderr();
  }
  // SIGTERM, and the exit code (nullopt when it did not end in time).
  std::optional<int> Stop(int timeout_ms = 10000) {
    p_->Signal(SIGTERM);
    return p_->Wait(timeout_ms);
  }
  void Kill() {
    p_->Signal(SIGKILL);
    p_->Wait(5000);
  }
  ChildProgram& process() { return *p_; }

 private:
  std::string name_;
  std::unique_ptr<ChildProgram> p_;
  uint16_t port_ = 0;
};

// One workstation: its folders under `root` and "VorlaWS CMDLN" started on them.
class Workstation {
 public:
  explicit Workstation(std::string root) : root_(std::move(root)) {}

  std::string ini_path() const { return root_ + "/data/Vorla/Workstation/Workstation.ini"; }
  std::string rules_path() const { return root_ + "/data/Vorla/Workstation/DefRules.dat"; }
  std::string log_path(const std::string& log) const { return root_ + "/log/" + log + ".log"; }
  std::string temp_dir() const { return root_ + "/tmp"; }

  void WriteIni(const Wiring& w) const { WriteTextFile(ini_path(), IniText(w)); }
  // The value of `key` in the INI file; nullopt when the key (or the file) is missing.
  std::optional<std::string> Ini(const std::string& key) const {
    for (const std::string& line : test::ReadLines(ini_path()))
      if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return std::nullopt;
  }

  // Starts the program with DISPLAY set to `display` (unset when nullopt); `runtime` names the
  // lock-file folder when it is shared with another workstation.
  void Start(const std::optional<std::string>& display, const Env& extra = {},
             const std::string& runtime = "") {
    for (const char* sub : {"log", "tmp", "run", "units", "out"})
      std::filesystem::create_directories(root_ + "/" + sub);
    Env env = {{"VORLA_LOG_DIR", root_ + "/log"},
               {"VORLA_TEMP_DIR", temp_dir()},
               {"VORLA_COMMON_APPDATA", root_ + "/data"},
               {"VORLA_RUNTIME_DIR", runtime.empty() ? root_ + "/run" : runtime},
               {"VORLA_SYSTEMD_DIR", root_ + "/units"},
               {"VORLA_DEBUG_OUTPUT", std::nullopt},
               {"VORLA_SEND_LIMIT_MS", std::nullopt},
               {"VORLA_SHELL_NAMES", std::nullopt},
               {"NOTIFY_SOCKET", std::nullopt},
               {"DISPLAY", display}};
    for (const auto& [k, v] : extra) env[k] = v;
    p_.reset();
    p_ = std::make_unique<ChildProgram>(
        std::vector<std::string>{test::BuiltProgram("VorlaWS"), "CMDLN"}, env, root_ + "/out");
  }

  bool started() const { return p_ && p_->started(); }
  pid_t pid() const { return p_ ? p_->pid() : -1; }
  std::string Out() const { return p_ ? p_->Stdout() : std::string(); }
  size_t Count(const std::string& text) const { return Occurrences(Out(), text); }
  bool WaitFor(const std::string& text, int timeout_ms, size_t times = 1) const {
    return WaitUntil([&] { return Count(text) >= times; }, timeout_ms);
  }
  bool Running() { return p_ && !p_->Wait(0).has_value(); }
  // SIGTERM (the stop control of a direct run) and the exit code; nullopt when it hangs.
  std::optional<int> Stop(int timeout_ms = 15000) {
    p_->Signal(SIGTERM);
    return p_->Wait(timeout_ms);
  }
  std::string Describe() const {
    return "--- VorlaWS stdout:\n" + Out() + "--- VorlaWS stderr:\n" +
           (p_ ? p_->Stderr() : std::string());
  }
  // Crash dumps the program left in its temporary folder.
  std::vector<std::string> Dumps() const {
    std::vector<std::string> dumps;
    for (const auto& e : std::filesystem::directory_iterator(temp_dir()))
      if (e.path().filename().string().rfind("VorlaWS", 0) == 0) dumps.push_back(e.path());
    return dumps;
  }

 private:
  std::string root_;
  std::unique_ptr<ChildProgram> p_;
};

inline const std::string kCfgUp =
    "WorkstationController: Cfg connection to PRIMARY 127.0.0.1 is UP.";

class WorkstationTest : public ::testing::Test {
 protected:
  std::string Sub(const std::string& name) const { return dir_.Sub(name); }
  // Writes `text` into the test's folder; its path.
  std::string File(const std::string& name, const std::string& text) const {
    WriteTextFile(Sub(name), text);
    return Sub(name);
  }
  std::unique_ptr<Tool> Recsrv(const std::string& name, const std::string& address, uint16_t port,
                               std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--output", Sub(name + "/rec")};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<Tool>("vorla-recsrv", address, port, args, Sub(name));
  }
  std::unique_ptr<Tool> Cfgsim(const std::string& name, const std::string& address, uint16_t port,
                               std::vector<std::string> args = {}) {
    return std::make_unique<Tool>("vorla-cfgsim", address, port, args, Sub(name));
  }
  std::unique_ptr<Workstation> NewWorkstation(const std::string& name) const {
    return std::make_unique<Workstation>(Sub(name));
  }

  test::ScopedTempDir dir_;
  std::optional<std::string> display_;
  const std::string user_ = CurrentUser();
};

// Workstations that never record: no X server.
class VorlaWSLinks : public WorkstationTest {};

// Workstations that open sessions and record: a window manager (the user's desktop shell) on a
// private X server, shared by the fixture's tests.
class VorlaWSRecording : public WorkstationTest {
 protected:
  static void SetUpTestSuite() {
    if (!test::PrivateXServer::XvfbInstalled()) return;
    auto options = test::PrivateXServer::Options::Small();
    options.window_manager = true;
    x_server_ = test::PrivateXServer::Start(options, &x_error_);
  }
  static void TearDownTestSuite() { x_server_.reset(); }
  void SetUp() override {
    VORLA_SKIP_WITHOUT_XVFB();
    ASSERT_NE(x_server_, nullptr) << "no private X server: " << x_error_;
    display_ = x_server_->display_name();
  }

  inline static std::unique_ptr<test::PrivateXServer> x_server_;
  inline static std::string x_error_;
};

// The frame lines of vorla-recsrv --frame-lines from `begin` to `end` (line indexes): their
// byte counts, and how many were not "deciphered digest ok".
struct FrameSum {
  size_t frames = 0;
  uint64_t bytes = 0;
  size_t not_ok = 0;
};
inline FrameSum SumFrames(const std::vector<std::string>& lines, size_t begin, size_t end) {
  static const std::regex frame(R"(^frame (\d+) bytes( key)?(.*)$)");
  FrameSum sum;
  for (size_t i = begin; i < end && i < lines.size(); ++i) {
    std::smatch m;
    if (!std::regex_match(lines[i], m, frame)) continue;
    ++sum.frames;
    sum.bytes += std::stoull(m[1]);
    if (m[3] != " deciphered digest ok") ++sum.not_ok;
  }
  return sum;
}

inline size_t FindLine(const std::vector<std::string>& lines, const std::string& prefix,
                       size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i].rfind(prefix, 0) == 0) return i;
  return lines.size();
}

}  // namespace vorla::integration
