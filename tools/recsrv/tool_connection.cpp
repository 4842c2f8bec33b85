#include "tool_connection.h"

#include "server_messages.h"
#include "tool_text.h"

namespace vorla::tools {

ToolConnection::ToolConnection(uint32_t number, std::unique_ptr<platform::TcpSocket> socket,
                               std::function<bool()> stopping,
                               std::function<void(const std::string&)> print)
    : number_(number),
      stopping_(std::move(stopping)),
      print_(std::move(print)),
      link_(std::move(socket), [this] { return stopping_() || ending_; }),
      lines_("#" + std::to_string(number) + " " + Dotted(link_.peer_address()), print_) {}

void ToolConnection::Run() {
  Say("link accepted");
  if (!link_.SendPublicKey()) Say("could not send the public key; the link stays unsealed");
  while (!ending_ && !stopping_()) {
    std::string dropped;
    auto m = link_.Receive(&dropped);
    lines_.Tick();
    AfterPass();
    if (!dropped.empty()) Chatter(dropped);
    if (!m) continue;
    switch (m->header.type) {
      case nwmt_connection_error:
        Say(link_.ClosedLine(*m));
        ending_ = true;
        break;
      case nwmt_public_key: Chatter("public key received again; ignored"); break;
      case nwmt_status: Chatter(recsrv::DescribeStatusMessage(*m)); break;
      default: Handle(*m);
    }
  }
  AtEnd();
  link_.Drop();
  lines_.Flush();
}

}  // namespace vorla::tools
