#include "configurator.h"

#include <chrono>
#include <fstream>

#include "cfg_messages.h"
#include "common/byte_reader.h"
#include "common/text.h"
#include "config_files.h"
#include "live_frames.h"
#include "server_messages.h"
#include "tool_connection.h"
#include "tool_runtime.h"

namespace vorla::cfgsim {

using tools::ParseNumber;

// One workstation link.
class CfgConnection final : public tools::ToolConnection {
 public:
  CfgConnection(Configurator& cfg, uint32_t number, std::unique_ptr<platform::TcpSocket> s)
      : ToolConnection(
            number, std::move(s), [&cfg] { return cfg.stopping(); },
            [&cfg](const std::string& line) { cfg.Say(line); }),
        cfg_(cfg) {}

  // Sends and says so. Called on the command threads too.
  bool Send(const netw_message_t& m, const std::string& what) {
    const uint32_t r = link().Send(m);
    SayFromAnyThread(r != 0 ? "could not send " + what + " (error " + std::to_string(r) + ")"
                            : "sent " + what);
    return r == 0;
  }
  void Close() {
    Send(BuildClosingStatus(), "closing status");
    link().Drop();
  }

 private:
  void Handle(const netw_message_t& m) override;
  void OnSessionConfig(const netw_message_t& m);
  void OnLiveFrame(const netw_message_t& m);

  Configurator& cfg_;
};

void CfgConnection::Handle(const netw_message_t& m) {
  switch (m.header.type) {
    case nwmt_ws_register: {
      RegistrationRecord r;
      if (!recsrv::ReadRegistration(m, r) || r.presence == 0) {
        Chatter("malformed registration ignored");
        return;
      }
      Chatter(recsrv::DescribeRegistration(r));
      cfg_.NoteRegistration();
      return;
    }
    case nwmt_cfg_capabilities: {
      const auto line = DescribeCapabilities(m);
      Chatter(line ? *line : "malformed capability report ignored");
      return;
    }
    case nwmt_ws_status: {
      recsrv::WsStatus s;
      if (!recsrv::ReadWsStatus(m, s)) {
        Chatter("malformed workstation status ignored");
        return;
      }
      Chatter(recsrv::DescribeWsStatus(s));
      return;
    }
    case nwmt_live_frame: OnLiveFrame(m); return;
    case nwmt_cfg_sessionconfig: OnSessionConfig(m); return;
    case nwmt_cfg_trigger:
    case nwmt_cfg_blank:
    case nwmt_cfg_live: {
      const auto line = DescribeRequestAnswer(m);
      Chatter(line ? *line
                   : "malformed answer of type " + std::to_string(m.header.type) + " ignored");
      return;
    }
    default:
      Chatter("message of unknown type " + std::to_string(m.header.type) + " ignored (" +
              std::to_string(m.part1.size()) + " + " + std::to_string(m.part2.size()) + " bytes)");
  }
}

void CfgConnection::OnLiveFrame(const netw_message_t& m) {
  const auto d = ReadLiveFrameDescription(m);
  if (!d) {
    Chatter("malformed live frame ignored (" + std::to_string(m.part1.size()) +
            "-byte description)");
    return;
  }
  std::string line = DescribeLiveFrame(*d, m.part2.size());
  if (LiveFrameSaver* saver = cfg_.live_saver()) {
    std::string error;
    if (!IsJpegFrame(*d, m.part2.span())) {
      line += "; not saved: not a JPEG image";
    } else if (const auto file = saver->Save(number(), m.part2.span(), error)) {
      line += "; saved as " + *file;
    } else {
      line += "; not saved: " + error;
    }
  }
  Chatter(line);
}

void CfgConnection::OnSessionConfig(const netw_message_t& m) {
  std::u16string user;
  if (!ReadSessionConfigRequest(m, user)) {
    Chatter("malformed session configuration request ignored");
    return;
  }
  switch (cfg_.options().session_answer) {
    case SessionAnswer::kNone:
      Chatter("session configuration request for " + Shown(user) + " left unanswered");
      return;
    case SessionAnswer::kRefuse:
      Send(BuildSessionConfigRefusal(cfg_.options().refusal_word),
           "session configuration refusal for " + Shown(user));
      return;
    case SessionAnswer::kRules: break;
  }
  const RuleSet* rules = cfg_.SessionRules(user);
  const RuleSet empty;
  netw_message_t answer;
  if (!BuildSessionConfigAnswer(rules ? *rules : empty, answer)) {
    Chatter("the session rules for " + Shown(user) + " cannot be written; not answered");
    return;
  }
  Send(answer, "session configuration for " + Shown(user) + " (" +
                   std::to_string((rules ? *rules : empty).size()) + " rules)");
}

Configurator::Configurator(CfgsimOptions options, std::FILE* out)
    : options_(std::move(options)), out_(out) {
  if (!options_.save_live.empty())
    live_saver_ = std::make_unique<LiveFrameSaver>(options_.save_live);
}

Configurator::~Configurator() { Stop(); }

bool Configurator::Start(std::string& error) {
  for (const auto& [user, file] : options_.session_rules) {
    RuleSet rules;
    if (!ReadRulesFile(file, rules, error)) return false;
    session_rules_[FromUtf8(user)] = std::move(rules);
  }
  links_ = std::make_unique<tools::LinkHost<Configurator, CfgConnection>>(*this);
  if (!links_->Listen(options_.address, options_.port, error)) {
    links_.reset();
    return false;
  }
  Say("vorla-cfgsim: listening on " + options_.address + ":" + std::to_string(links_->port()));
  return true;
}

uint16_t Configurator::port() const { return links_ ? links_->port() : 0; }

void Configurator::Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(say_mutex_);
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

const RuleSet* Configurator::SessionRules(const std::u16string& user) const {
  auto it = session_rules_.find(user);
  if (it == session_rules_.end()) it = session_rules_.find(u"*");
  return it == session_rules_.end() ? nullptr : &it->second;
}

void Configurator::NoteRegistration() {
  std::lock_guard<std::mutex> lock(registered_mutex_);
  ++registrations_;
  registered_cv_.notify_all();
}

std::vector<std::shared_ptr<CfgConnection>> Configurator::Targets(uint32_t number) {
  return links_ ? links_->Links(number) : std::vector<std::shared_ptr<CfgConnection>>{};
}

void Configurator::Stop() {
  if (!links_ || stopping_.load()) return;
  for (auto& c : links_->Links()) c->Close();
  stopping_ = true;
  links_->Stop();
  links_.reset();
  Say("vorla-cfgsim: stopped");
}

namespace {

// Splits a command into words; double quotes group blanks ("a b"), \" and \\ inside them.
bool Words(const std::string& line, std::vector<std::string>& out, std::string& error) {
  std::string word;
  bool in_word = false, quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
        word += line[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == ' ' || c == '\t' || c == '\r') {
      if (in_word) out.push_back(word);
      word.clear();
      in_word = false;
    } else if (c == '"') {
      quoted = in_word = true;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quoted) {
    error = "a quoted value is not closed";
    return false;
  }
  if (in_word) out.push_back(word);
  return true;
}

bool HexBytes(const std::string& text, std::vector<uint8_t>& out) {
  if (text.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    uint64_t b = 0;
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !ParseNumber("0x" + text.substr(i, 2), 255, b))
      return false;
    out.push_back(static_cast<uint8_t>(b));
  }
  return true;
}

}  // namespace

bool Configurator::Execute(const std::string& command, std::string& error) {
  std::vector<std::string> w;
  if (!Words(command, w, error)) return false;
  if (w.empty() || w[0][0] == '#') return true;
  const std::string verb = w[0];
  uint32_t target = 0;
  size_t next = 1;
  if (w.size() > 1 && w[1][0] == '@') {
    uint64_t n = 0;
    if (!ParseNumber(w[1].substr(1), 0xFFFFFFFF, n) || n == 0) {
      error = "bad link number " + w[1];
      return false;
    }
    target = static_cast<uint32_t>(n);
    next = 2;
  }
  // key=value words after the fixed ones.
  std::map<std::string, std::string> values;
  std::vector<std::string> plain;
  for (size_t i = next; i < w.size(); ++i) {
    const size_t eq = w[i].find('=');
    if (eq == std::string::npos) {
      plain.push_back(w[i]);
    } else {
      values[w[i].substr(0, eq)] = w[i].substr(eq + 1);
    }
  }
  auto allow = [&](std::initializer_list<const char*> keys) {
    for (const auto& [k, v] : values) {
      bool known = false;
      for (const char* key : keys) known = known || k == key;
      if (!known) {
        error = verb + ": unknown value " + k + "=";
        return false;
      }
    }
    return true;
  };
  auto send = [&](const netw_message_t& m, const std::string& what) {
    auto targets = Targets(target);
    if (targets.empty()) {
      error = verb + ": no workstation link" + (target ? " #" + std::to_string(target) : "");
      return false;
    }
    bool ok = true;
    for (auto& c : targets) ok = c->Send(m, what) && ok;
    if (!ok) error = verb + ": a send failed";
    return ok;
  };

  if (verb == "wait") {
    uint64_t count = 1, ms = 10000;
    if ((plain.size() > 0 && !ParseNumber(plain[0], 1000000, count)) ||
        (plain.size() > 1 && !ParseNumber(plain[1], 3600000, ms)) || plain.size() > 2 || target) {
      error = "wait: wait [COUNT] [MS]";
      return false;
    }
    std::unique_lock<std::mutex> lock(registered_mutex_);
    if (!registered_cv_.wait_for(lock, std::chrono::milliseconds(ms),
                                 [&] { return registrations_ >= count; })) {
      error = "wait: " + std::to_string(registrations_) + " of " + std::to_string(count) +
              " workstations registered within " + std::to_string(ms) + " ms";
      return false;
    }
    return true;
  }
  if (verb == "sleep") {
    uint64_t ms = 0;
    if (plain.size() != 1 || !ParseNumber(plain[0], 3600000, ms)) {
      error = "sleep: sleep MS";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
  }
  if (verb == "config") {
    if (!plain.empty() || !allow({"text", "settings", "rules"})) {
      if (error.empty()) error = "config: config [@N] [text=T] [settings=FILE] [rules=FILE]";
      return false;
    }
    ConfigParts parts;
    std::string what = "configuration (";
    if (values.count("text")) {
      parts.text = FromUtf8(values["text"]);
      what += "text";
    }
    if (values.count("settings")) {
      WorkstationSettings s;
      if (!ReadSettingsFile(values["settings"], s, error)) return false;
      parts.settings = s;
      what += std::string(what.back() == '(' ? "" : ", ") + "settings";
    }
    if (values.count("rules")) {
      RuleSet r;
      if (!ReadRulesFile(values["rules"], r, error)) return false;
      what += std::string(what.back() == '(' ? "" : ", ") + std::to_string(r.size()) + " rules";
      parts.rules = std::move(r);
    }
    what += ")";
    netw_message_t m;
    if (!BuildConfigMessage(parts, m, error)) return false;
    return send(m, what);
  }
  if (verb == "agent-changed") {
    if (!plain.empty() || !values.empty()) {
      error = "agent-changed: agent-changed [@N]";
      return false;
    }
    return send(MakeNetwMessage(nwmt_cfg_agentchanged), "agent change");
  }
  if (verb == "trigger") {
    TriggerRequest t;
    bool have_mode = false;
    for (const auto& p : plain) {
      if (p == "start" || p == "stop") {
        t.start = p == "start";
        have_mode = true;
      } else if (p == "blank") {
        t.blank = true;
      } else if (p == "norecord") {
        t.with_record = false;
      } else {
        error = "trigger: unknown word " + p;
        return false;
      }
    }
    if (!have_mode) {
      error = "trigger: start or stop expected";
      return false;
    }
    if (!allow({"version", "value", "text", "event", "name", "data"})) return false;
    uint64_t n = 0;
    if (values.count("version")) {
      if (!ParseNumber(values["version"], 2, n)) {
        error = "trigger: version 0, 1 or 2";
        return false;
      }
      t.version = static_cast<uint32_t>(n);
    }
    if (values.count("value")) {
      if (!ParseNumber(values["value"], 0xFFFFFFFF, n)) {
        error = "trigger: value is a 32-bit number";
        return false;
      }
      t.value = static_cast<uint32_t>(n);
    }
    if (values.count("data") && !HexBytes(values["data"], t.data)) {
      error = "trigger: data is hexadecimal bytes";
      return false;
    }
    t.text = FromUtf8(values["text"]);
    t.event.event_id = FromUtf8(values["event"]);
    t.trigger_name = FromUtf8(values["name"]);
    return send(BuildTriggerRequest(t), std::string("trigger request ") +
                                            (t.start ? "START" : "STOP") +
                                            (t.start && t.blank ? "+BLANK" : ""));
  }
  if (verb == "blank") {
    if (plain.size() != 1 || (plain[0] != "on" && plain[0] != "off")) {
      error = "blank: blank [@N] on|off [text=T] [data=HEX]";
      return false;
    }
    if (!allow({"text", "data"})) return false;
    std::vector<uint8_t> data;
    if (values.count("data") && !HexBytes(values["data"], data)) {
      error = "blank: data is hexadecimal bytes";
      return false;
    }
    return send(BuildBlankRequest(plain[0] == "on", FromUtf8(values["text"]), data),
                "blanking request " + std::string(plain[0] == "on" ? "BLANK" : "UN-BLANK"));
  }
  if (verb == "live") {
    if (plain.size() != 1 || (plain[0] != "start" && plain[0] != "stop") || !values.empty()) {
      error = "live: live [@N] start|stop";
      return false;
    }
    return send(BuildLiveRequest(plain[0] == "start"),
                "live-view request " + std::string(plain[0] == "start" ? "START" : "STOP"));
  }
  if (verb == "close") {
    if (!plain.empty() || !values.empty()) {
      error = "close: close [@N]";
      return false;
    }
    auto targets = Targets(target);
    if (targets.empty()) {
      error = "close: no workstation link";
      return false;
    }
    for (auto& c : targets) c->Close();
    return true;
  }
  if (verb == "announce") {
    const size_t colon = plain.size() == 1 ? plain[0].rfind(':') : std::string::npos;
    const std::optional<uint32_t> to =
        colon == std::string::npos ? std::nullopt : tools::ParseIPv4(plain[0].substr(0, colon));
    uint64_t to_port = 0, kind = 0, cfg_port = port();
    if (!to || target || !ParseNumber(plain[0].substr(colon + 1), 65535, to_port) || to_port == 0) {
      error = "announce: announce ADDRESS:PORT [cfg=ADDR] [cfgport=P] [kind=K]";
      return false;
    }
    if (!allow({"cfg", "cfgport", "kind"})) return false;
    if ((values.count("cfgport") && !ParseNumber(values["cfgport"], 65535, cfg_port)) ||
        (values.count("kind") && !ParseNumber(values["kind"], 0xFFFFFFFF, kind))) {
      error = "announce: cfgport is a port, kind a 32-bit number";
      return false;
    }
    const std::string cfg = values.count("cfg") ? values["cfg"] : options_.address;
    const auto datagram = BuildAnnouncement(static_cast<uint32_t>(kind),
                                            static_cast<uint16_t>(cfg_port), FromUtf8(cfg));
    if (!datagram) {
      error = "announce: the address is too long for one datagram";
      return false;
    }
    auto udp = platform::UdpSocket::Create();
    if (!udp) {
      error = "announce: no UDP socket";
      return false;
    }
    udp->EnableBroadcast();
    const uint32_t r = udp->SendTo(*to, static_cast<uint16_t>(to_port), *datagram);
    if (r != 0) {
      error = "announce: send failed (error " + std::to_string(r) + ")";
      return false;
    }
    Say("announced " + cfg + ":" + std::to_string(cfg_port) + " to " + plain[0]);
    return true;
  }
  error = "unknown command " + verb;
  return false;
}

bool Configurator::RunScript(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = path + ": cannot be read";
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (stopping_) return true;
    if (!Execute(line, error)) {
      error = path + ": line " + std::to_string(number) + ": " + error;
      return false;
    }
  }
  return true;
}

}  // namespace vorla::cfgsim
