// The Linux host: /proc for the program file, resources and processes, getaddrinfo for names,
// the password database for accounts, logind's session files for the session.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <map>

#include "common/text.h"
#include "platform/posix/host_posix.h"

namespace vorla::platform {
namespace {

// Reads a small text file (a /proc or /run entry) whole; `dir_fd` anchors a relative path.
bool ReadSmallFile(const std::string& path, std::string& out, int dir_fd = AT_FDCWD) {
  const int fd = openat(dir_fd, path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buf[4096];
  bool ok = true;
  while (text.size() < (1u << 20)) {
    const ssize_t r = read(fd, buf, sizeof(buf));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) ok = false;
    if (r <= 0) break;
    text.append(buf, static_cast<size_t>(r));
  }
  close(fd);
  if (ok) out = std::move(text);
  return ok;
}

bool ReadLink(const std::string& path, std::string& out) {
  std::string buf(256, '\0');
  while (buf.size() <= (1u << 16)) {
    const ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      out = std::move(buf);
      return true;
    }
    buf.resize(buf.size() * 2);
  }
  return false;
}

bool ParseU64(std::string_view s, uint64_t& v) {
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && !s.empty();
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// The number in front of the unit of a "Key:   1234 kB" line of a /proc status file.
bool FindKilobytes(std::string_view text, std::string_view key, uint64_t& kb) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = std::min(text.find('\n', pos), text.size());
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ':')
      continue;
    line = Trim(line.substr(key.size() + 1));
    if (line.size() >= 3 && line.substr(line.size() - 3) == " kB")
      line = Trim(line.substr(0, line.size() - 3));
    return ParseU64(line, kb);
  }
  return false;
}

uint32_t ClampU32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

// Descriptors of this process, not counting the one that lists them.
uint32_t CountOwnDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return 0;
  const int own = dirfd(dir);
  uint32_t n = 0;
  while (const dirent* e = readdir(dir)) {
    uint64_t fd = 0;
    if (ParseU64(e->d_name, fd) && fd != static_cast<uint64_t>(own)) ++n;
  }
  closedir(dir);
  return n;
}

bool LookupAccount(uint32_t uid, std::u16string& name) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 1024);
  for (;;) {
    passwd pw{};
    passwd* result = nullptr;
    const int rc = getpwuid_r(uid, &pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr || pw.pw_name == nullptr || pw.pw_name[0] == '\0')
      return false;
    name = FromUtf8(pw.pw_name);
    return true;
  }
}

int HandleToFd(ProcessHandle h) {
  if (h == kNullProcessHandle || h == kInvalidProcessHandle ||
      h > static_cast<ProcessHandle>(INT32_MAX))
    return -1;
  return static_cast<int>(h - 1);
}

class PosixHostSystem final : public HostSystem {
 public:
  bool ModuleFilePath(std::u16string& path) override {
    std::string p;
    if (!ReadLink("/proc/self/exe", p) || p.empty()) return false;
    path = FromUtf8(p);
    return true;
  }

  bool ReadFileVersion(const std::u16string& path, FileVersion& version) override {
    return ReadElfVersionNote(ToUtf8(path), version);
  }

  bool ResolveIPv4Stream(const std::string& host, const std::string& service,
                         std::vector<ResolvedAddress>& out) override {
    if (host.find('\0') != std::string::npos || service.find('\0') != std::string::npos)
      return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return false;
    std::vector<ResolvedAddress> entries;
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
      ResolvedAddress a;
      if (ai->ai_family == AF_INET && ai->ai_addr && ai->ai_addrlen >= sizeof(sockaddr_in)) {
        a.is_ipv4 = true;
        a.ipv4 = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
      }
      entries.push_back(a);
    }
    freeaddrinfo(list);
    out = std::move(entries);
    return true;
  }

  // The canonical name the resolver gives the host name, as `hostname -f` finds it.
  bool FullyQualifiedName(std::u16string& name) override {
    std::string host;
    if (!HostName(host)) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return false;
    const bool ok = list && list->ai_canonname && list->ai_canonname[0] != '\0';
    if (ok) name = FromUtf8(list->ai_canonname);
    freeaddrinfo(list);
    return ok;
  }

  bool HostName(std::string& name) override {
    char buf[256] = {};
    if (gethostname(buf, sizeof(buf) - 1) != 0 || buf[0] == '\0') return false;
    name = buf;
    return true;
  }

  ResourceUsage ReadResourceUsage() override {
    ResourceUsage u;
    u.process_handles = CountOwnDescriptors();
    std::string text;
    uint64_t kb = 0;
    if (ReadSmallFile("/proc/self/status", text) && FindKilobytes(text, "VmRSS", kb))
      u.process_working_set = kb * 1024;
    if (ReadSmallFile("/proc/meminfo", text)) {
      if (FindKilobytes(text, "MemTotal", kb)) u.physical_total = kb * 1024;
      if (FindKilobytes(text, "MemAvailable", kb)) u.physical_available = kb * 1024;
    }
    // "allocated unused max": the first field is the file handles in use.
    uint64_t v = 0;
    if (ReadSmallFile("/proc/sys/fs/file-nr", text)) {
      const std::string_view t = Trim(text);
      if (ParseU64(t.substr(0, t.find_first_of(" \t")), v)) u.system_handles = ClampU32(v);
    }
    // "0.27 0.09 0.03 3/124 4410": the fourth field is runnable/total scheduling entities,
    // i.e. threads.
    if (ReadSmallFile("/proc/loadavg", text)) {
      const size_t slash = text.find('/');
      if (slash != std::string::npos) {
        const size_t end = text.find(' ', slash);
        if (ParseU64(std::string_view(text).substr(
                         slash + 1, end == std::string::npos ? std::string::npos : end - slash - 1),
                     v))
          u.system_threads = ClampU32(v);
      }
    }
    return u;
  }

  bool SnapshotProcesses(std::vector<ProcessEntry>& out) override {
    DIR* dir = opendir("/proc");
    if (!dir) return false;
    std::vector<uint32_t> pids;
    while (const dirent* e = readdir(dir)) {
      uint64_t pid = 0;
      if (ParseU64(e->d_name, pid) && pid <= UINT32_MAX) pids.push_back(static_cast<uint32_t>(pid));
    }
    closedir(dir);
    std::sort(pids.begin(), pids.end());
    std::vector<ProcessEntry> entries;
    for (uint32_t pid : pids) {
      const std::string base = "/proc/" + std::to_string(pid);
      std::string name;
      if (ReadLink(base + "/exe", name)) {
        // A program file replaced while running (an upgrade) still names the process.
        constexpr std::string_view kDeleted = " (deleted)";
        if (name.size() > kDeleted.size() && name.ends_with(kDeleted))
          name.resize(name.size() - kDeleted.size());
        name = name.substr(name.rfind('/') + 1);
      } else if (ReadSmallFile(base + "/comm", name)) {
        name = std::string(Trim(name));
      } else {
        continue;  // gone meanwhile
      }
      if (!name.empty()) entries.push_back({pid, FromUtf8(name)});
    }
    out = std::move(entries);
    return true;
  }

  std::vector<std::u16string> DesktopShellNames() override {
    const char* list = std::getenv("VORLA_SHELL_NAMES");
    return list ? ParseShellNames(list) : DefaultShellNames();
  }

  // The handle is a descriptor of the process's /proc directory: queries through it reach that
  // very process even if its pid is reused later.
  ProcessHandle OpenProcessForQuery(uint32_t pid) override {
    const std::string path = "/proc/" + std::to_string(pid);
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? kNullProcessHandle : static_cast<ProcessHandle>(fd) + 1;
  }

  // The real user id: the user who started the process, whatever it may have switched to.
  bool ProcessUserId(ProcessHandle process, uint32_t& uid) override {
    const int fd = HandleToFd(process);
    std::string text;
    if (fd < 0 || !ReadSmallFile("status", text, fd)) return false;
    const size_t pos = text.find("\nUid:");
    if (pos == std::string::npos) return false;
    std::string_view rest = Trim(std::string_view(text).substr(pos + 5));
    rest = rest.substr(0, rest.find_first_of(" \t\n"));
    uint64_t v = 0;
    if (!ParseU64(rest, v) || v > UINT32_MAX) return false;
    uid = static_cast<uint32_t>(v);
    return true;
  }

  void CloseProcess(ProcessHandle process) override {
    const int fd = HandleToFd(process);
    if (fd >= 0) close(fd);
  }

  bool AccountName(uint32_t uid, std::u16string& name) override { return LookupAccount(uid, name); }

  // Linux accounts have no user principal name.
  bool UserPrincipalName(std::u16string&) override { return false; }

  bool CurrentUserName(std::u16string& name) override { return LookupAccount(geteuid(), name); }
};

// ---- logind sessions ----

// The id of the first "session-<id>.scope" in the cgroup paths; empty when there is none.
std::string SessionIdFromCgroup(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = std::min(text.find('\n', pos), text.size());
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    // "hierarchy-id:controllers:path"
    const size_t c1 = line.find(':');
    const size_t c2 = c1 == std::string_view::npos ? c1 : line.find(':', c1 + 1);
    if (c2 == std::string_view::npos) continue;
    std::string_view path = line.substr(c2 + 1);
    while (!path.empty()) {
      const size_t slash = path.find('/');
      const std::string_view part = path.substr(0, slash);
      path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
      constexpr std::string_view kPrefix = "session-", kSuffix = ".scope";
      if (part.size() > kPrefix.size() + kSuffix.size() && part.starts_with(kPrefix) &&
          part.ends_with(kSuffix)) {
        const std::string_view id =
            part.substr(kPrefix.size(), part.size() - kPrefix.size() - kSuffix.size());
        if (id.find_first_of("./") == std::string_view::npos) return std::string(id);
      }
    }
  }
  return {};
}

std::map<std::string, std::string> ParseKeyValues(std::string_view text) {
  std::map<std::string, std::string> keys;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = std::min(text.find('\n', pos), text.size());
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string_view::npos || eq == 0) continue;
    keys[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
  }
  return keys;
}

class LogindSessionQueries final : public SessionQueries {
 public:
  LogindSessionQueries(std::string cgroup_file, std::string sessions_dir)
      : cgroup_file_(std::move(cgroup_file)), sessions_dir_(std::move(sessions_dir)) {}

  bool ClientProtocolType(uint16_t& type) override {
    Session s;
    if (!Load(s)) return false;
    type = s.present && Key(s, "REMOTE") == "1" ? kProtocolRemoteDesktop : kProtocolConsole;
    return true;
  }

  // logind's "active" is the session in the foreground of its seat (or a remote one in use);
  // "online" (logged in, in the background) and "closing" are as good as disconnected.
  bool ConnectState(uint32_t& state) override {
    Session s;
    if (!Load(s)) return false;
    if (!s.present) {
      state = kConnectStateActive;
      return true;
    }
    const std::string st = Key(s, "STATE");
    if (st == "active") {
      state = kConnectStateActive;
    } else if (st == "online" || st == "closing") {
      state = kConnectStateDisconnected;
    } else if (st.empty() && !Key(s, "ACTIVE").empty()) {
      state = Key(s, "ACTIVE") == "1" ? kConnectStateActive : kConnectStateDisconnected;
    } else {
      return false;
    }
    return true;
  }

  // Session ids are decimal numbers, except the "c<n>" ids logind gives sessions without an
  // audit id: those yield their digits.
  bool SessionId(uint32_t& id) override {
    Session s;
    if (!Load(s) || !s.present) return false;
    std::string_view digits = s.id;
    while (!digits.empty() && (digits.front() < '0' || digits.front() > '9'))
      digits.remove_prefix(1);
    uint64_t v = 0;
    if (!ParseU64(digits, v) || v > UINT32_MAX) return false;
    id = static_cast<uint32_t>(v);
    return true;
  }

  // Remote clients report no hardware id on Linux.
  bool ClientHardwareId(uint32_t& id) override {
    Session s;
    if (!Load(s)) return false;
    id = 0;
    return true;
  }

  bool ClientAddress(ClientAddressRecord& record) override {
    Session s;
    if (!Load(s) || !s.present) return false;
    const std::string host = Key(s, "REMOTE_HOST");
    if (host.empty()) return false;
    in_addr v4{};
    in6_addr v6{};
    uint8_t octets[4];
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
      const uint32_t a = ntohl(v4.s_addr);
      for (int i = 0; i < 4; ++i) octets[i] = static_cast<uint8_t>(a >> (24 - 8 * i));
    } else if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
      if (!IN6_IS_ADDR_V4MAPPED(&v6)) return false;  // no IPv4 address to report
      for (int i = 0; i < 4; ++i) octets[i] = v6.s6_addr[12 + i];
    } else {
      std::vector<ResolvedAddress> list;
      if (!SystemHost().ResolveIPv4Stream(host, "0", list)) return false;
      const auto it = std::find_if(list.begin(), list.end(),
                                   [](const ResolvedAddress& a) { return a.is_ipv4; });
      if (it == list.end()) return false;
      const uint32_t a = ntohl(it->ipv4);
      for (int i = 0; i < 4; ++i) octets[i] = static_cast<uint8_t>(a >> (24 - 8 * i));
    }
    ClientAddressRecord r;
    r.family = AF_INET;
    for (int i = 0; i < 4; ++i) r.address[2 + i] = octets[i];
    record = r;
    return true;
  }

  // The name the client is known by: its host name or address as logind recorded it; empty for
  // a local session.
  bool ClientName(std::u16string& name) override {
    Session s;
    if (!Load(s) || !s.present) return false;
    name = FromUtf8(Key(s, "REMOTE_HOST"));
    return true;
  }

  bool UserName(std::u16string& name) override {
    Session s;
    if (!Load(s) || !s.present) return false;
    std::string user = Key(s, "USER");
    if (user.empty()) user = Key(s, "NAME");
    if (!user.empty()) {
      name = FromUtf8(user);
      return true;
    }
    uint64_t uid = 0;
    return ParseU64(Key(s, "UID"), uid) && uid <= UINT32_MAX &&
           LookupAccount(static_cast<uint32_t>(uid), name);
  }

 private:
  struct Session {
    bool present = false;  // false: the process is in no logind session (the console)
    std::string id;
    std::map<std::string, std::string> keys;
  };

  // False when the process's cgroup cannot be read. A session whose file is missing (logind not
  // running, or gone) counts as no session.
  bool Load(Session& s) const {
    std::string text;
    if (!ReadSmallFile(cgroup_file_, text)) return false;
    s.id = SessionIdFromCgroup(text);
    if (s.id.empty()) return true;
    if (!ReadSmallFile(sessions_dir_ + "/" + s.id, text)) return true;
    s.keys = ParseKeyValues(text);
    s.present = true;
    return true;
  }

  static std::string Key(const Session& s, const std::string& key) {
    const auto it = s.keys.find(key);
    return it == s.keys.end() ? std::string() : it->second;
  }

  const std::string cgroup_file_;
  const std::string sessions_dir_;
};


}  // namespace

std::vector<std::u16string> DefaultShellNames() {
  return {u"gnome-shell",      u"plasmashell", u"xfce4-session", u"mate-session", u"cinnamon",
          u"cinnamon-session", u"lxsession",   u"lxqt-session",  u"budgie-wm",    u"enlightenment",
          u"openbox",          u"fluxbox",     u"icewm",         u"i3",           u"sway"};
}

std::vector<std::u16string> ParseShellNames(std::string_view list) {
  std::vector<std::u16string> names;
  while (true) {
    const size_t comma = list.find(',');
    const std::string_view name = Trim(list.substr(0, comma));
    if (!name.empty()) names.push_back(FromUtf8(name));
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return names;
}

std::unique_ptr<SessionQueries> CreateLogindSessionQueries(std::string cgroup_file,
                                                           std::string sessions_dir) {
  return std::make_unique<LogindSessionQueries>(std::move(cgroup_file), std::move(sessions_dir));
}

HostSystem& SystemHost() {
  static PosixHostSystem host;
  return host;
}

SessionQueries& SystemSessionQueries() {
  static LogindSessionQueries queries("/proc/self/cgroup", "/run/systemd/sessions");
  return queries;
}

}  // namespace vorla::platform
