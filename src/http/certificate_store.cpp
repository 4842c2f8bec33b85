#include "http/certificate_store.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "platform/file_system.h"
#include "platform/files.h"

namespace vorla {
namespace {

// A certificate file is small; anything larger is not read.
constexpr uint64_t kMaxPemFile = 1 << 20;

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct ExtFree {
  void operator()(X509_EXTENSION* e) const { X509_EXTENSION_free(e); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Refuses every password request: OpenSSL would otherwise prompt on the terminal.
int NoPassword(char*, int, int, void*) { return -1; }

uint32_t LastOpenSslError(uint32_t fallback) {
  const unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  const auto code = static_cast<uint32_t>(e);
  return code != 0 ? code : fallback;
}

BioPtr ReadBio(const std::vector<uint8_t>& bytes) {
  return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

std::string SubjectText(X509* cert) {
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!out) return {};
  X509_NAME_print_ex(out.get(), X509_get_subject_name(cert), 0,
                     XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  return BioText(out.get());
}

std::string FoldCase(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool ReadFile(const std::u16string& path, std::vector<uint8_t>& bytes, uint32_t* error) {
  uint64_t size = 0;
  errno = 0;
  const auto r = platform::ReadWholeFile(path, bytes, size, kMaxPemFile);
  if (r == platform::FileReadResult::kOk) return true;
  if (error) *error = errno != 0 ? static_cast<uint32_t>(errno) : static_cast<uint32_t>(EIO);
  return false;
}

PkeyPtr ReadKey(const std::vector<uint8_t>& bytes) {
  BioPtr bio = ReadBio(bytes);
  if (!bio) return nullptr;
  return PkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr));
}

// The certificate and chain of a matching file, with its key; false and `error` when unusable.
bool LoadMatch(const std::u16string& path, const std::vector<uint8_t>& bytes,
               ServerCertificate& out, uint32_t& error) {
  ERR_clear_error();
  BioPtr in = ReadBio(bytes);
  BioPtr chain(BIO_new(BIO_s_mem()));
  if (!in || !chain) {
    error = LastOpenSslError(ENOMEM);
    return false;
  }
  X509Ptr leaf;
  while (X509* cert = PEM_read_bio_X509(in.get(), nullptr, NoPassword, nullptr)) {
    X509Ptr owned(cert);
    if (PEM_write_bio_X509(chain.get(), cert) != 1) {
      error = LastOpenSslError(ENOMEM);
      return false;
    }
    if (!leaf) leaf = std::move(owned);
  }
  ERR_clear_error();  // the end of the file ends the loop with an error entry
  if (!leaf) {
    error = EINVAL;
    return false;
  }

  PkeyPtr key = ReadKey(bytes);
  if (!key) {
    // A key in the file that cannot be read (encrypted, damaged) is the failure; only a file
    // without any key sends us to the key file beside it.
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.find("PRIVATE KEY-----") != std::string_view::npos) {
      error = LastOpenSslError(EINVAL);
      return false;
    }
    ERR_clear_error();
    std::u16string key_path = path.substr(0, path.size() - 4) + u".key";
    if (!platform::FileExists(key_path)) {
      error = ENOENT;
      return false;
    }
    std::vector<uint8_t> key_bytes;
    if (!ReadFile(key_path, key_bytes, &error)) return false;
    key = ReadKey(key_bytes);
    if (!key) {
      error = LastOpenSslError(EINVAL);
      return false;
    }
  }
  if (X509_check_private_key(leaf.get(), key.get()) != 1) {
    error = LastOpenSslError(EINVAL);
    return false;
  }
  BioPtr key_out(BIO_new(BIO_s_mem()));
  if (!key_out || PEM_write_bio_PrivateKey(key_out.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                           nullptr) != 1) {
    error = LastOpenSslError(ENOMEM);
    return false;
  }
  out.chain_pem = BioText(chain.get());
  out.key_pem = BioText(key_out.get());
  out.subject = SubjectText(leaf.get());
  return true;
}

bool AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, ExtFree> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

}  // namespace

CertificateSearch FindServerCertificate(const std::u16string& folder, const std::u16string& name) {
  CertificateSearch search;
  const std::string wanted = FoldCase(ToUtf8(name));
  if (wanted.empty()) return search;
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(folder, entries)) return search;
  std::vector<std::u16string> files;
  for (const auto& e : entries) {
    const std::u16string& n = e.name;
    if (n.size() <= 4 || n.compare(n.size() - 4, 4, u".pem") != 0) continue;
    files.push_back(n);
  }
  std::sort(files.begin(), files.end());
  for (const std::u16string& file : files) {
    const std::u16string path = folder + u"/" + file;
    if (platform::GetEntryKind(path) != platform::EntryKind::kRegularFile) continue;
    std::vector<uint8_t> bytes;
    if (!ReadFile(path, bytes, nullptr)) continue;
    BioPtr bio = ReadBio(bytes);
    if (!bio) continue;
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, NoPassword, nullptr));
    ERR_clear_error();
    if (!cert || FoldCase(SubjectText(cert.get())).find(wanted) == std::string::npos) continue;
    search.file = path;
    if (LoadMatch(path, bytes, search.certificate, search.error)) {
      search.result = CertificateLookup::kFound;
    } else {
      search.result = CertificateLookup::kUnusable;
      search.certificate = {};
    }
    return search;
  }
  return search;
}

uint32_t GenerateSelfSignedCertificate(ServerCertificate& out) {
  ERR_clear_error();
  PkeyPtr key(EVP_EC_gen("P-256"));
  X509Ptr cert(X509_new());
  if (!key || !cert) return LastOpenSslError(ENOMEM);
  X509* x = cert.get();
  std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(BN_new(), &BN_free);
  bool ok = serial && BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
            BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x)) != nullptr &&
            X509_set_version(x, 2) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(x), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(x), 365L * 24 * 3600) != nullptr &&
            X509_set_pubkey(x, key.get()) == 1;
  X509_NAME* subject = X509_get_subject_name(x);
  ok = ok &&
       X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                                  0) == 1 &&
       X509_set_issuer_name(x, subject) == 1 &&
       AddExtension(x, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1") &&
       AddExtension(x, NID_basic_constraints, "critical,CA:FALSE") &&
       AddExtension(x, NID_key_usage, "critical,digitalSignature") &&
       AddExtension(x, NID_ext_key_usage, "serverAuth") &&
       X509_sign(x, key.get(), EVP_sha256()) > 0;
  if (!ok) return LastOpenSslError(EINVAL);
  BioPtr chain(BIO_new(BIO_s_mem()));
  BioPtr key_out(BIO_new(BIO_s_mem()));
  if (!chain || !key_out || PEM_write_bio_X509(chain.get(), x) != 1 ||
      PEM_write_bio_PrivateKey(key_out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1)
    return LastOpenSslError(ENOMEM);
  out.chain_pem = BioText(chain.get());
  out.key_pem = BioText(key_out.get());
  out.subject = SubjectText(x);
  return 0;
}

}  // namespace vorla
