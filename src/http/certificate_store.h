// The HTTPS server certificate: looked up by subject in a folder of PEM files (the certificate
// store of this system, platform::CertificateFolder()), or generated for "localhost" when no
// stored certificate is named or found.
//
// The folder holds one certificate per file "<stem>.pem" (the files are searched in the byte
// order of their names): the file's first certificate is the one matched, further certificates
// in it are its chain. Its private key is in the same file or else in "<stem>.key" beside it,
// unencrypted (an encrypted key is refused: a service has nobody to ask for the password). Other
// files are ignored.
//
// Plain OpenSSL, no sockets; thread-safe; never logs (the server thread does).
#pragma once

#include <cstdint>
#include <string>

namespace vorla {

// A certificate ready for the TLS listener, both parts PEM.
struct ServerCertificate {
  std::string chain_pem;  // the certificate, then its chain
  std::string key_pem;    // its private key, unencrypted PKCS #8
  std::string subject;    // RFC 2253 form, e.g. "O=Vorla,CN=localhost"
};

enum class CertificateLookup {
  kFound,     // `certificate` is filled
  kNotFound,  // no file's certificate has the name in its subject (or there is no folder)
  kUnusable,  // the first match has no readable private key, or not its own one: `error`
};

struct CertificateSearch {
  CertificateLookup result = CertificateLookup::kNotFound;
  ServerCertificate certificate;
  // With kUnusable: the errno of the key file that could not be read, or OpenSSL's error code.
  uint32_t error = 0;
  std::u16string file;  // the matching file, when there is one
};

// The first certificate in `folder` whose subject contains `name` (a-z compared without case,
// as the subject search of a certificate store does). An empty name matches nothing.
CertificateSearch FindServerCertificate(const std::u16string& folder, const std::u16string& name);

// A new self-signed certificate for "localhost" (P-256 key, SHA-256, alternative names
// localhost, 127.0.0.1 and ::1, valid from an hour ago for a year), kept in memory only.
// 0 on success, else OpenSSL's error code (never 0).
uint32_t GenerateSelfSignedCertificate(ServerCertificate& out);

}  // namespace vorla
