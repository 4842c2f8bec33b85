// The host helpers over the fake host and session queries, plus a few runs on the real host
// (loopback and literal names only; nothing leaves the machine).
#include "common/host_identity.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "common/logging.h"
#include "common/text.h"
#include "platform/debug_output.h"
#include "platform/fake/fake_clock.h"
#include "platform/fake/fake_host.h"
#include "platform/fake/memory_event_log.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

using platform::ClientAddressRecord;
using platform::FakeHost;
using platform::FakeSessionQueries;
using platform::ProcessHandle;
using platform::ResolvedAddress;

ResolvedAddress V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  ResolvedAddress r;
  r.is_ipv4 = true;
  std::memcpy(&r.ipv4, bytes, 4);  // network order: first octet first in memory
  return r;
}
const ResolvedAddress kNotIPv4{};

class HostIdentityTest : public ::testing::Test {
 protected:
  FakeHost host_;
  FakeSessionQueries sessions_;
  platform::ScopedHostOverride override_{host_, sessions_};
};

TEST_F(HostIdentityTest, ModuleFilePathMustFitItsBuffer) {
  EXPECT_EQ(GetModuleFilePath(), u"");  // cannot be read
  const std::u16string fits = u"/" + std::u16string(258, u'a');
  host_.module_path = fits;
  EXPECT_EQ(GetModuleFilePath(), fits);
  host_.module_path = fits + u"b";  // 260 characters: no room for the terminator
  EXPECT_EQ(GetModuleFilePath(), u"");
}

TEST_F(HostIdentityTest, FileVersionNumbersAreAppended) {
  host_.versions[u"/opt/vorla/VorlaWS"] = {1, 0, 7, 65535};
  std::vector<int32_t> numbers{42};
  ASSERT_TRUE(GetFileVersionNumbers(u"/opt/vorla/VorlaWS", numbers));
  EXPECT_EQ(numbers, (std::vector<int32_t>{42, 1, 0, 7, 65535}));
  EXPECT_FALSE(GetFileVersionNumbers(u"/bin/other", numbers));
  EXPECT_EQ(numbers.size(), 5u);
  EXPECT_EQ(host_.version_paths,
            (std::vector<std::u16string>{u"/opt/vorla/VorlaWS", u"/bin/other"}));
}

TEST_F(HostIdentityTest, ResolveTakesTheFirstIPv4Entry) {
  host_.resolutions["mixed"] = {kNotIPv4, V4(10, 1, 2, 3), V4(10, 9, 9, 9)};
  host_.resolutions["v6only"] = {kNotIPv4, kNotIPv4};
  host_.resolutions["empty"] = {};
  host_.resolutions["h\xC3\xA9te"] = {V4(192, 168, 0, 1)};
  EXPECT_EQ(ResolveHostIPv4(u"mixed"), V4(10, 1, 2, 3).ipv4);
  EXPECT_EQ(ResolveHostIPv4(u"v6only"), 0u);
  EXPECT_EQ(ResolveHostIPv4(u"empty"), 0u);
  EXPECT_EQ(ResolveHostIPv4(u"unknown"), 0u);
  EXPECT_EQ(ResolveHostIPv4(u"h\u00E9te"), V4(192, 168, 0, 1).ipv4);
  for (const auto& [name, service] : host_.resolve_calls) EXPECT_EQ(service, "80") << name;
}

TEST(HostIdentityRealTest, ResolvesLiteralsAndLoopback) {
  const uint32_t a = ResolveHostIPv4(u"10.1.2.3");
  uint8_t bytes[4];
  std::memcpy(bytes, &a, 4);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), (std::vector<uint8_t>{10, 1, 2, 3}));
  EXPECT_EQ(FormatIPv4(ntohl(a)), u"10.1.2.3");
  EXPECT_EQ(ResolveHostIPv4(u"localhost"), htonl(INADDR_LOOPBACK));
  // An address with only an IPv6 form.
  EXPECT_EQ(ResolveHostIPv4(u"::1"), 0u);
}

TEST(HostIdentityFormatTest, FormatIPv4TakesHostOrder) {
  EXPECT_EQ(FormatIPv4(0x0A010203), u"10.1.2.3");
  EXPECT_EQ(FormatIPv4(0xFFFFFFFF), u"255.255.255.255");
  EXPECT_EQ(FormatIPv4(0), u"0.0.0.0");
  EXPECT_EQ(FormatIPv4(0xC0A80001), u"192.168.0.1");
}

class LocalIdentityTest : public HostIdentityTest {
 protected:
  void SetUp() override {
    ResetLoggingForTesting();
    platform::SetConsoleSinkForTesting([this](std::u16string_view t) { console_ += t; });
    host_.resolutions["ws1.example.test"] = {V4(10, 0, 0, 1)};
    host_.resolutions["ws1"] = {V4(10, 0, 0, 2)};
  }
  void TearDown() override {
    platform::SetConsoleSinkForTesting({});
    ResetLoggingForTesting();
  }
  platform::MemoryEventLog log_;
  platform::ScopedEventLogOverride log_override_{log_};
  std::u16string console_;
};

TEST_F(LocalIdentityTest, PrefersTheFullyQualifiedName) {
  struct Case {
    const char* name;
    std::optional<std::u16string> fqdn;
    std::optional<std::string> host_name;
    std::u16string expected_name;
    uint32_t expected_address;
  };
  const std::u16string longest_fqdn(255, u'x');
  const Case cases[] = {
      {"fqdn", u"ws1.example.test", "ws1", u"ws1.example.test", V4(10, 0, 0, 1).ipv4},
      {"fqdn fails", std::nullopt, "ws1", u"ws1", V4(10, 0, 0, 2).ipv4},
      {"fqdn too long", std::u16string(256, u'x'), "ws1", u"ws1", V4(10, 0, 0, 2).ipv4},
      {"longest fqdn, unresolvable", longest_fqdn, "ws1", longest_fqdn, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host_.fqdn = c.fqdn;
    host_.host_name = c.host_name;
    std::u16string name = u"old";
    uint32_t address = 0x12345678;
    GetLocalComputerIdentity(name, address);
    EXPECT_EQ(name, c.expected_name);
    EXPECT_EQ(address, c.expected_address);
  }
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(LocalIdentityTest, TotalFailureLogsAndChangesNothing) {
  for (const std::optional<std::string>& host_name :
       {std::optional<std::string>(), std::optional<std::string>(std::string(80, 'h'))}) {
    ResetLoggingForTesting();  // the repetition throttle would swallow the second record
    log_.clear();
    host_.fqdn.reset();
    host_.host_name = host_name;
    std::u16string name = u"old";
    uint32_t address = 0x12345678;
    GetLocalComputerIdentity(name, address);
    EXPECT_EQ(name, u"old");
    EXPECT_EQ(address, 0x12345678u);
    const auto records = log_.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].code, 0xC0000FA0u);
    EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_NE(records[0].text.find(u"Failed to extract local computer name"), std::u16string::npos);
  }
  EXPECT_NE(console_.find(u"Failed to extract local computer name"), std::u16string::npos);
}

// ---- event identifiers ----

uint8_t g_random_bytes[8];
std::atomic<bool> g_random_ok{true};
bool TestRandom(uint8_t* out, size_t n) {
  if (!g_random_ok || n != sizeof(g_random_bytes)) return false;
  std::memcpy(out, g_random_bytes, n);
  return true;
}

class EventIdTest : public ::testing::Test {
 protected:
  void TearDown() override { SetEventIdRandomSource(nullptr); }
  platform::FakeClock clock_;
  platform::ScopedClockOverride clock_override_{clock_};
};

const std::regex kEventIdPattern("EVT_[0-9a-f]{8}[0-9a-f]{6}");

TEST_F(EventIdTest, TimeAndLow24BitsOfTheRandomValue) {
  SetEventIdRandomSource(&TestRandom);
  g_random_ok = true;
  const uint8_t bytes[8] = {0xEF, 0xCD, 0xAB, 0x99, 0x88, 0x77, 0x66, 0x55};
  std::memcpy(g_random_bytes, bytes, 8);
  struct Case {
    int64_t seconds;
    const char16_t* expected;
  };
  for (const Case& c : {Case{0x5F5E1000, u"EVT_5f5e1000abcdef"},
                        Case{0x123456789, u"EVT_23456789abcdef"}, Case{7, u"EVT_00000007abcdef"}}) {
    clock_.SetSeconds(c.seconds);
    EXPECT_EQ(NewEventId(), c.expected);
  }
  const uint8_t small[8] = {0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  std::memcpy(g_random_bytes, small, 8);
  EXPECT_EQ(NewEventId(), u"EVT_00000007000001");
}

TEST_F(EventIdTest, WithoutARandomSourceThe15BitGeneratorServes) {
  clock_.SetSeconds(0x65000000);
  for (bool installed : {false, true}) {
    SCOPED_TRACE(installed ? "source fails" : "no source");
    if (installed) SetEventIdRandomSource(&TestRandom);
    g_random_ok = false;
    std::set<std::u16string> seen;
    for (int i = 0; i < 500; ++i) {
      const std::u16string id = NewEventId();
      ASSERT_EQ(id.size(), 18u);
      ASSERT_TRUE(std::regex_match(ToUtf8(id), kEventIdPattern)) << ToUtf8(id);
      EXPECT_EQ(id.substr(4, 8), u"65000000");
      EXPECT_LE(std::stoul(ToUtf8(id.substr(12)), nullptr, 16), 0x7FFFu);
      seen.insert(id);
    }
    EXPECT_GT(seen.size(), 100u);
  }
  g_random_ok = true;
}

TEST_F(EventIdTest, WellFormedFromManyThreads) {
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i)
        if (!std::regex_match(ToUtf8(NewEventId()), kEventIdPattern)) ++bad;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad, 0);
}

// ---- resource report ----

TEST_F(HostIdentityTest, ResourceReportText) {
  EXPECT_EQ(GetResourceReport(),
            u"Process:\n\tHandles = 0\n\tMem = 0kB\nSystem:\n\tMemTotal = 0MB\n\tMemAvailable = "
            u"0MB\n\tHandles = 0\n\tThreads = 0\n");
  host_.resources.process_handles = 57;
  host_.resources.process_working_set = (12345ull << 10) + 1023;
  host_.resources.physical_total = (24104ull << 20) + 5;
  host_.resources.physical_available = 23849ull << 20;
  host_.resources.system_handles = 502;
  host_.resources.system_threads = 124;
  EXPECT_EQ(GetResourceReport(),
            u"Process:\n\tHandles = 57\n\tMem = 12345kB\nSystem:\n\tMemTotal = 24104MB\n\t"
            u"MemAvailable = 23849MB\n\tHandles = 502\n\tThreads = 124\n");
}

TEST(HostIdentityRealTest, ResourceReportFromTheSystem) {
  const std::string report = ToUtf8(GetResourceReport());
  const std::regex pattern(
      "Process:\n\tHandles = (\\d+)\n\tMem = (\\d+)kB\nSystem:\n\tMemTotal = (\\d+)MB\n\t"
      "MemAvailable = (\\d+)MB\n\tHandles = (\\d+)\n\tThreads = (\\d+)\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(report, m, pattern)) << report;
  for (int i = 1; i <= 6; ++i) EXPECT_GT(std::stoull(m[i].str()), 0u) << i;
  EXPECT_LE(std::stoull(m[4].str()), std::stoull(m[3].str()));
}

// ---- remote session ----

// Readable in failure messages.
std::string Describe(const RemoteSessionInfo& i) {
  return "remote=" + std::to_string(i.is_remote) + " id=" + std::to_string(i.session_id) +
         " hw=" + std::to_string(i.client_hardware_id) + " name=" + ToUtf8(i.client_name) +
         " address=" + ToUtf8(i.client_address) + " user=" + ToUtf8(i.user_name) +
         " state=" + std::to_string(i.connect_state);
}

TEST_F(HostIdentityTest, RemoteSessionInfo) {
  RemoteSessionInfo prefilled;
  prefilled.is_remote = true;
  prefilled.session_id = 77;
  prefilled.client_hardware_id = 0;
  prefilled.client_name = u"old name";
  prefilled.client_address = u"old address";
  prefilled.user_name = u"old user";
  prefilled.connect_state = 9;

  struct Case {
    const char* name;
    std::function<void(FakeSessionQueries&)> script;
    RemoteSessionInfo start;
    bool result;
    std::function<void(RemoteSessionInfo&)> expect;  // applied to `start`
    std::vector<std::string> calls;
  };
  const std::vector<std::string> all = {"protocol", "state", "id",  "hardware",
                                        "address",  "name",  "user"};
  auto remote = [](FakeSessionQueries& q) {
    q.protocol_type = 2;
    q.connect_state = 0;
    q.session_id = 3;
    q.hardware_id = 0;
    q.address = FakeSessionQueries::IPv4Record(10, 1, 2, 3);
    q.client_name = u"laptop";
    q.user_name = u"bob";
  };
  auto remote_fields = [](RemoteSessionInfo& i) {
    i.is_remote = true;
    i.session_id = 3;
    i.connect_state = 0;
    i.client_address = u"10.1.2.3";
    i.client_name = u"laptop";
    i.user_name = u"bob";
  };
  const Case cases[] = {
      {"first query fails",
       [](FakeSessionQueries&) {},
       prefilled,
       false,
       [](RemoteSessionInfo&) {},
       {"protocol"}},
      {"active console",
       [](FakeSessionQueries& q) {
         q.protocol_type = 0;
         q.connect_state = 0;
         q.session_id = 1;
       },
       prefilled,
       false,
       [](RemoteSessionInfo& i) {
         i.is_remote = false;
         i.connect_state = 0;
       },
       {"protocol", "state"}},
      {"console whose state cannot be read counts as active",
       [](FakeSessionQueries& q) { q.protocol_type = 0; },
       prefilled,
       false,
       [](RemoteSessionInfo& i) {
         i.is_remote = false;
         i.connect_state = 0;
       },
       {"protocol", "state"}},
      {"disconnected console",
       [](FakeSessionQueries& q) {
         q.protocol_type = 0;
         q.connect_state = 4;
         q.session_id = 2;
         q.client_name = u"never read";
       },
       RemoteSessionInfo{},
       true,
       [](RemoteSessionInfo& i) {
         i.is_remote = true;
         i.session_id = 2;
         i.connect_state = 4;
       },
       {"protocol", "state", "id"}},
      {"remote without hardware id: substitute from the address record", remote,
       RemoteSessionInfo{}, true,
       [&](RemoteSessionInfo& i) {
         remote_fields(i);
         i.client_hardware_id = 0x010A0000;  // bytes 00 00 0a 01, little-endian
       },
       all},
      {"substitute includes the bytes ahead of the octets",
       [&](FakeSessionQueries& q) {
         remote(q);
         q.address->address[0] = 0x12;
         q.address->address[1] = 0x34;
       },
       RemoteSessionInfo{}, true,
       [&](RemoteSessionInfo& i) {
         remote_fields(i);
         i.client_hardware_id = 0x010A3412;
       },
       all},
      {"remote with hardware id",
       [&](FakeSessionQueries& q) {
         remote(q);
         q.hardware_id = 123456;
       },
       RemoteSessionInfo{}, true,
       [&](RemoteSessionInfo& i) {
         remote_fields(i);
         i.client_hardware_id = 123456;
       },
       all},
      {"remote whose state cannot be read counts as active",
       [&](FakeSessionQueries& q) {
         remote(q);
         q.connect_state.reset();
       },
       prefilled, true,
       [&](RemoteSessionInfo& i) {
         remote_fields(i);
         i.client_hardware_id = 0x010A0000;
       },
       all},
      {"failing queries after the first keep their fields",
       [](FakeSessionQueries& q) {
         q.protocol_type = 2;
         q.connect_state = 0;
       },
       prefilled, true,
       [](RemoteSessionInfo& i) {
         i.is_remote = true;
         i.connect_state = 0;
       },
       all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sessions_ = FakeSessionQueries{};
    c.script(sessions_);
    RemoteSessionInfo info = c.start;
    RemoteSessionInfo expected = c.start;
    c.expect(expected);
    EXPECT_EQ(GetRemoteSessionInfo(info), c.result);
    EXPECT_EQ(Describe(info), Describe(expected));
    EXPECT_EQ(info, expected);
    EXPECT_EQ(sessions_.calls, c.calls);
  }
}

// ---- shell process and logged-on user ----

TEST_F(HostIdentityTest, OpenShellProcessTakesTheFirstMatch) {
  host_.processes = {{1, u"systemd"}, {40, u"Xvfb"}, {57, u"OpenBox"}, {90, u"openbox"}};
  host_.shell_names = {u"gnome-shell", u"OPENBOX"};
  EXPECT_EQ(OpenShellProcess(), FakeHost::HandleFor(57));
  EXPECT_EQ(host_.opened_pids, std::vector<uint32_t>{57});

  host_.unopenable_pids = {57};
  EXPECT_EQ(OpenShellProcess(), platform::kNullProcessHandle);

  host_.shell_names = {u"plasmashell"};
  host_.opened_pids.clear();
  EXPECT_EQ(OpenShellProcess(), platform::kInvalidProcessHandle);
  host_.snapshot_fails = true;
  host_.shell_names = {u"openbox"};
  EXPECT_EQ(OpenShellProcess(), platform::kInvalidProcessHandle);
  EXPECT_TRUE(host_.opened_pids.empty());
}

TEST_F(HostIdentityTest, LoggedOnUserName) {
  struct Case {
    const char* name;
    bool use_upn;
    std::function<void(FakeHost&)> script;
    std::u16string expected;
    Status status;
  };
  // By default: a shell (pid 57, uid 1000 = alice) runs; the program's own account is "svc".
  auto with_shell = [](FakeHost& h) {
    h.processes = {{1, u"systemd"}, {57, u"openbox"}};
    h.shell_names = {u"openbox"};
    h.process_uids = {{57, 1000}};
    h.accounts = {{1000, u"alice"}};
    h.current_user = u"svc";
  };
  const Case cases[] = {
      {"principal name", true,
       [&](FakeHost& h) {
         with_shell(h);
         h.upn = u"alice@corp.test";
       },
       u"alice@corp.test", 0},
      {"principal name fails: own account, not the shell's", true, with_shell, u"svc", 0},
      {"principal name too long", true,
       [&](FakeHost& h) {
         with_shell(h);
         h.upn = std::u16string(256, u'u');
       },
       u"svc", 0},
      {"shell owner", false, with_shell, u"alice", 0},
      {"no shell runs: nobody logged on", false,
       [&](FakeHost& h) {
         with_shell(h);
         h.processes = {{1, u"systemd"}};
       },
       u"", 0},
      {"process list unreadable", false,
       [&](FakeHost& h) {
         with_shell(h);
         h.snapshot_fails = true;
       },
       u"", 0},
      {"shell cannot be opened", false,
       [&](FakeHost& h) {
         with_shell(h);
         h.unopenable_pids = {57};
       },
       u"svc", 0},
      {"shell owner unknown", false,
       [&](FakeHost& h) {
         with_shell(h);
         h.process_uids.clear();
       },
       u"svc", 0},
      {"owner has no account", false,
       [&](FakeHost& h) {
         with_shell(h);
         h.accounts.clear();
       },
       u"svc", 0},
      {"account name too long", false,
       [&](FakeHost& h) {
         with_shell(h);
         h.accounts[1000] = std::u16string(511, u'a');
       },
       u"svc", 0},
      {"longest account name", false,
       [&](FakeHost& h) {
         with_shell(h);
         h.accounts[1000] = std::u16string(510, u'a');
       },
       std::u16string(510, u'a'), 0},
      {"nothing works", false,
       [&](FakeHost& h) {
         with_shell(h);
         h.accounts.clear();
         h.current_user.reset();
       },
       u"", 5},
      {"nothing works, principal name", true,
       [&](FakeHost& h) {
         with_shell(h);
         h.current_user.reset();
       },
       u"", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host_ = FakeHost{};
    c.script(host_);
    std::u16string name = u"stale";
    EXPECT_EQ(GetLoggedOnUserName(name, c.use_upn), c.status);
    EXPECT_EQ(name, c.expected);
    EXPECT_TRUE(host_.open_handles.empty()) << "a process handle was left open";
    if (c.use_upn) {
      EXPECT_TRUE(host_.opened_pids.empty());
    }
  }
}

// The real process scan: a copy of sleep under a unique name stands in for the desktop shell.
TEST(HostIdentityRealTest, LoggedOnUserIsTheShellOwner) {
  test::ScopedTempDir dir;
  const std::string shell = "vorla-desk-" + std::to_string(getpid());
  test::ScopedEnv env("VORLA_SHELL_NAMES", "no-such-shell, " + shell);
  const passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  const std::u16string me = FromUtf8(pw->pw_name);

  std::u16string name = u"stale";
  EXPECT_EQ(GetLoggedOnUserName(name, false), 0u);
  EXPECT_EQ(name, u"");

  const std::string path = dir.Sub(shell);
  std::filesystem::copy_file("/bin/sleep", path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  test::ChildProgram child({path, "30"}, {}, dir.path());
  ASSERT_TRUE(child.started());
  // Until the child has exec'd, it still runs under this program's name.
  ProcessHandle h = platform::kInvalidProcessHandle;
  for (int i = 0; i < 200 && h == platform::kInvalidProcessHandle; ++i) {
    h = OpenShellProcess();
    if (h == platform::kInvalidProcessHandle) usleep(10000);
  }
  ASSERT_NE(h, platform::kInvalidProcessHandle);
  ASSERT_NE(h, platform::kNullProcessHandle);
  platform::GetHostSystem().CloseProcess(h);
  EXPECT_EQ(GetLoggedOnUserName(name, false), 0u);
  EXPECT_EQ(name, me);
  // Linux accounts have no principal name: the program's own account answers.
  name.clear();
  EXPECT_EQ(GetLoggedOnUserName(name, true), 0u);
  EXPECT_EQ(name, FromUtf8(getpwuid(geteuid())->pw_name));
  child.Signal(SIGKILL);
  child.Wait(5000);
}

}  // namespace
}  // namespace vorla
