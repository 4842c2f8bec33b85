// The listener and certificate store of a build without the HTTP stack (the Windows build, until
// its listener over the system's HTTP server lands): every step fails with "not supported", so
// the server thread logs that no HTTP interface is available and the service runs on without it.
#include "http/certificate_store.h"
#include "http/http_listener.h"

namespace vorla {
namespace {
constexpr uint32_t kNotSupported = 50;
}

struct HttpListenerCore {};

HttpListener::HttpListener(Handler, bool, HttpListenerLimits) {}
HttpListener::~HttpListener() = default;
uint32_t HttpListener::SetCertificate(const std::string&, const std::string&) {
  return kNotSupported;
}
uint32_t HttpListener::ListenHttp(uint16_t) { return kNotSupported; }
uint32_t HttpListener::ListenHttps(uint16_t) { return kNotSupported; }
uint16_t HttpListener::http_port() const { return 0; }
uint16_t HttpListener::https_port() const { return 0; }
void HttpListener::RunFor(uint32_t) {}

CertificateSearch FindServerCertificate(const std::u16string&, const std::u16string&) {
  return {};
}

uint32_t GenerateSelfSignedCertificate(ServerCertificate&) { return kNotSupported; }

}  // namespace vorla
