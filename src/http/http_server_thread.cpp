#include "http/http_server_thread.h"

#include <cerrno>

#include "common/format_string.h"
#include "common/logging.h"
#include "common/status_codes.h"
#include "http/certificate_store.h"
#include "http/http_listener.h"
#include "platform/debug_output.h"
#include "platform/folders.h"

namespace vorla {
namespace {

// How often the serving loop looks at the stop request.
constexpr uint32_t kStopPollMs = 100;
constexpr uint32_t kMaxPort = 65535;

}  // namespace

HTTPServerThread::HTTPServerThread() : Thread(u"HTTPServerThread", 0) {}

HTTPServerThread::~HTTPServerThread() { Stop(5); }

bool HTTPServerThread::StartHTTPServer(ExternalTriggerCall controller,
                                       const std::u16string& workstation_name, uint32_t port,
                                       const std::u16string& certificate_name, bool cors) {
  if (running_) return true;
  controller_ = std::move(controller);
  workstation_name_ = workstation_name;
  port_ = port;
  certificate_name_ = certificate_name;
  cors_ = cors;
  state_ = ListenState::kNotStarted;
  return Start();
}

bool HTTPServerThread::SetUpTls(HttpListener& listener) {
  if (!certificate_name_.empty()) {
    const CertificateSearch found =
        FindServerCertificate(platform::CertificateFolder(), certificate_name_);
    if (found.result != CertificateLookup::kNotFound) {
      uint32_t err = found.error;
      if (found.result == CertificateLookup::kFound)
        err = listener.SetCertificate(found.certificate.chain_pem, found.certificate.key_pem);
      if (err != 0) {
        LogStatus(kStatusInternalError,
                  FormatString(u"HTTP SSL Init failed [err=%u]. Invalid certificate %s in local "
                               u"store %s. We'll attempt clean for next restart.",
                               err, certificate_name_, u"MY"),
                  EVENTLOG_WARNING_TYPE, 3);
        return false;
      }
      if (GetLogThreshold() <= 2)
        LogEvent(kStatusSuccess,
                 FormatString(u"SSL setup OK using %s store and cert %s", u"MY", certificate_name_),
                 EVENTLOG_WARNING_TYPE);
      return true;
    }
  }
  // No certificate named or none stored under the name: one of our own.
  ServerCertificate generated;
  uint32_t err = GenerateSelfSignedCertificate(generated);
  if (err == 0) err = listener.SetCertificate(generated.chain_pem, generated.key_pem);
  if (!LogIfFailed(err == 0, kStatusInternalError,
                   FormatString(u"HTTP SSL CCS Init failed [err=%u]. We'll attempt clean for next "
                                u"restart.",
                                err),
                   3, EVENTLOG_WARNING_TYPE))
    return false;
  LogStatus(kStatusSuccess, u"SSL setup OK using CCS", EVENTLOG_WARNING_TYPE, 2);
  return true;
}

uint32_t HTTPServerThread::Run() {
  http_port_ = 0;
  https_port_ = 0;
  HttpListener listener(
      [this](std::string_view method, std::string_view target, std::string_view body) {
        return HandleHttpRequest(method, target, body, cors_, controller_, workstation_name_);
      },
      cors_);

  const bool tls = SetUpTls(listener);
  const bool started = port_ <= kMaxPort && listener.ListenHttp(static_cast<uint16_t>(port_)) == 0;
  if (!LogIfFailed(started, kStatusInternalError,
                   u"HTTP Init failed. Continueing, but no HTTP interface available.", 3,
                   EVENTLOG_WARNING_TYPE)) {
    state_ = ListenState::kFailed;
    return 1;
  }
  if (tls) {
    const uint32_t https_port = port_ == 0 ? 0 : port_ + 1;
    // A refused HTTPS port leaves HTTP serving on its own.
    const uint32_t err =
        https_port > kMaxPort ? EINVAL : listener.ListenHttps(static_cast<uint16_t>(https_port));
    if (err != 0)
      platform::DebugOutput(
          FormatString(u"HTTPS listen on port %u failed [err=%u]\n", https_port, err));
  }
  http_port_ = listener.http_port();
  https_port_ = listener.https_port();
  state_ = ListenState::kListening;

  while (!stop_requested_) listener.RunFor(kStopPollMs);

  http_port_ = 0;
  https_port_ = 0;
  state_ = ListenState::kStopped;
  return 0;
}

}  // namespace vorla
