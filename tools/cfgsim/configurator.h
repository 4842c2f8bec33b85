// The Configurator: a listener, a thread per workstation link (printing what arrives and
// answering session configuration requests), and the commands that send to the links.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "cfgsim_options.h"
#include "link_host.h"
#include "rules/rule_set.h"

namespace vorla::cfgsim {

class CfgConnection;
class LiveFrameSaver;

class Configurator {
 public:
  // Lines go to `out` (flushed after each).
  Configurator(CfgsimOptions options, std::FILE* out);
  ~Configurator();
  Configurator(const Configurator&) = delete;
  Configurator& operator=(const Configurator&) = delete;

  // Reads the session rule files and listens; false with `error` set when it cannot.
  bool Start(std::string& error);
  uint16_t port() const;
  // Sends the closing status on every link, closes them.
  void Stop();

  // Runs one command line; false with `error` set when it fails.
  bool Execute(const std::string& command, std::string& error);
  // Runs every line of a script; errors name the file and the line.
  bool RunScript(const std::string& path, std::string& error);

  // For the connections.
  void Say(const std::string& line);
  bool stopping() const { return stopping_.load(); }
  const CfgsimOptions& options() const { return options_; }
  // The rules for `user`'s session; null when no rules apply.
  const RuleSet* SessionRules(const std::u16string& user) const;
  void NoteRegistration();
  // Where live frames are saved; null when they are not.
  LiveFrameSaver* live_saver() { return live_saver_.get(); }

 private:
  // The links a command goes to: link `number`, or every link when 0.
  std::vector<std::shared_ptr<CfgConnection>> Targets(uint32_t number);

  CfgsimOptions options_;
  std::FILE* out_;
  std::map<std::u16string, RuleSet> session_rules_;
  std::unique_ptr<LiveFrameSaver> live_saver_;
  std::unique_ptr<tools::LinkHost<Configurator, CfgConnection>> links_;
  std::atomic<bool> stopping_{false};
  std::mutex say_mutex_;
  std::mutex registered_mutex_;
  std::condition_variable registered_cv_;
  uint32_t registrations_ = 0;
};

}  // namespace vorla::cfgsim
