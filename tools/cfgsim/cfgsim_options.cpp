#include "cfgsim_options.h"

#include "config_files.h"
#include "tool_runtime.h"

namespace vorla::cfgsim {

using tools::ParseNumber;

std::optional<CfgsimOptions> ParseOptions(const std::vector<std::string>& args,
                                          std::string& error) {
  CfgsimOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    tools::OptionValue value(args, i, error);
    std::string v;
    uint64_t n = 0;
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--address") {
      if (!value.Text(o.address)) return std::nullopt;
    } else if (a == "--port") {
      if (!value.Number(65535, n)) return std::nullopt;
      o.port = static_cast<uint16_t>(n);
    } else if (a == "--script") {
      if (!value.Text(v)) return std::nullopt;
      o.commands.emplace_back("script", v);
    } else if (a == "--command" || a == "-c") {
      if (!value.Text(v)) return std::nullopt;
      o.commands.emplace_back("command", v);
    } else if (a == "--save-live") {
      if (!value.Text(o.save_live)) return std::nullopt;
    } else if (a == "--exit-after-commands") {
      o.exit_after_commands = true;
    } else if (a == "--session-rules") {
      if (!value.Text(v)) return std::nullopt;
      const size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0 || eq + 1 == v.size()) {
        error = "option --session-rules: USER=FILE expected, not " + v;
        return std::nullopt;
      }
      o.session_rules.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (a == "--session-answer") {
      if (!value.Text(v)) return std::nullopt;
      if (v == "rules") {
        o.session_answer = SessionAnswer::kRules;
      } else if (v == "none") {
        o.session_answer = SessionAnswer::kNone;
      } else if (v.rfind("refuse", 0) == 0) {
        o.session_answer = SessionAnswer::kRefuse;
        if (v.size() > 6) {
          if (v[6] != ':' || !ParseNumber(v.substr(7), 0xFFFFFFFE, n)) {
            error = "option --session-answer: refuse or refuse:WORD (not 0xFFFFFFFF), not " + v;
            return std::nullopt;
          }
          o.refusal_word = static_cast<uint32_t>(n);
        }
      } else {
        error = "option --session-answer: expected rules, none or refuse[:WORD], not " + v;
        return std::nullopt;
      }
    } else {
      error = "unknown option: " + a;
      return std::nullopt;
    }
  }
  return o;
}

std::string HelpText() {
  return R"(Usage: vorla-cfgsim [options]

A Configurator for Vorla workstations. It accepts workstation links, performs the key exchange,
prints one line per registration, capability report (with the codec list), workstation status
(with its state bits decoded), live frame and answer, and answers session configuration
requests; repeated lines are limited to 200 a second per link (the rest are counted), and at
most 256 links are served at once. It sends what its commands say, from the command line and
script files, in the order given. SIGINT or SIGTERM stops it: every link is sent the closing
status first.

Options:
  --address A            IPv4 address to listen on (default 127.0.0.1; 0.0.0.0 for all).
  --port P               TCP port (default 4489; 0 picks a free port, shown in the first line).
  --script FILE          run the commands of FILE, one per line ('#' starts a comment line).
  -c, --command CMD      run one command (repeatable; scripts and commands run in order).
  --exit-after-commands  stop once the commands have run (after sending the closing status).
  --session-rules USER=FILE
                         answer session configuration requests of USER with the rules of FILE
                         (a rule file, below); USER * stands for every other user. Repeatable.
                         Users without rules get an empty rule set.
  --session-answer HOW   rules (default): answer as above; none: never answer; refuse[:WORD]:
                         answer with part 1 WORD (default 0) instead of 0xFFFFFFFF, which the
                         workstation takes as a refusal.
  --save-live DIR        save every JPEG live frame as DIR/live-<link>-<number>.jpg (the folder
                         is created; frames of other codecs are only printed).
  -h, --help             this text.

Commands (words; a value with blanks in double quotes; @N first sends to link #N only, else to
every link):
  wait [COUNT] [MS]      wait until COUNT workstations (default 1) have registered, at most MS
                         milliseconds (default 10000); a timeout fails the command.
  sleep MS               pause.
  config [@N] [text=T] [settings=FILE] [rules=FILE]
                         a configuration message (type 129) with the parts given.
  agent-changed [@N]     nwmt_cfg_agentchanged (type 131).
  trigger [@N] start|stop [blank] [norecord] [version=V] [value=N] [text=T] [event=ID]
          [name=TRIGGER] [data=HEX]
                         an external trigger request (type 193); blank asks for blanking with a
                         start; norecord sends no part 2; version 0..2 (default 2).
  blank [@N] on|off [text=T] [data=HEX]
                         a blanking request (type 203).
  live [@N] start|stop   a live-view request (type 205).
  close [@N]             the closing status (kind 2); the workstation ends the link.
  announce ADDRESS:PORT [cfg=ADDR] [cfgport=P] [kind=K]
                         the UDP announcement (type 240) to ADDRESS:PORT naming this
                         Configurator as cfg (default the listening address) and cfgport
                         (default the listening port).
A failing command is reported with its line and ends the remaining commands.

)" + RuleFileHelp();
}

}  // namespace vorla::cfgsim
