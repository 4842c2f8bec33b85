// HTTPServerThread: the local HTTP interface's worker thread. It listens on loopback only, HTTP
// on the port and HTTPS on port + 1, under the path "/Workstation/", and serves one request at a
// time: "Ping" answers that the service is alive, "RecordingControl" starts and stops a triggered
// recording through the controller's external trigger (http_requests.h has the replies).
//
// HTTPS presents the stored certificate whose subject contains the certificate name
// (certificate_store.h), else a self-signed one for "localhost" generated at each start. When
// neither can be used HTTPS stays off and HTTP works on; when the HTTP port cannot be bound the
// thread logs it and ends, and the service runs without the interface.
//
// Started once by the controller, stopped with Stop(5) (the base protocol); the thread notices a
// stop within about 100 ms, or as soon as a trigger call it is in has returned. What it
// deliberately does not do: reach the controller in any way other than the trigger call.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "http/http_requests.h"
#include "service/thread.h"

namespace vorla {

class HttpListener;

class HTTPServerThread : public Thread {
 public:
  enum class ListenState { kNotStarted, kListening, kFailed, kStopped };

  HTTPServerThread();
  ~HTTPServerThread() override;  // stops the thread (5 s) before the members go

  // Stores the values and starts the thread; false when the thread cannot start. The values are
  // read only by the thread; while it runs a second call changes nothing and returns true.
  // `controller` is called on the HTTP thread for each RecordingControl request. Port 0 (for
  // tests) listens on free ports, HTTPS on another free one.
  bool StartHTTPServer(ExternalTriggerCall controller, const std::u16string& workstation_name,
                       uint32_t port, const std::u16string& certificate_name, bool cors);
  uint32_t Run() override;

  // How far Run has come and the ports it listens on (0 when not listening, HTTPS 0 when it is
  // off). Any thread.
  ListenState listen_state() const { return state_.load(); }
  uint16_t http_port() const { return http_port_.load(); }
  uint16_t https_port() const { return https_port_.load(); }

 private:
  // The HTTPS certificate: the named stored one, else a generated one. Logs the outcome; false
  // when HTTPS stays off.
  bool SetUpTls(HttpListener& listener);

  ExternalTriggerCall controller_;
  std::u16string certificate_name_;
  std::u16string workstation_name_;
  uint32_t port_ = 4483;
  bool cors_ = false;

  std::atomic<ListenState> state_{ListenState::kNotStarted};
  std::atomic<uint16_t> http_port_{0};
  std::atomic<uint16_t> https_port_{0};
};

}  // namespace vorla
