// The Configurator's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorla::cfgsim {

enum class SessionAnswer { kRules, kNone, kRefuse };

struct CfgsimOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 4489;  // 0: any free port (the listening line tells which)
  // Commands in the order given: ("script", path) or ("command", text).
  std::vector<std::pair<std::string, std::string>> commands;
  bool exit_after_commands = false;
  // Session configuration answers: user name ("*" for any other user) and rule file.
  std::vector<std::pair<std::string, std::string>> session_rules;
  SessionAnswer session_answer = SessionAnswer::kRules;
  uint32_t refusal_word = 0;
  std::string save_live;  // folder for live frames as JPEG files; empty: not saved
  bool help = false;
};

// Parses argv[1..]; nullopt with `error` set on a bad command line.
std::optional<CfgsimOptions> ParseOptions(const std::vector<std::string>& args, std::string& error);
std::string HelpText();

}  // namespace vorla::cfgsim
