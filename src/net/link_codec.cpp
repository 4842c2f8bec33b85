#include "net/link_codec.h"

#include <sodium.h>

#include <cstring>

#include "security/security_server.h"
#include "security/security_server_v2.h"

namespace vorla {
namespace {

class SecurityServerCipher final : public PartCipher {
 public:
  bool Encrypt(uint16_t key_index, uint8_t* data, uint32_t length) override {
    return SecurityServer::Instance().Encrypt(key_index, data, length);
  }
  bool Decrypt(uint16_t key_index, uint8_t* data, uint32_t length) override {
    return SecurityServer::Instance().Decrypt(key_index, data, length);
  }
};

bool Present(const PayloadBuffer& part) { return !part.empty(); }
uint32_t PartLength(const PayloadBuffer& part) { return part.empty() ? 0 : part.size(); }

}  // namespace

HeaderCheck CheckReceivedHeader(const netw_header& h) {
  if (h.type >= kLinkTypeLimit || h.length1 >= kLinkLength1Limit) return HeaderCheck::kRefused;
  if (h.length2 >= kLinkLength2Limit) return HeaderCheck::kOversized;
  return HeaderCheck::kOk;
}

bool PrecomputeBoxKey(std::span<const uint8_t> peer_public, std::span<const uint8_t> own_secret,
                      BoxKey& out) {
  if (peer_public.size() != kBoxKeyBytes || own_secret.size() != kBoxKeyBytes) return false;
  if (!SecurityServer_v2::Instance().initialized()) return false;
  BoxKey k;
  if (crypto_box_beforenm(k.bytes.data(), peer_public.data(), own_secret.data()) != 0) return false;
  out = k;
  sodium_memzero(k.bytes.data(), k.bytes.size());
  return true;
}

std::array<uint8_t, kBoxNonceBytes> BoxNonce(uint32_t nonce_word, uint64_t time_stamp) {
  std::array<uint8_t, kBoxNonceBytes> n{};
  for (size_t i = 0; i < 4; ++i) n[i] = static_cast<uint8_t>(nonce_word >> (8 * i));
  for (size_t i = 0; i < 8; ++i) n[4 + i] = static_cast<uint8_t>(time_stamp >> (8 * i));
  return n;
}

bool SealPart(const BoxKey& key, const std::array<uint8_t, kBoxNonceBytes>& nonce,
              std::span<const uint8_t> plain, std::span<uint8_t> out) {
  if (out.size() != plain.size() + kBoxMacBytes) return false;
  // The library reads no message byte for an empty part but wants a valid pointer.
  static const uint8_t kNothing = 0;
  const uint8_t* m = plain.empty() ? &kNothing : plain.data();
  return crypto_box_easy_afternm(out.data(), m, plain.size(), nonce.data(), key.bytes.data()) == 0;
}

bool OpenPart(const BoxKey& key, const std::array<uint8_t, kBoxNonceBytes>& nonce,
              PayloadBuffer& part) {
  if (part.empty() || part.size() < kBoxMacBytes) return false;
  const uint32_t plain_size = part.size() - kBoxMacBytes;
  PayloadBuffer plain = PayloadBuffer::TryAllocate(plain_size);
  if (plain_size != 0 && plain.empty()) return false;
  static uint8_t scratch = 0;  // output pointer for an empty plain text (nothing is written)
  uint8_t* m = plain.empty() ? &scratch : plain.data();
  if (crypto_box_open_easy_afternm(m, part.data(), part.size(), nonce.data(), key.bytes.data()) !=
      0) {
    return false;
  }
  part = std::move(plain);
  return true;
}

uint16_t ChooseKeyIndex(bool peer_flags_bit1, uint32_t random_value) {
  if (peer_flags_bit1)
    return static_cast<uint16_t>(10 + random_value % SecurityServer::StreamKeyCount());
  return static_cast<uint16_t>(random_value % SecurityServer::LegacyKeyCount());
}

PartCipher& ProviderCipher() {
  static SecurityServerCipher cipher;
  return cipher;
}

uint32_t EncodeFrame(const netw_message_t& message, const FrameProtection& p, PayloadBuffer& buffer,
                     size_t& frame_length, netw_header* sent_header) {
  netw_header h = message.header;
  const uint32_t plain1 = PartLength(message.part1);
  const uint32_t plain2 = PartLength(message.part2);
  const bool seal = p.box_key != nullptr;
  const uint64_t extra = seal ? kBoxMacBytes : 0;
  const uint64_t len1 = plain1 ? plain1 + extra : 0;
  const uint64_t len2 = plain2 ? plain2 + extra : 0;
  const uint64_t total = kNetwHeaderSize + len1 + len2;
  if (len1 > UINT32_MAX || len2 > UINT32_MAX || total > UINT32_MAX) return kSendNoBuffer;

  h.time_stamp = p.time_stamp;
  h.flags = kNetwFlagFromWorkstation;
  h.key_index = 0;
  h.length1 = static_cast<uint32_t>(len1);
  h.length2 = static_cast<uint32_t>(len2);
  if (seal) {
    h.flags |= kNetwFlagSealed;
    h.nonce_word = p.nonce_word;
  }

  if (buffer.empty() || buffer.size() < total) {
    buffer = PayloadBuffer::TryAllocate(static_cast<uint32_t>(total));
    if (buffer.empty()) return kSendNoBuffer;
  }
  uint8_t* out = buffer.data();
  uint8_t* at1 = out + kNetwHeaderSize;
  uint8_t* at2 = at1 + len1;
  bool ok = true;
  if (seal) {
    const auto nonce = BoxNonce(h.nonce_word, h.time_stamp);
    if (plain1) ok = SealPart(*p.box_key, nonce, message.part1.span(), {at1, len1}) && ok;
    if (ok && plain2) ok = SealPart(*p.box_key, nonce, message.part2.span(), {at2, len2});
  } else {
    if (plain1) std::memcpy(at1, message.part1.data(), plain1);
    if (plain2) std::memcpy(at2, message.part2.data(), plain2);
    if (p.encrypt) {
      if (p.cipher == nullptr) {
        ok = false;
      } else {
        if (plain1) ok = p.cipher->Encrypt(p.key_index, at1, plain1);
        if (ok && plain2) ok = p.cipher->Encrypt(p.key_index, at2, plain2);
      }
      if (ok) {
        h.flags |= kNetwFlagProviderCipher;
        h.key_index = p.key_index;
      }
    }
  }
  WriteNetwHeader(h, std::span<uint8_t, kNetwHeaderSize>(out, kNetwHeaderSize));
  if (sent_header) *sent_header = h;
  if (!ok) return kSendCipherFailed;
  frame_length = static_cast<size_t>(total);
  return 0;
}

bool OpenReceivedParts(netw_message_t& m, const BoxKey* box_key, PartCipher* cipher,
                       bool* part1_failed) {
  if (part1_failed) *part1_failed = false;
  bool ok = true;
  if ((m.header.flags & kNetwFlagSealed) && box_key != nullptr) {
    const auto nonce = BoxNonce(m.header.nonce_word, m.header.time_stamp);
    if (Present(m.part1)) {
      if (OpenPart(*box_key, nonce, m.part1)) {
        m.header.length1 = m.part1.size();
      } else {
        ok = false;
        if (part1_failed) *part1_failed = true;
      }
    }
    if (Present(m.part2)) {
      if (OpenPart(*box_key, nonce, m.part2)) {
        m.header.length2 = m.part2.size();
      } else {
        ok = false;
      }
    }
  } else if (m.header.flags & kNetwFlagProviderCipher) {
    if (cipher == nullptr) return false;
    if (Present(m.part1) && !cipher->Decrypt(m.header.key_index, m.part1.data(), m.part1.size())) {
      ok = false;
      if (part1_failed) *part1_failed = true;
    }
    if (Present(m.part2) && !cipher->Decrypt(m.header.key_index, m.part2.data(), m.part2.size()))
      ok = false;
  }
  return ok;
}

netw_message_t MakeConnectionErrorNotice(uint32_t error_code) {
  PayloadBuffer p = PayloadBuffer::Allocate(8);
  uint8_t* b = p.data();
  const uint32_t words[2] = {1, error_code};
  for (size_t w = 0; w < 2; ++w)
    for (size_t i = 0; i < 4; ++i) b[4 * w + i] = static_cast<uint8_t>(words[w] >> (8 * i));
  return MakeNetwMessage(nwmt_connection_error, std::move(p));
}

FrameParse ParseFrame(std::span<const uint8_t> bytes, netw_message_t& out, size_t& consumed) {
  const auto h = ReadNetwHeader(bytes);
  if (!h) return FrameParse::kShort;
  switch (CheckReceivedHeader(*h)) {
    case HeaderCheck::kRefused: return FrameParse::kRefused;
    case HeaderCheck::kOversized: return FrameParse::kOversized;
    case HeaderCheck::kOk: break;
  }
  const uint64_t total = kNetwHeaderSize + uint64_t{h->length1} + h->length2;
  if (total > bytes.size()) return FrameParse::kShort;
  netw_message_t m;
  m.header = *h;
  if (h->length1) m.part1 = PayloadBuffer::CopyOf(bytes.subspan(kNetwHeaderSize, h->length1));
  if (h->length2)
    m.part2 = PayloadBuffer::CopyOf(bytes.subspan(kNetwHeaderSize + h->length1, h->length2));
  out = std::move(m);
  consumed = static_cast<size_t>(total);
  return FrameParse::kOk;
}

}  // namespace vorla
