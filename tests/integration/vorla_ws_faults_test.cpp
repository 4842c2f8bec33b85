// The whole system under faults: "VorlaWS CMDLN" with the reference recording server and
// Configurator (or peers built from the network library) while its X server dies, its data folder
// refuses writes, its Configurator links churn and flood, and many workstations share one
// recording server. Each test checks that the program keeps running and that nothing it keeps
// (recorded frames, saved settings) is lost; the load tests also check that threads, descriptors
// and memory stay where they were.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config_files.h"  // vorla-cfgsim's settings and rule files, its configuration message
#include "integration/workstation_harness.h"
#include "net/wssvrapi.h"
#include "platform/sockets.h"
#include "security/hc128.h"
#include "security/security_server.h"
#include "security/security_server_v2.h"
#include "support/temp_dir.h"
#include "support/test_peer.h"
#include "support/x_server.h"

namespace vorla {
namespace {

using namespace integration;

// A workstation recording all day under rules pushed by vorla-cfgsim, to a recording server that
// prints a line per frame (on the shared X server unless a test starts its own).
// The resident set of a sanitized build grows with what was allocated (shadow memory and the
// quarantine of freed blocks): memory growth is measured only in the plain build.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class VorlaWSFaults : public VorlaWSRecording {
 protected:
  // Starts the recording server and the Configurator (which pushes the password "secret" and
  // the all-day rule) and writes the workstation's INI.
  void StartPeers() {
    recsrv_ = Recsrv("recsrv", "127.0.0.1", 0, {"--password", "secret", "--frame-lines"});
    const std::string rules = File("allday.json", RuleFile({AllDayRule("always")}));
    cfgsim_ = Cfgsim(
        "cfgsim", "127.0.0.1", 0,
        {"-c", "wait 1", "-c", "config settings=" + Sub("settings.json") + " rules=" + rules});
    ASSERT_TRUE(recsrv_->ok() && cfgsim_->ok()) << recsrv_->Describe() << cfgsim_->Describe();
    wiring_.recording_port = recsrv_->port();
    wiring_.config_port = cfgsim_->port();
    wiring_.broadcast_port = FreePort(SOCK_DGRAM);
    Wiring pushed = wiring_;
    pushed.password = "secret";
    WriteTextFile(Sub("settings.json"), SettingsJson(pushed));
    ws_ = NewWorkstation("ws");
    ws_->WriteIni(wiring_);
  }

  std::string Describe() const {
    return recsrv_->Describe() + cfgsim_->Describe() + ws_->Describe();
  }

  Wiring wiring_;
  std::unique_ptr<Tool> recsrv_, cfgsim_;
  std::unique_ptr<Workstation> ws_;
};

// ---- The X server goes away

TEST_F(VorlaWSFaults, AKilledXServerEndsTheSegmentAndRecordingResumesWhenADisplayIsBack) {
  VORLA_SKIP_WITHOUT_XVFB();
  std::string error;
  auto x = test::PrivateXServer::Start(test::PrivateXServer::Options::Small(), &error);
  ASSERT_NE(x, nullptr) << error;
  const int number = x->display_number();
  ASSERT_NO_FATAL_FAILURE(StartPeers());
  ws_->Start(x->display_name());
  ASSERT_TRUE(recsrv_->WaitFor("frame ", 15000, 3)) << Describe();

  ASSERT_EQ(kill(x->server_pid(), SIGKILL), 0);
  x.reset();
  // The capture reports the loss and ends; the segment closes with what it took.
  EXPECT_TRUE(ws_->WaitFor(LogLine(0xC0000FD3,
                                   "Capture: The connection to the display server is lost. "
                                   "Capture stopped."),
                           10000))
      << Describe();
  ASSERT_TRUE(recsrv_->WaitFor(" closed: ", 10000)) << Describe();
  // Not recording, a recording pending, the desktop lost.
  EXPECT_TRUE(recsrv_->WaitFor("[up,session,start-failed,desktop-lost] code 0xC0000FD3", 15000))
      << Describe();
  const size_t frames_before = recsrv_->Count("frame ");
  const size_t sessions = recsrv_->Count("new session for user ");
  EXPECT_TRUE(ws_->Running()) << Describe();

  // A server on the same display number: a new segment with frames.
  auto options = test::PrivateXServer::Options::Small();
  options.display_number = number;
  auto back = test::PrivateXServer::Start(options, &error);
  ASSERT_NE(back, nullptr) << error;
  ASSERT_TRUE(recsrv_->WaitFor(" opened, writing ", 30000, 2)) << Describe();
  ASSERT_TRUE(recsrv_->WaitFor("frame ", 10000, frames_before + 3)) << Describe();

  EXPECT_EQ(recsrv_->Count("new session for user "), sessions) << "the session went on";

  EXPECT_TRUE(ws_->Running());
  EXPECT_EQ(ws_->Stop(), 0) << Describe();
  EXPECT_TRUE(ws_->Dumps().empty());
  const std::vector<std::string> lines = ToolLines(recsrv_->Out());
  EXPECT_EQ(SumFrames(lines, 0, lines.size()).not_ok, 0u) << recsrv_->Out();
}

// ---- The data folder refuses writes

// A mount over a folder for the length of a test: the folder bound read-only onto itself, or a
// tiny tmpfs holding copies of its files with every free byte taken. Root writes through file
// modes but through neither of these. Detached at the end, whatever the test did.
class FolderFault {
 public:
  enum class Kind { kReadOnly, kFull };
  // nullptr (with the reason) when this machine does not allow the mount.
  static std::unique_ptr<FolderFault> Apply(const std::string& folder, Kind kind,
                                            std::string& why) {
    std::unique_ptr<FolderFault> fault(new FolderFault(folder));
    if (kind == Kind::kReadOnly) {
      if (mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        why = std::string("bind mount: ") + std::strerror(errno);
        return nullptr;
      }
      fault->mounted_ = true;
      if (mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        why = std::string("read-only remount: ") + std::strerror(errno);
        return nullptr;
      }
    } else {
      std::vector<std::pair<std::string, std::string>> files;
      for (const auto& e : std::filesystem::directory_iterator(folder))
        files.emplace_back(e.path().filename(), test::ReadFile(e.path()));
      if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) {
        why = std::string("tmpfs mount: ") + std::strerror(errno);
        return nullptr;
      }
      fault->mounted_ = true;
      for (const auto& [name, bytes] : files) WriteTextFile(folder + "/" + name, bytes);
      // Pages first, then single bytes, until nothing more goes in.
      const int fd = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
      const std::vector<char> page(4096, 'f');
      while (fd >= 0 && write(fd, page.data(), page.size()) > 0) {
      }
      while (fd >= 0 && write(fd, page.data(), 1) > 0) {
      }
      if (fd >= 0) close(fd);
    }
    // Whatever the kind, a new file with content must not go in.
    const std::string probe = folder + "/probe";
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT, 0644);
    const bool written = fd >= 0 && write(fd, "x", 1) == 1 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    unlink(probe.c_str());
    if (written) {
      why = "the folder still takes writes";
      return nullptr;
    }
    return fault;
  }
  ~FolderFault() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  FolderFault(const FolderFault&) = delete;
  FolderFault& operator=(const FolderFault&) = delete;

 private:
  explicit FolderFault(std::string folder) : folder_(std::move(folder)) {}
  std::string folder_;
  bool mounted_ = false;
};

TEST_F(VorlaWSFaults, SettingsThatCannotBeSavedLeaveTheFilesIntactAndApplyInMemory) {
  struct Case {
    const char* name;
    FolderFault::Kind kind;
  };
  const Case cases[] = {{"read-only", FolderFault::Kind::kReadOnly},
                        {"full", FolderFault::Kind::kFull}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string tag = std::string("row-") + c.name;
    auto recsrv =
        Recsrv(tag + "-recsrv", "127.0.0.1", 0, {"--password", "secret", "--frame-lines"});
    ASSERT_TRUE(recsrv->ok()) << recsrv->Describe();
    // First settings and rules (5 fps, quality 60), then, once the fault is in place, others
    // (LostText, quality 40): the new rules restart the session with them.
    const std::string first = Sub(tag + "-first.json"), second = Sub(tag + "-second.json");
    const std::string rules60 = File(tag + "-rules60.json", RuleFile({AllDayRule("always")}));
    std::string rule40 = AllDayRule("always");
    rule40.replace(rule40.find("\"quality\": 60"), 13, "\"quality\": 40");
    const std::string rules40 = File(tag + "-rules40.json", RuleFile({rule40}));
    auto cfgsim =
        Cfgsim(tag + "-cfgsim", "127.0.0.1", 0,
               {"-c", "wait 1", "-c", "config settings=" + first + " rules=" + rules60, "-c",
                "sleep 5000", "-c", "config settings=" + second + " rules=" + rules40});
    ASSERT_TRUE(cfgsim->ok()) << cfgsim->Describe();
    Wiring w;
    w.recording_port = recsrv->port();
    w.config_port = cfgsim->port();
    w.broadcast_port = FreePort(SOCK_DGRAM);
    Wiring pushed = w;
    pushed.password = "secret";
    pushed.lost_text = "first";
    WriteTextFile(first, SettingsJson(pushed));
    pushed.lost_text = "second";
    WriteTextFile(second, SettingsJson(pushed));
    auto ws = NewWorkstation(tag + "-ws");
    ws->WriteIni(w);
    ws->Start(display_);
    auto describe = [&] { return recsrv->Describe() + cfgsim->Describe() + ws->Describe(); };

    ASSERT_TRUE(WaitUntil([&] { return ws->Ini("LostText") == "first"; }, 10000)) << describe();
    ASSERT_TRUE(recsrv->WaitFor("quality 60", 10000)) << describe();
    const std::string folder = std::filesystem::path(ws->ini_path()).parent_path();
    const std::string ini = test::ReadFile(ws->ini_path());
    const std::string rules = test::ReadFile(ws->rules_path());
    ASSERT_FALSE(rules.empty());
    std::string why;
    auto fault = FolderFault::Apply(folder, c.kind, why);
    if (!fault) GTEST_SKIP() << "cannot make the data folder refuse writes here: " << why;
    ASSERT_EQ(cfgsim->Count("sent configuration"), 1u)
        << "the second configuration came before the fault was in place\n"
        << describe();

    // The save fails and says so; both files stay as they were.
    ASSERT_TRUE(cfgsim->WaitFor("sent configuration", 10000, 2)) << describe();
    EXPECT_TRUE(ws->WaitFor(
        LogLine(0xC0000FA0, "Faile to create/save default rules. Path: " + ws->rules_path()), 5000))
        << describe();
    EXPECT_EQ(test::ReadFile(ws->ini_path()), ini);
    EXPECT_EQ(test::ReadFile(ws->rules_path()), rules);
    // The new values hold in memory: the session restarts with the new rules and records.
    ASSERT_TRUE(recsrv->WaitFor("quality 40", 15000)) << describe();
    const size_t frames = recsrv->Count("frame ");
    EXPECT_TRUE(recsrv->WaitFor("frame ", 10000, frames + 3)) << describe();
    EXPECT_EQ(test::ReadFile(ws->ini_path()), ini);
    EXPECT_EQ(test::ReadFile(ws->rules_path()), rules);
    EXPECT_TRUE(ws->Running());

    // Writable again: the shutdown saves what the program holds.
    fault.reset();
    EXPECT_EQ(ws->Stop(), 0) << describe();
    EXPECT_EQ(ws->Ini("LostText"), "second");
    EXPECT_TRUE(ws->Dumps().empty());
    const std::vector<std::string> lines = ToolLines(recsrv->Out());
    EXPECT_EQ(SumFrames(lines, 0, lines.size()).not_ok, 0u);
  }
}

// ---- Many workstations at one recording server

// A workstation played with the network library: the server API with a session and a segment,
// sending frames enciphered with the session password and with their digests, as VorlaWS does.
// Every frame is different (its number in its first bytes), so a frame delivered twice, lost or
// mixed up with another workstation's shows in the counts and digests.
class PlayedWorkstation {
 public:
  static constexpr uint32_t kVp80Fcc = 0x30385056;  // "VP80"
  static constexpr uint32_t kFrameBytes = 24 * 1024;

  explicit PlayedWorkstation(int number)
      : name_(u"WS-PLAYED-" + std::u16string(1, static_cast<char16_t>(u'A' + number))),
        plain_(kFrameBytes) {
    uint32_t seed = 2166136261u ^ static_cast<uint32_t>(number);
    for (auto& b : plain_) b = static_cast<uint8_t>((seed = seed * 16777619u + 12345u) >> 24);
  }

  bool Open(uint16_t port, const std::u16string& password) {
    std::vector<uint8_t> units;
    for (char16_t c : password) {
      units.push_back(static_cast<uint8_t>(c));
      units.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (!SecurityServer::Instance().DeriveKey(key_, units.data(),
                                              static_cast<uint32_t>(units.size())))
      return false;
    if (api_.Connect(u"127.0.0.1", port, name_, platform::LoopbackAddress()) != 0) return false;
    SessionRecord s;
    s.workstation_name = name_;
    s.workstation_address = platform::LoopbackAddress();
    s.user_name = u"played";
    s.start_time = NowMs();
    s.session_flags = kSessionFlagFramesEnciphered;
    if (api_.NewSession(s, RuleList{}) != 0) return false;
    session_ = s;
    SegmentRecord g;
    g.start_time = g.end_time = NowMs();
    g.frame_rate = 5;
    g.width = 640;
    g.height = 480;
    g.codec_fcc = kVp80Fcc;
    g.quality = 50;
    if (api_.NewSegment(g) != 0) return false;
    segment_ = g;
    return true;
  }

  // Sends `count` more frames; false when one cannot be made or sent.
  bool Send(int count) {
    for (int i = 0; i < count; ++i, ++sent_) {
      for (int k = 0; k < 8; ++k) plain_[k] = static_cast<uint8_t>(sent_ >> (8 * k));
      FrameHeader h;
      h.capture_time = static_cast<uint64_t>(NowMs());
      h.codec_fcc = kVp80Fcc;
      h.quality = 50;
      h.data_length = kFrameBytes;
      h.width = 640;
      h.height = 480;
      h.frame_flags = kFrameFlagDigestValid | kFrameFlagEnciphered |
                      (sent_ % 20 == 0 ? kFrameFlagKeyFrame : 0u);
      PayloadBuffer digest;
      if (!SecurityServer::Instance().Hash(plain_.data(), kFrameBytes, digest) || digest.size() < 8)
        return false;
      std::copy_n(digest.data(), 8, h.digest.begin());
      // Every frame starts the key stream afresh.
      auto state = StreamCipherCreate(key_.span());
      if (!state) return false;
      PayloadBuffer frame = PayloadBuffer::Allocate(kFrameBytes);
      StreamCipherProcess(*state, plain_.data(), frame.data(), kFrameBytes);
      if (api_.SegmentData(frame, h) != 0) return false;
    }
    return true;
  }

  void Close() {
    segment_.end_time = NowMs();
    api_.CloseSegment(segment_);
    session_.end_time = NowMs();
    api_.CloseSession(session_);
    api_.Close();
  }

  uint64_t sent() const { return sent_; }
  std::string session_id() const {
    std::string id;
    for (char16_t c : session_.session_id) id.push_back(static_cast<char>(c));
    return id;
  }

 private:
  static int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  std::u16string name_;
  std::vector<uint8_t> plain_;
  PayloadBuffer key_;
  WSSVRAPI api_;
  SessionRecord session_;
  SegmentRecord segment_;
  uint64_t sent_ = 0;
};

TEST_F(VorlaWSLinks, TwentyWorkstationsAtOnceLoseNoFrameAndTheServerStaysFlat) {
  ASSERT_TRUE(SecurityServer::Instance().Initialize());
  SecurityServer_v2::Instance();
  auto recsrv = Recsrv("recsrv", "127.0.0.1", 0, {"--password", "secret"});
  ASSERT_TRUE(recsrv->ok()) << recsrv->Describe();
  constexpr int kWorkstations = 20;
  std::vector<std::unique_ptr<PlayedWorkstation>> played;
  for (int i = 0; i < kWorkstations; ++i) {
    played.push_back(std::make_unique<PlayedWorkstation>(i));
    ASSERT_TRUE(played.back()->Open(recsrv->port(), u"secret")) << i << recsrv->Describe();
  }
  // All of them at once, in rounds: a short one to bring the server to its working size, then
  // one four times as long.
  auto round = [&](int frames) {
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    for (auto& p : played)
      threads.emplace_back([&, w = p.get()] {
        if (!w->Send(frames)) ++failed;
      });
    for (auto& t : threads) t.join();
    return failed.load();
  };
  const pid_t server = recsrv->process().pid();
  auto settled = [&] {
    // What the server still has to read is at most a few socket buffers: give it a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return ReadUsage(server);
  };
  ASSERT_EQ(round(40), 0) << recsrv->Describe();
  const ProcessUsage before = settled();
  ASSERT_EQ(round(160), 0) << recsrv->Describe();
  const ProcessUsage after = settled();
  for (auto& p : played) p->Close();
  ASSERT_EQ(recsrv->Stop(), 0) << recsrv->Describe();

  // 200 frames of 24 KB from each: a server that kept anything per frame would have grown by
  // tens of megabytes.
  if (!kSanitized) {
    EXPECT_LE(after.rss_kb, before.rss_kb + std::max<int64_t>(8 * 1024, before.rss_kb / 4))
        << "before: " << DescribeUsage(before) << "\nafter: " << DescribeUsage(after);
  }
  EXPECT_LE(after.threads, before.threads);

  const std::string index = test::ReadFile(Sub("recsrv/rec/index.json"));
  SCOPED_TRACE(index);
  EXPECT_EQ(JsonNumber(index, "stray_frames", 0), 0);
  for (auto& p : played) {
    const std::string session = IndexEntry(index, p->session_id());
    ASSERT_FALSE(session.empty()) << p->session_id();
    const size_t at = index.find("\"id\": \"" + p->session_id() + "-G");
    ASSERT_NE(at, std::string::npos) << p->session_id();
    const int64_t sent = static_cast<int64_t>(p->sent());
    EXPECT_EQ(JsonNumber(index, "frames", at), sent) << p->session_id();
    EXPECT_EQ(JsonNumber(index, "bytes", at), sent * PlayedWorkstation::kFrameBytes);
    EXPECT_EQ(JsonNumber(index, "digests_checked", at), sent);
    EXPECT_EQ(JsonNumber(index, "digest_failures", at), 0);
    EXPECT_EQ(JsonNumber(index, "enciphered_frames", at), sent);
    EXPECT_EQ(JsonNumber(index, "frames_written", at), sent);
  }
}

// ---- Configurator links that churn and flood

// The length of the churn run in seconds: 120, or VORLA_FAULT_CHURN_SECONDS for shorter local
// runs.
int ChurnSeconds() {
  const char* v = std::getenv("VORLA_FAULT_CHURN_SECONDS");
  const int seconds = v != nullptr ? std::atoi(v) : 0;
  return seconds > 0 ? seconds : 120;
}

// The smallest thread and descriptor counts and resident size of a few samples: one link that is
// being set up or torn down at the moment of a sample does not count.
ProcessUsage QuietUsage(pid_t pid) {
  ProcessUsage least = ReadUsage(pid);
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const ProcessUsage u = ReadUsage(pid);
    least.threads = std::min(least.threads, u.threads);
    least.rss_kb = std::min(least.rss_kb, u.rss_kb);
    least.fds = std::min(least.fds, u.fds);
  }
  return least;
}

// A configuration message from the JSON texts the harness writes.
netw_message_t ConfigMessage(const std::string& settings_path, const std::string& rules_path) {
  cfgsim::ConfigParts parts;
  std::string error;
  WorkstationSettings settings;
  RuleSet rules;
  netw_message_t m;
  EXPECT_TRUE(cfgsim::ReadSettingsFile(settings_path, settings, error)) << error;
  EXPECT_TRUE(cfgsim::ReadRulesFile(rules_path, rules, error)) << error;
  parts.settings = settings;
  parts.rules = std::move(rules);
  EXPECT_TRUE(cfgsim::BuildConfigMessage(parts, m, error)) << error;
  return m;
}

// While the workstation records: the primary Configurator (played here) floods it with
// capability requests and reads the answers; the secondary one (high availability) takes each
// link the workstation dials and drops it a second later; and a local client opens and drops
// HTTP connections twenty times a second. The workstation dials, so it sets the pace of the churn:
// one new secondary link 10 s after each drop. The churning peer is the secondary because losing
// the primary closes the session by design. Afterwards the program holds no more threads or
// descriptors than before and about the same memory, and the recording server saw one segment
// whose frames kept coming.
TEST_F(VorlaWSFaults, ChurningAndFloodingConfiguratorsLeakNothingAndRecordingGoesOn) {
  ASSERT_TRUE(SecurityServer::Instance().Initialize());
  SecurityServer_v2::Instance();
  recsrv_ = Recsrv("recsrv", "127.0.0.1", 0, {"--password", "secret", "--frame-lines"});
  ASSERT_TRUE(recsrv_->ok()) << recsrv_->Describe();
  test::TestPeer primary;
  ASSERT_TRUE(primary.listening());
  auto secondary = std::make_unique<test::TestPeer>(0x0200007F /* 127.0.0.2 */, primary.port());
  ASSERT_TRUE(secondary->listening()) << "no listener on 127.0.0.2:" << primary.port();
  Wiring w;
  w.recording_port = recsrv_->port();
  w.config_port = primary.port();
  w.broadcast_port = FreePort(SOCK_DGRAM);
  Wiring pushed = w;
  pushed.password = "secret";
  pushed.secondary_config = "127.0.0.2";
  pushed.flags = 0x100;  // high availability: the secondary link is kept up
  const netw_message_t config = ConfigMessage(File("settings.json", SettingsJson(pushed)),
                                              File("rules.json", RuleFile({AllDayRule("a")})));
  ws_ = NewWorkstation("ws");
  ws_->WriteIni(w);
  const std::string http_port = ws_->Ini("HTTPPort").value_or("0");
  ws_->Start(display_);
  auto describe = [&] { return recsrv_->Describe() + ws_->Describe(); };

  ASSERT_TRUE(primary.Handshake(15000)) << describe();
  ASSERT_TRUE(primary.Send(config, true));
  ASSERT_TRUE(recsrv_->WaitFor(" opened, writing ", 15000)) << describe();
  ASSERT_TRUE(recsrv_->WaitFor("frame ", 10000, 2)) << describe();

  const auto end = SteadyClock::now() + std::chrono::seconds(ChurnSeconds());
  std::atomic<bool> stop{false};
  std::atomic<int> requests{0}, answers{0}, cycles{0}, http_connections{0};
  std::atomic<bool> flood_failed{false};
  // The loads stop and are joined however the test ends.
  struct Loads {
    std::atomic<bool>& stop;
    std::vector<std::thread> threads;
    ~Loads() { Join(); }
    void Join() {
      stop = true;
      for (auto& t : threads)
        if (t.joinable()) t.join();
    }
  } loads{stop, {}};
  // Batches of requests just below the bound of the workstation's incoming queue (beyond it
  // messages are dropped, and said so), each followed by its answers or a quiet second and a half.
  loads.threads.emplace_back([&] {
    constexpr int kBatch = static_cast<int>(kLinkQueueLimit) - 10;
    while (!stop.load()) {
      for (int i = 0; i < kBatch; ++i, ++requests)
        if (!primary.Send(MakeNetwMessage(nwmt_cfg_capabilities), true)) {
          flood_failed = true;
          return;
        }
      for (int got = 0; got < kBatch;) {
        netw_header header;
        const auto m = primary.Read(1500, &header);
        if (!m) {
          if (header.type == 0 && header.length1 == 0) break;  // quiet: the rest was dropped
          flood_failed = true;
          return;
        }
        if (m->header.type == nwmt_cfg_capabilities) {
          ++got;
          ++answers;
        }
      }
    }
  });
  loads.threads.emplace_back([&] {
    while (!stop.load() && SteadyClock::now() < end) {
      if (!secondary->Handshake(1000)) continue;
      // Whatever the workstation sends in its second is read and dropped with the link.
      const auto held = SteadyClock::now();
      while (MsSince(held) < 1000 && secondary->Read(200)) {
      }
      secondary->Close();
      ++cycles;
    }
  });
  loads.threads.emplace_back([&] {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(http_port)));
    while (!stop.load()) {
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) ++http_connections;
      close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });

  // The baseline once every kind of link has come and gone at least once.
  const pid_t pid = ws_->pid();
  ASSERT_TRUE(WaitUntil([&] { return cycles.load() >= 1 && answers.load() >= 100; }, 30000))
      << describe();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const ProcessUsage before = QuietUsage(pid);

  // Frames keep coming throughout: every 10 s some more.
  bool frames_flowed = true;
  size_t frames = recsrv_->Count("frame ");
  while (SteadyClock::now() < end) {
    std::this_thread::sleep_for(
        std::min<SteadyClock::duration>(std::chrono::seconds(10), end - SteadyClock::now()));
    const size_t now = recsrv_->Count("frame ");
    if (now <= frames) frames_flowed = false;
    frames = now;
  }
  loads.Join();
  // No secondary Configurator any more: the workstation's next dial is refused.
  secondary.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const ProcessUsage after = QuietUsage(pid);
  const std::string usage = "before: " + DescribeUsage(before) + "\nafter: " + DescribeUsage(after);

  EXPECT_FALSE(flood_failed.load()) << describe();
  EXPECT_TRUE(frames_flowed) << describe();
  // One new secondary link every 10 s or so, after the first 10 s.
  EXPECT_GE(cycles.load(), std::max(1, ChurnSeconds() / 15)) << describe();
  EXPECT_GE(ws_->Count("Cfg connection to SECONDARY 127.0.0.2 is UP."),
            static_cast<size_t>(cycles.load()));
  EXPECT_GT(http_connections.load(), 10);
  EXPECT_LE(after.threads, before.threads) << usage;
  EXPECT_LE(after.fds, before.fds) << usage;
  if (!kSanitized) {
    EXPECT_LE(after.rss_kb, before.rss_kb + std::max<int64_t>(8 * 1024, before.rss_kb / 4))
        << usage;
  }
  EXPECT_GT(answers.load(), 100);
  RecordProperty("usage", usage + "; " + std::to_string(requests.load()) +
                              " capability requests, " + std::to_string(answers.load()) +
                              " answers, " + std::to_string(cycles.load()) + " secondary links, " +
                              std::to_string(http_connections.load()) + " HTTP connections");

  EXPECT_TRUE(ws_->Running());
  EXPECT_EQ(ws_->Stop(), 0) << describe();
  EXPECT_TRUE(ws_->Dumps().empty());
  EXPECT_EQ(recsrv_->Count(" opened, writing "), 1u) << recsrv_->Out();
  const std::vector<std::string> lines = ToolLines(recsrv_->Out());
  EXPECT_EQ(SumFrames(lines, 0, lines.size()).not_ok, 0u);
  EXPECT_EQ(recsrv_->Count(" closed: "), 1u) << "only the stop closed the segment";
}

}  // namespace
}  // namespace vorla
