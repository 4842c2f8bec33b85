// The Linux host: the version-note reader on hand-built and real program files, and the real
// /proc, resolver, process and logind-file queries.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "common/text.h"
#include "platform/host.h"
#include "platform/posix/host_posix.h"
#include "support/temp_dir.h"

// The note the build put into this program (cmake/version_note.cpp.in), seen as raw bytes.
extern "C" const uint8_t vorla_version_note[36];

namespace vorla::platform {
namespace {

namespace fs = std::filesystem;

using TempDir = test::ScopedTempDir;

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
void WriteText(const std::string& path, const std::string& text) {
  WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}
std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::optional<FileVersion> VersionOf(const std::string& path) {
  FileVersion v{};
  if (!ReadElfVersionNote(path, v)) return std::nullopt;
  return v;
}

std::string OwnExePath() {
  std::u16string p;
  return SystemHost().ModuleFilePath(p) ? ToUtf8(p) : std::string();
}

// ---- version note: hand-built ELF files ----

struct Note {
  std::string name;  // bytes of the name, terminator included when wanted
  uint32_t type = 1;
  std::vector<uint8_t> desc;
  std::optional<uint32_t> desc_size;  // a lying size field
};

std::vector<uint8_t> VersionDesc(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  ByteWriter w;
  for (uint32_t v : {a, b, c, d}) w.U32(v);
  return w.Take();
}

void WriteNotes(ByteWriter& w, const std::vector<Note>& notes, size_t align) {
  auto pad = [&] {
    while (w.size() % align != 0) w.U8(0);
  };
  for (const Note& n : notes) {
    w.U32(static_cast<uint32_t>(n.name.size()));
    w.U32(n.desc_size.value_or(static_cast<uint32_t>(n.desc.size())));
    w.U32(n.type);
    w.Bytes(n.name.data(), n.name.size());
    pad();
    w.Bytes(n.desc.data(), n.desc.size());
    pad();
  }
}

struct ElfLayout {
  std::vector<Note> notes;
  uint32_t section_type = 7;  // SHT_NOTE
  uint64_t section_align = 4;
  uint8_t elf_class = 2;
  uint8_t data = 1;
  bool section_headers = true;          // else a PT_NOTE program header describes the notes
  std::optional<uint64_t> note_offset;  // a lying offset field
};

// A minimal ELF64 file: header, the notes, then either the section header table (null section
// plus one note section) or one program header.
std::vector<uint8_t> BuildElf(const ElfLayout& layout) {
  ByteWriter notes;
  WriteNotes(notes, layout.notes, layout.section_align == 8 ? 8 : 4);
  const uint64_t notes_offset = 64;
  const uint64_t table_offset = notes_offset + notes.size();

  ByteWriter w;
  const uint8_t ident[16] = {0x7F, 'E', 'L', 'F', layout.elf_class, layout.data, 1, 0};
  w.Bytes(ident, sizeof(ident));
  w.U16(2);   // ET_EXEC
  w.U16(62);  // x86-64
  w.U32(1);
  w.U64(0);                                          // entry
  w.U64(layout.section_headers ? 0 : table_offset);  // phoff
  w.U64(layout.section_headers ? table_offset : 0);  // shoff
  w.U32(0);
  w.U16(64);
  w.U16(56);                              // phentsize
  w.U16(layout.section_headers ? 0 : 1);  // phnum
  w.U16(64);                              // shentsize
  w.U16(layout.section_headers ? 2 : 0);  // shnum
  w.U16(0);
  const auto& nb = notes.bytes();
  w.Bytes(nb.data(), nb.size());
  const uint64_t offset = layout.note_offset.value_or(notes_offset);
  if (layout.section_headers) {
    for (int i = 0; i < 64; ++i) w.U8(0);  // section 0
    w.U32(0);                              // name
    w.U32(layout.section_type);
    w.U64(2);  // SHF_ALLOC
    w.U64(0);  // addr
    w.U64(offset);
    w.U64(nb.size());
    w.U32(0);
    w.U32(0);
    w.U64(layout.section_align);
    w.U64(0);
  } else {
    w.U32(4);  // PT_NOTE
    w.U32(4);  // PF_R
    w.U64(offset);
    w.U64(0);
    w.U64(0);
    w.U64(nb.size());
    w.U64(nb.size());
    w.U64(layout.section_align);
  }
  return w.Take();
}

const Note kGood{std::string("Vorla\0", 6), 1, VersionDesc(1, 2, 3, 4)};
// Odd name and descriptor sizes, so the walk has to pad both to reach the next note.
const Note kOther{std::string("Xy\0", 3), 1, {1, 2, 3, 4, 5}};

TEST(ElfVersionNoteTest, FindsTheNoteInHandBuiltFiles) {
  TempDir dir;
  struct Case {
    const char* name;
    ElfLayout layout;
  };
  const Case cases[] = {
      {"after another note", {{kOther, kGood}}},
      {"8-byte aligned note section", {{kOther, kGood}, 7, 8}},
      {"program headers only", {.notes = {kOther, kGood}, .section_headers = false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Sub("elf");
    WriteFile(path, BuildElf(c.layout));
    EXPECT_EQ(VersionOf(path), (FileVersion{1, 2, 3, 4}));
  }
}

TEST(ElfVersionNoteTest, RejectsFilesWithoutAValidNote) {
  TempDir dir;
  Note wrong_type = kGood;
  wrong_type.type = 2;
  Note wrong_owner = kGood;
  wrong_owner.name = std::string("Vorlb\0", 6);
  Note unterminated_owner = kGood;
  unterminated_owner.name = "Vorla";
  Note short_desc = kGood;
  short_desc.desc = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
  Note desc_past_end = kGood;
  desc_past_end.desc_size = 0x1000;
  struct Case {
    const char* name;
    ElfLayout layout;
  };
  const Case cases[] = {
      {"no notes", {{kOther}}},
      {"type 2", {{kOther, wrong_type}}},
      {"other owner", {{wrong_owner}}},
      {"owner without terminator", {{unterminated_owner}}},
      {"12-byte descriptor", {{short_desc}}},
      {"descriptor size past the section", {{desc_past_end}}},
      {"not a note section", {{kGood}, 1}},
      {"32-bit class", {.notes = {kGood}, .elf_class = 1}},
      {"big-endian", {.notes = {kGood}, .data = 2}},
      {"note offset past the end", {.notes = {kGood}, .note_offset = 1u << 20}},
      {"note offset wrapping", {.notes = {kGood}, .note_offset = ~uint64_t{0} - 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Sub("elf");
    WriteFile(path, BuildElf(c.layout));
    EXPECT_EQ(VersionOf(path), std::nullopt);
  }

  // Every truncation of a good file loses its section header table (or the note itself).
  const std::vector<uint8_t> good = BuildElf({{kOther, kGood}});
  for (size_t n = 0; n < good.size(); ++n) {
    WriteFile(dir.Sub("cut"), std::vector<uint8_t>(good.begin(), good.begin() + n));
    ASSERT_EQ(VersionOf(dir.Sub("cut")), std::nullopt) << n << " bytes";
  }
}

// ---- version note: real files ----

TEST(ElfVersionNoteTest, ReadsTheNoteOfThisProgram) {
  ByteReader r(vorla_version_note);
  uint32_t name_size = 0, desc_size = 0, type = 0;
  char owner[8] = {};
  FileVersion built{};
  r.U32(name_size);
  r.U32(desc_size);
  r.U32(type);
  r.Bytes(owner, sizeof(owner));
  for (auto& v : built) r.U32(v);
  ASSERT_FALSE(r.failed());
  ASSERT_EQ(name_size, 6u);
  ASSERT_EQ(desc_size, 16u);
  ASSERT_EQ(type, 1u);
  ASSERT_STREQ(owner, "Vorla");

  const std::string self = OwnExePath();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(VersionOf(self), built);
  FileVersion through_host{};
  ASSERT_TRUE(SystemHost().ReadFileVersion(FromUtf8(self), through_host));
  EXPECT_EQ(through_host, built);

  // Without its section headers the file still has the note in a note segment.
  TempDir dir;
  std::vector<uint8_t> bytes = ReadFile(self);
  ASSERT_GT(bytes.size(), 64u);
  std::fill(bytes.begin() + 0x28, bytes.begin() + 0x30, 0);  // e_shoff
  std::fill(bytes.begin() + 0x3C, bytes.begin() + 0x3E, 0);  // e_shnum
  WriteFile(dir.Sub("no-sections"), bytes);
  EXPECT_EQ(VersionOf(dir.Sub("no-sections")), built);
}

TEST(ElfVersionNoteTest, OtherFilesHaveNoVersion) {
  TempDir dir;
  const std::vector<uint8_t> self = ReadFile(OwnExePath());
  ASSERT_GT(self.size(), 4096u);
  WriteFile(dir.Sub("half"), std::vector<uint8_t>(self.begin(), self.begin() + self.size() / 2));
  WriteFile(dir.Sub("header"), std::vector<uint8_t>(self.begin(), self.begin() + 64));
  WriteFile(dir.Sub("empty"), {});
  std::vector<uint8_t> garbage(8192);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 7919 >> 3);
  WriteFile(dir.Sub("garbage"), garbage);
  // An ELF header whose tables point into the garbage.
  std::vector<uint8_t> fake_elf = garbage;
  std::copy(self.begin(), self.begin() + 64, fake_elf.begin());
  WriteFile(dir.Sub("elf-header-on-garbage"), fake_elf);

  for (const std::string& path :
       {std::string("/bin/true"), dir.Sub("half"), dir.Sub("header"), dir.Sub("empty"),
        dir.Sub("garbage"), dir.Sub("elf-header-on-garbage"), dir.Sub("missing"), dir.path()}) {
    SCOPED_TRACE(path);
    FileVersion v{9, 9, 9, 9};
    EXPECT_FALSE(SystemHost().ReadFileVersion(FromUtf8(path), v));
    EXPECT_EQ(v, (FileVersion{9, 9, 9, 9}));
  }
}

// ---- the rest of the host ----

TEST(PosixHostTest, ModuleFilePathIsThisProgram) {
  const std::string path = OwnExePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(fs::path(path).filename(), "vorla_platform_tests");
  struct stat a {
  }, b{};
  ASSERT_EQ(stat(path.c_str(), &a), 0);
  ASSERT_EQ(stat("/proc/self/exe", &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(a.st_dev, b.st_dev);
}

std::vector<std::vector<uint8_t>> ResolvedIPv4Bytes(const std::string& host) {
  std::vector<ResolvedAddress> list;
  std::vector<std::vector<uint8_t>> out;
  if (!SystemHost().ResolveIPv4Stream(host, "80", list)) return out;
  for (const auto& a : list) {
    if (!a.is_ipv4) continue;
    const auto* p = reinterpret_cast<const uint8_t*>(&a.ipv4);
    out.push_back({p[0], p[1], p[2], p[3]});
  }
  return out;
}

// Only loopback names and literal addresses: nothing leaves the machine.
TEST(PosixHostTest, ResolvesInNetworkOrder) {
  const auto dotted = ResolvedIPv4Bytes("10.1.2.3");
  ASSERT_FALSE(dotted.empty());
  EXPECT_EQ(dotted.front(), (std::vector<uint8_t>{10, 1, 2, 3}));
  const auto local = ResolvedIPv4Bytes("localhost");
  ASSERT_FALSE(local.empty());
  EXPECT_EQ(local.front(), (std::vector<uint8_t>{127, 0, 0, 1}));
  // An IPv6 literal has no IPv4 address.
  EXPECT_TRUE(ResolvedIPv4Bytes("::1").empty());
}

TEST(PosixHostTest, ResourceCountsArePlausible) {
  const ResourceUsage before = SystemHost().ReadResourceUsage();
  std::vector<int> fds;
  for (int i = 0; i < 5; ++i) fds.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const ResourceUsage u = SystemHost().ReadResourceUsage();
  for (int fd : fds) close(fd);

  EXPECT_GE(before.process_handles, 1u);
  EXPECT_EQ(u.process_handles, before.process_handles + 5);
  EXPECT_GT(u.process_working_set, 1u << 20);
  EXPECT_LT(u.process_working_set, u.physical_total);
  struct sysinfo si {};
  ASSERT_EQ(sysinfo(&si), 0);
  EXPECT_EQ(u.physical_total, uint64_t{si.totalram} * si.mem_unit);
  EXPECT_GT(u.physical_available, 0u);
  EXPECT_LE(u.physical_available, u.physical_total);
  EXPECT_GT(u.system_handles, 0u);
  EXPECT_GE(u.system_threads, 1u);
}

TEST(PosixHostTest, ShellNamesComeFromTheEnvironment) {
  const auto defaults = DefaultShellNames();
  EXPECT_NE(std::find(defaults.begin(), defaults.end(), u"openbox"), defaults.end());
  EXPECT_EQ(ParseShellNames(" a ,b,, c,"), (std::vector<std::u16string>{u"a", u"b", u"c"}));
  EXPECT_TRUE(ParseShellNames("").empty());

  {
    test::ScopedEnv env("VORLA_SHELL_NAMES", "sleep,my-shell");
    EXPECT_EQ(SystemHost().DesktopShellNames(),
              (std::vector<std::u16string>{u"sleep", u"my-shell"}));
  }
  test::ScopedEnv env("VORLA_SHELL_NAMES", std::nullopt);
  EXPECT_EQ(SystemHost().DesktopShellNames(), defaults);
}

// A child running a copy of sleep under a name of its own, so that no other process matches.
class NamedChild {
 public:
  NamedChild(const TempDir& dir, const std::string& name) : path_(dir.Sub(name)) {
    fs::copy_file("/bin/sleep", path_);
    fs::permissions(path_, fs::perms::owner_all);
    std::string arg0 = path_, arg1 = "30";
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    if (posix_spawn(&pid_, path_.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
  }
  ~NamedChild() { Stop(); }
  NamedChild(const NamedChild&) = delete;
  NamedChild& operator=(const NamedChild&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& path() const { return path_; }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  std::string path_;
  pid_t pid_ = -1;
};

// The exec may not have happened yet right after spawning: wait until the child shows its name.
std::optional<ProcessEntry> FindProcess(pid_t pid, const std::u16string& name,
                                        std::vector<ProcessEntry>& snapshot) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (!SystemHost().SnapshotProcesses(snapshot)) return std::nullopt;
    for (const auto& e : snapshot)
      if (e.pid == static_cast<uint32_t>(pid) && e.exe_name == name) return e;
    usleep(10000);
  }
  return std::nullopt;
}

TEST(PosixHostTest, ProcessScanAndQueries) {
  TempDir dir;
  const std::string name = "vorla-shell-" + std::to_string(getpid());
  NamedChild child(dir, name);
  ASSERT_GT(child.pid(), 0);
  // A program file deleted while running (as after an upgrade) still names its process.
  fs::remove(child.path());

  std::vector<ProcessEntry> snapshot;
  ASSERT_TRUE(FindProcess(child.pid(), FromUtf8(name), snapshot).has_value());
  EXPECT_TRUE(
      std::is_sorted(snapshot.begin(), snapshot.end(),
                     [](const ProcessEntry& a, const ProcessEntry& b) { return a.pid < b.pid; }));
  const auto self = std::find_if(snapshot.begin(), snapshot.end(), [](const ProcessEntry& e) {
    return e.pid == static_cast<uint32_t>(getpid());
  });
  ASSERT_NE(self, snapshot.end());
  EXPECT_EQ(self->exe_name, u"vorla_platform_tests");

  HostSystem& host = SystemHost();
  const ProcessHandle h = host.OpenProcessForQuery(static_cast<uint32_t>(child.pid()));
  ASSERT_NE(h, kNullProcessHandle);
  ASSERT_NE(h, kInvalidProcessHandle);
  uint32_t uid = 0;
  ASSERT_TRUE(host.ProcessUserId(h, uid));
  EXPECT_EQ(uid, getuid());
  std::u16string account, current;
  ASSERT_TRUE(host.AccountName(uid, account));
  ASSERT_TRUE(host.CurrentUserName(current));
  const passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(current, FromUtf8(pw->pw_name));
  EXPECT_EQ(account, current);

  // The handle names that process: once it is gone, queries through it fail.
  child.Stop();
  EXPECT_FALSE(host.ProcessUserId(h, uid));
  host.CloseProcess(h);

  EXPECT_EQ(host.OpenProcessForQuery(0x7FFFFFF0), kNullProcessHandle);  // above any pid_max
  EXPECT_FALSE(host.ProcessUserId(kNullProcessHandle, uid));
  EXPECT_FALSE(host.ProcessUserId(kInvalidProcessHandle, uid));
}

// ---- logind session files ----

class LogindFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(dir_.Sub("sessions")); }
  void Cgroup(const std::string& text) { WriteText(dir_.Sub("cgroup"), text); }
  void Session(const std::string& id, const std::string& text) {
    WriteText(dir_.Sub("sessions/" + id), text);
  }
  std::unique_ptr<SessionQueries> Queries() {
    return CreateLogindSessionQueries(dir_.Sub("cgroup"), dir_.Sub("sessions"));
  }
  TempDir dir_;
};

constexpr char kUserCgroup[] =
    "12:pids:/user.slice/user-1000.slice/session-7.scope\n"
    "0::/user.slice/user-1000.slice/session-7.scope\n";

TEST_F(LogindFilesTest, RemoteSession) {
  Cgroup(kUserCgroup);
  Session("7",
          "# This is private data. Do not parse.\nUID=1000\nUSER=alice\nACTIVE=1\nSTATE=active\n"
          "REMOTE=1\nTYPE=x11\nREMOTE_HOST=10.1.2.3\n");
  auto q = Queries();
  uint16_t protocol = 99;
  uint32_t state = 99, id = 99, hw = 99;
  ClientAddressRecord rec;
  std::u16string client, user;
  ASSERT_TRUE(q->ClientProtocolType(protocol));
  EXPECT_EQ(protocol, kProtocolRemoteDesktop);
  ASSERT_TRUE(q->ConnectState(state));
  EXPECT_EQ(state, kConnectStateActive);
  ASSERT_TRUE(q->SessionId(id));
  EXPECT_EQ(id, 7u);
  ASSERT_TRUE(q->ClientHardwareId(hw));
  EXPECT_EQ(hw, 0u);
  ASSERT_TRUE(q->ClientAddress(rec));
  EXPECT_EQ(rec.family, 2u);
  EXPECT_EQ(rec.address, (std::array<uint8_t, 20>{0, 0, 10, 1, 2, 3}));
  ASSERT_TRUE(q->ClientName(client));
  EXPECT_EQ(client, u"10.1.2.3");
  ASSERT_TRUE(q->UserName(user));
  EXPECT_EQ(user, u"alice");
}

TEST_F(LogindFilesTest, SessionStates) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<uint32_t> state;
  };
  const Case cases[] = {
      {"active", "STATE=active\nACTIVE=1\n", kConnectStateActive},
      {"online (in the background)", "STATE=online\nACTIVE=0\n", kConnectStateDisconnected},
      {"closing", "STATE=closing\n", kConnectStateDisconnected},
      {"no state, inactive", "ACTIVE=0\n", kConnectStateDisconnected},
      {"no state, active", "ACTIVE=1\n", kConnectStateActive},
      {"unknown state", "STATE=lingering\n", std::nullopt},
  };
  Cgroup(kUserCgroup);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session("7", c.text);
    uint32_t state = 99;
    const bool ok = Queries()->ConnectState(state);
    EXPECT_EQ(ok ? std::optional<uint32_t>(state) : std::nullopt, c.state);
    uint16_t protocol = 99;
    ASSERT_TRUE(Queries()->ClientProtocolType(protocol));
    EXPECT_EQ(protocol, kProtocolConsole);
  }
}

TEST_F(LogindFilesTest, OutsideAnySessionIsTheActiveConsole) {
  for (const char* cgroup : {"0::/\n1:name=systemd:/\n", "0::/system.slice/vorla.service\n",
                             kUserCgroup /* but no session file */}) {
    SCOPED_TRACE(cgroup);
    Cgroup(cgroup);
    auto q = Queries();
    uint16_t protocol = 99;
    uint32_t state = 99, id = 99;
    std::u16string text;
    ASSERT_TRUE(q->ClientProtocolType(protocol));
    EXPECT_EQ(protocol, kProtocolConsole);
    ASSERT_TRUE(q->ConnectState(state));
    EXPECT_EQ(state, kConnectStateActive);
    EXPECT_FALSE(q->SessionId(id));
    EXPECT_FALSE(q->UserName(text));
  }
  // Without a readable cgroup there is nothing to say about the session.
  fs::remove(dir_.Sub("cgroup"));
  uint16_t protocol = 99;
  EXPECT_FALSE(Queries()->ClientProtocolType(protocol));
}

TEST_F(LogindFilesTest, ClientAddressesIdsAndUsers) {
  Cgroup("0::/user.slice/user-0.slice/session-c3.scope\n");
  struct Case {
    const char* host;
    std::optional<std::array<uint8_t, 4>> octets;
  };
  const Case cases[] = {
      {"192.168.1.5", std::array<uint8_t, 4>{192, 168, 1, 5}},
      {"::ffff:192.168.1.5", std::array<uint8_t, 4>{192, 168, 1, 5}},
      {"fe80::1", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    Session("c3", std::string("STATE=active\nREMOTE=1\nUID=0\nREMOTE_HOST=") + c.host + "\n");
    ClientAddressRecord rec;
    const bool ok = Queries()->ClientAddress(rec);
    ASSERT_EQ(ok, c.octets.has_value());
    if (!ok) continue;
    EXPECT_EQ(rec.family, 2u);
    EXPECT_EQ(rec.address[0], 0);
    EXPECT_EQ(rec.address[1], 0);
    EXPECT_TRUE(std::equal(c.octets->begin(), c.octets->end(), rec.address.begin() + 2));
  }
  // "c3": a session without an audit id; no USER key: the account of UID.
  uint32_t id = 0;
  ASSERT_TRUE(Queries()->SessionId(id));
  EXPECT_EQ(id, 3u);
  std::u16string user;
  ASSERT_TRUE(Queries()->UserName(user));
  EXPECT_EQ(user, FromUtf8(getpwuid(0)->pw_name));
}

}  // namespace
}  // namespace vorla::platform
