// The well-known folders. Each is read from the environment on every call, so that tests (and
// administrators) can point the program elsewhere:
//   all-users application data  VORLA_COMMON_APPDATA  (default /var/lib)
//   temporary files             VORLA_TEMP_DIR        (default /tmp)
//   event logs                  VORLA_LOG_DIR         (default /var/log/vorla)
//   runtime (lock files)        VORLA_RUNTIME_DIR     (default /run/vorla)
//   HTTPS server certificates   VORLA_CERT_DIR        (default <application data>/Vorla/certs)
// Paths are built with "/" and returned without a trailing separator.
#pragma once

#include <string>

namespace vorla::platform {

std::u16string CommonAppDataFolder();
std::u16string TempFolder();
std::u16string EventLogFolder();
std::u16string RuntimeFolder();
std::u16string CertificateFolder();

// Creates `path` and its missing parents; true when it exists afterwards as a folder.
bool EnsureFolder(const std::u16string& path);

}  // namespace vorla::platform
