// Writes the seed corpus of every fuzz target (tests/fuzz/corpus/<target>/) from the project's
// own writers, so that the binary seeds are valid records by construction. Not a fuzz target and
// not run by the tests: the files it writes are committed. Rerun it after a format change:
//   cmake --build build-fuzz --target vorla_fuzz_corpus && build-fuzz/bin/vorla_fuzz_corpus tests/fuzz/corpus
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_writer.h"
#include "config/workstation_settings.h"
#include "net/netw_message.h"
#include "net/server_records.h"
#include "rules/rule_actions.h"
#include "rules/rule_set.h"
#include "rules/trigger_input_app.h"
#include "rules/trigger_input_ext.h"
#include "rules/trigger_input_keyboard.h"
#include "rules/trigger_input_schedule.h"

namespace {

using namespace vorla;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

fs::path g_root;

void Put(const std::string& target, const std::string& name, const Bytes& bytes) {
  const fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream f(dir / name, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
void PutText(const std::string& target, const std::string& name, const std::string& text) {
  Put(target, name, Bytes(text.begin(), text.end()));
}
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Three rules holding every input type and every action type (as the rules' golden test).
RuleSet FullRules() {
  RuleList rules;
  {
    auto r = std::make_shared<TriggerRule>();
    r->name = u"R1";
    auto app = std::make_shared<TriggerInputApp>();
    app->name = u"W";
    app->class_text = u"Cls";
    app->title_text = u"Ed";
    app->show_state_mask = 2;
    app->focus_mask = 4;
    auto key = std::make_shared<TriggerInputKeyBoard>();
    key->name = u"K";
    key->start_key = 0x77;
    key->start_modifiers = 2;
    key->stop_key = 0x78;
    r->first_input = app;
    r->second_input = key;
    r->rule_operator = kRuleOperatorAnd;
    auto rec = std::make_shared<ActionRecord>();
    rec->width = 800;
    rec->height = 600;
    rec->images_per_second = 5;
    rec->codec_fourcc = kFourCcVp80;
    rec->quality = 80;
    rec->duration_seconds = 30;
    r->true_actions.push_back(rec);
    r->false_actions.push_back(std::make_shared<ActionStopRecord>());
    rules.push_back(r);
  }
  {
    auto r = std::make_shared<TriggerRule>();
    auto tim = std::make_shared<TriggerInputSchedule>();
    tim->start_hour = 8;
    tim->end_hour = 17;
    tim->end_minute = 30;
    r->first_input = tim;
    r->rule_operator = kRuleOperatorSingle;
    r->true_actions.push_back(std::make_shared<ActionBlank>());
    r->false_actions.push_back(std::make_shared<ActionUnBlank>());
    rules.push_back(r);
  }
  {
    auto r = std::make_shared<TriggerRule>();
    r->name = u"X";
    auto ex = std::make_shared<TriggerInputAppEx>();
    ex->start_title_text = u"A";
    ex->stop_title_text = u"B";
    r->first_input = ex;
    r->second_input = std::make_shared<TriggerInputExt>();
    r->rule_operator = kRuleOperatorAndNot;
    rules.push_back(r);
  }
  return RuleSet(std::move(rules));
}

RuleSet OneExtRule() {
  auto r = std::make_shared<TriggerRule>();
  r->name = u"E";
  r->first_input = std::make_shared<TriggerInputExt>();
  r->rule_operator = kRuleOperatorSingle;
  r->true_actions.push_back(std::make_shared<ActionRecord>());
  return RuleSet(RuleList{r});
}

Bytes RuleBytes(const RuleSet& s) {
  Bytes b;
  if (!s.Write(b)) std::abort();
  return b;
}

Bytes SettingsBytes(const WorkstationSettings& s) {
  ByteWriter w;
  s.Serialize(w);
  return w.Take();
}

Bytes Utf16z(std::u16string_view s) {
  ByteWriter w;
  w.Utf16z(s);
  return w.Take();
}

Bytes Frame(uint32_t type, const Bytes& part1, const Bytes& part2, uint16_t flags = 0) {
  netw_header h;
  h.type = type;
  h.length1 = static_cast<uint32_t>(part1.size());
  h.length2 = static_cast<uint32_t>(part2.size());
  h.time_stamp = 1600000000000;
  h.flags = flags;
  const auto head = NetwHeaderBytes(h);
  return Cat(Cat(Bytes(head.begin(), head.end()), part1), part2);
}

WorkstationSettings Settings(uint32_t version) {
  WorkstationSettings s;
  s.Version = version;
  s.SCServerIP = u"10.0.0.5";
  s.ConfigIP = u"10.0.0.6";
  s.CarriedText = u"carried";
  s.Flags = kFlagHttpCrossOrigin | kFlagDesktopIcon;
  s.EncryptionPassword = u"secret";
  s.BlankingText = u"Blanked";
  s.LostText = u"Lost";
  s.HTTPSSLCert = u"cert.pem";
  return s;
}

Bytes U32(uint32_t v) {
  ByteWriter w;
  w.U32(v);
  return w.Take();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];

  // rule_set_fuzz: a rule set on its own.
  Put("rule_set_fuzz", "full", RuleBytes(FullRules()));
  Put("rule_set_fuzz", "one_ext", RuleBytes(OneExtRule()));
  Put("rule_set_fuzz", "empty", RuleBytes(RuleSet()));
  Put("rule_set_fuzz", "negative_count", {0xFF, 0xFF, 0xFF, 0xFF});
  Put("rule_set_fuzz", "trailing_bytes", Cat(RuleBytes(OneExtRule()), Utf16z(u"A")));

  // workstation_settings_fuzz: records of every layout version.
  for (uint32_t v : {1u, 2u, 5u, 6u, 7u, 8u}) {
    Put("workstation_settings_fuzz", "version" + std::to_string(v), SettingsBytes(Settings(v)));
  }
  Put("workstation_settings_fuzz", "default", SettingsBytes(WorkstationSettings()));

  // controller_messages_fuzz: flag byte, then part 2 (text, settings, rules as flagged); the same
  // bytes are read as a session configuration answer and an announcement too.
  {
    const Bytes text = Utf16z(u"Hello");
    const Bytes settings = SettingsBytes(Settings(7));
    const Bytes rules = RuleBytes(FullRules());
    Put("controller_messages_fuzz", "config_all", Cat(Cat(Cat({0x07}, text), settings), rules));
    Put("controller_messages_fuzz", "config_rules", Cat({0x04}, RuleBytes(OneExtRule())));
    Put("controller_messages_fuzz", "config_settings", Cat({0x02}, settings));
    Put("controller_messages_fuzz", "config_text", Cat({0x01}, text));
    // Session configuration answer body: version, two strings, a 16-bit value, the rules.
    Put("controller_messages_fuzz", "session_config",
        Cat(Cat(Cat(Cat(U32(1), Utf16z(u"user")), Utf16z(u"")), {0x00, 0x00}),
            RuleBytes(OneExtRule())));
    // Announcement: kind, port, address.
    Put("controller_messages_fuzz", "announcement",
        Cat(Cat(U32(1), {0x8A, 0x11}), Utf16z(u"10.0.0.6")));
  }

  // net_frame_fuzz and broadcast_datagram_fuzz: unprotected frames.
  {
    const Bytes announce =
        Frame(nwmt_cfg_announce, {}, Cat(Cat(U32(1), {0x8A, 0x11}), Utf16z(u"10.0.0.6")));
    const Bytes config = Frame(nwmt_cfg_config, {0x04}, RuleBytes(OneExtRule()));
    const Bytes status = Frame(nwmt_status, Cat(U32(kStatusKindShutdown), U32(0)), {});
    const Bytes empty = Frame(nwmt_ws_disconnect, {}, {}, kNetwFlagFromWorkstation);
    for (const char* t : {"net_frame_fuzz", "broadcast_datagram_fuzz"}) {
      Put(t, "announce", announce);
      Put(t, "config_rules", config);
      Put(t, "status", status);
      Put(t, "header_only", empty);
    }
    Put("net_frame_fuzz", "two_frames", Cat(announce, status));
    Put("broadcast_datagram_fuzz", "trailing_bytes", Cat(announce, {0x00, 0x01}));
  }

  // server_records_fuzz: each record type, and an absent one.
  {
    RegistrationRecord reg;
    reg.workstation_name = u"WS-01";
    reg.workstation_address = 0x0500000A;
    SessionRecord ses;
    ses.session_id = u"SES_0001";
    ses.workstation_name = u"WS-01";
    ses.user_name = u"alice";
    ses.start_time = 1600000000000;
    ses.server_texts = {u"a", u"b"};
    SegmentRecord seg;
    seg.segment_id = u"SEG_0001";
    seg.frame_rate = 5;
    seg.width = 800;
    seg.height = 600;
    seg.codec_fcc = kFourCcVp80;
    EventRecord ev;
    ev.event_id = u"EVT_0001";
    ev.rule_reference = 1;
    auto put = [](const char* name, const auto& r) {
      ByteWriter w;
      WriteRecord(w, r);
      Put("server_records_fuzz", name, w.Take());
    };
    put("registration", reg);
    put("session", ses);
    put("segment", seg);
    put("event", ev);
    Put("server_records_fuzz", "absent", U32(0));
    FrameHeader fh;
    fh.capture_time = 1600000000000;
    fh.codec_fcc = kFourCcVp80;
    fh.quality = 80;
    const auto h = WriteFrameHeader(fh);
    Put("server_records_fuzz", "frame_header", Bytes(h.begin(), h.end()));
  }

  // http_requests_fuzz: byte 0 method (bits 0-2), CORS (bit 3), trigger result (bit 4); target
  // line; body.
  {
    const std::string start = R"({"Recording":{"Start":1,"Blank":0,"MetaData":"case 7"}})";
    const std::string stop = R"({"Recording":{"Start":0}})";
    Put("http_requests_fuzz", "ping", Cat({0x00}, Bytes{'/', 'W', 'o', 'r', 'k', 's', 't', 'a',
                                                        't', 'i', 'o', 'n', '/', 'P', 'i', 'n',
                                                        'g'}));
    auto post = [](uint8_t flags, const std::string& target, const std::string& body) {
      std::string s = target + "\n" + body;
      return Cat({flags}, Bytes(s.begin(), s.end()));
    };
    Put("http_requests_fuzz", "start", post(0x01, "/Workstation/RecordingControl", start));
    Put("http_requests_fuzz", "stop_cors", post(0x09, "/Workstation/RecordingControl", stop));
    Put("http_requests_fuzz", "start_fails",
        post(0x11, "http://localhost:4483/Workstation/RecordingControl", start));
    Put("http_requests_fuzz", "options", post(0x04, "/Workstation/Anything", ""));
    Put("http_requests_fuzz", "not_found", post(0x00, "/elsewhere", ""));
  }

  // ini_file_fuzz: settings files as the workstation keeps them.
  PutText("ini_file_fuzz", "settings.ini",
          "[Settings]\nSCServerIP=10.0.0.5\nRecordingPort=4488\n; a comment\nConfigIP = 10.0.0.6 "
          "\n\n[Other]\nKey=value\n");
  PutText("ini_file_fuzz", "crlf_bom.ini", "\xEF\xBB\xBF[settings]\r\nHTTPPort=-4483\r\nName=\xC3\xA9t\xC3\xA9\r\n");
  PutText("ini_file_fuzz", "duplicates.ini", "[A]\nk=1\nk=2\n[a]\nk=3\n[B]\n  x\t=\t+12abc\n");
  PutText("ini_file_fuzz", "no_sections.ini", "Key=before any section\n[Settings]");
  PutText("ini_file_fuzz", "empty.ini", "");

  // cfgsim_json_fuzz and cfgsim_config_files_fuzz: the Configurator's files.
  const std::string settings_json = R"({
  "Version": 7,
  "SCServerIP": "10.0.0.5",
  "RecordingPort": 4488,
  "ConfigIP": "10.0.0.6",
  "AssignedFCC": "VP80",
  "Flags": 128,
  "BlankingText": "Bitte warten \u00e4",
  "HTTPPort": 4483
}
)";
  const std::string rules_json = R"({"rules": [
  {"name": "R1", "operator": "and",
   "inputs": [{"type": "app", "name": "W", "title": "Editor", "focus_mask": 4},
              {"type": "keyboard", "name": "K", "start_key": 119, "stop_key": 120}],
   "true_actions": [{"type": "record", "width": 800, "height": 600, "images_per_second": 5,
                     "codec": "VP80", "quality": 80, "duration_seconds": 30}],
   "false_actions": [{"type": "stop"}]},
  {"name": "night", "operator": "single",
   "inputs": [{"type": "schedule", "name": "S", "start_hour": 8, "end_hour": 17}],
   "true_actions": [{"type": "blank"}], "false_actions": [{"type": "unblank"}]},
  {"name": "X", "operator": "and-not",
   "inputs": [{"type": "app-ex", "name": "AX", "start_title": "A", "stop_title": "B"},
              {"type": "ext", "name": "EXT"}]}
]}
)";
  const std::string bare_rules = R"([{"name": "E", "operator": 4, "inputs": [{"type": 516}]}])";
  const std::string old_settings = R"({"Version": 2, "ConfigIP": "cfg", "CarriedText": "x"})";
  for (const char* t : {"cfgsim_json_fuzz", "cfgsim_config_files_fuzz"}) {
    PutText(t, "settings.json", settings_json);
    PutText(t, "rules.json", rules_json);
    PutText(t, "bare_rules.json", bare_rules);
    PutText(t, "old_settings.json", old_settings);
  }
  PutText("cfgsim_json_fuzz", "values.json",
          R"([null, true, false, -9223372036854775808, 0, "a\"b\\c\/\b\f\n\r\t\ud83d\ude00", {}, []])");
  PutText("cfgsim_config_files_fuzz", "empty_rules.json", R"({"rules": []})");
  return 0;
}
