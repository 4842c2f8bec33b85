// What every link of the reference tools does, whatever the tool: a thread that sends the own
// public key, then takes messages until the link ends or the tool stops; the lines for the
// messages every peer may send (a failed link, a repeated public key, a status message, one
// that could not be opened), paced as LinePacer says. The tool's own messages go to Handle.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "line_pacer.h"
#include "net/netw_message.h"
#include "platform/sockets.h"
#include "server_link.h"

namespace vorla::tools {

class ToolConnection {
 public:
  // `stopping` tells whether the tool stops; `print` takes a whole line (any thread).
  ToolConnection(uint32_t number, std::unique_ptr<platform::TcpSocket> socket,
                 std::function<bool()> stopping, std::function<void(const std::string&)> print);
  virtual ~ToolConnection() = default;
  ToolConnection(const ToolConnection&) = delete;
  ToolConnection& operator=(const ToolConnection&) = delete;

  // The link's thread.
  void Run();
  uint32_t number() const { return number_; }

 protected:
  // A message of the tool's own (any type but nwmt_connection_error, nwmt_public_key and
  // nwmt_status), on the link's thread.
  virtual void Handle(const netw_message_t& m) = 0;
  // After every receive pass, and once when the link has ended (before it is dropped).
  virtual void AfterPass() {}
  virtual void AtEnd() {}

  // Lines of the link's own thread: Say always prints, Chatter is paced (the lines a peer can
  // make without end by repeating a message).
  void Say(const std::string& text) { lines_.Say(text); }
  void Chatter(const std::string& text) { lines_.Chatter(text); }
  // A line from another thread: it bypasses the link's pacing.
  void SayFromAnyThread(const std::string& text) { print_(lines_.tag() + ": " + text); }
  // Ends the link after the current message.
  void End() { ending_ = true; }

  recsrv::ServerLink& link() { return link_; }

 private:
  uint32_t number_;
  std::function<bool()> stopping_;
  std::function<void(const std::string&)> print_;
  bool ending_ = false;
  recsrv::ServerLink link_;
  LinePacer lines_;
};

}  // namespace vorla::tools
