#include "security/hc128.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "security/key_material.h"

namespace vorla {
namespace {

using Block16 = std::array<uint8_t, 16>;

std::vector<uint8_t> KeyStream(const Block16& key, const Block16& iv, size_t n) {
  Hc128 c(key, iv);
  std::vector<uint8_t> out(n, 0);
  c.Process(out.data(), out.data(), n);
  return out;
}

uint32_t WordAt(const std::vector<uint8_t>& s, size_t i) {
  return s[4 * i] | s[4 * i + 1] << 8 | s[4 * i + 2] << 16 |
         static_cast<uint32_t>(s[4 * i + 3]) << 24;
}

// Published key stream words (HC-128 design document, appendix).
TEST(Hc128, PublishedVectors) {
  struct Row {
    const char* name;
    Block16 key, iv;
    std::vector<uint32_t> words;
  } rows[] = {
      {"key 0, iv 0",
       {},
       {},
       {0x73150082, 0x3bfd03a0, 0xfb2fd77f, 0xaa63af0e, 0xde122fc6, 0xa7dc29b6, 0x62a68527,
        0x8b75ec68, 0x9036db1e, 0x81896005, 0x00ade078, 0x491fbf9a, 0x1cdc3013, 0x6c3d6e24,
        0x90f664b2, 0x9cd57102}},
      {"key 0, iv[0] = 1",
       {},
       {1},
       {0xc01893d5, 0xb7dbe958, 0x8f65ec98, 0x64176604, 0x36fc6724, 0xc82c6eec, 0x1b1c38a7,
        0xc9b42a95}},
      {"key[0] = 0x55, iv 0",
       {0x55},
       {},
       {0x518251a4, 0x04b4930a, 0xb02af931, 0x0639f032, 0xbcb4a47a, 0x5722480b, 0x2bf99f72,
        0xcdc0e566}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto s = KeyStream(row.key, row.iv, 4 * row.words.size());
    for (size_t i = 0; i < row.words.size(); ++i) EXPECT_EQ(WordAt(s, i), row.words[i]) << i;
  }
  // Words are little-endian on the byte stream.
  const auto s = KeyStream({}, {}, 8);
  EXPECT_EQ(s, (std::vector<uint8_t>{0x82, 0x00, 0x15, 0x73, 0xa0, 0x03, 0xfd, 0x3b}));
}

// A plain transcription of the algorithm (indices mod 512, one word at a time) to check the
// block-wise generator far beyond the published words: across the P/Q switch, the table wrap and
// several 1,024-word periods.
std::vector<uint32_t> ReferenceWords(const Block16& key, const Block16& iv, size_t count) {
  auto f1 = [](uint32_t x) { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); };
  auto f2 = [](uint32_t x) { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); };
  std::vector<uint32_t> w(1280), p(512), q(512);
  for (int i = 0; i < 8; ++i) {
    const int k = 4 * (i % 4);
    w[i] = key[k] | key[k + 1] << 8 | key[k + 2] << 16 | static_cast<uint32_t>(key[k + 3]) << 24;
    w[i + 8] = iv[k] | iv[k + 1] << 8 | iv[k + 2] << 16 | static_cast<uint32_t>(iv[k + 3]) << 24;
  }
  for (uint32_t i = 16; i < 1280; ++i)
    w[i] = f2(w[i - 2]) + w[i - 7] + f1(w[i - 15]) + w[i - 16] + i;
  for (int i = 0; i < 512; ++i) {
    p[i] = w[i + 256];
    q[i] = w[i + 768];
  }
  auto m = [](uint32_t i) { return i % 512; };
  auto g1 = [](uint32_t x, uint32_t y, uint32_t z) {
    return (std::rotr(x, 10) ^ std::rotr(z, 23)) + std::rotr(y, 8);
  };
  auto g2 = [](uint32_t x, uint32_t y, uint32_t z) {
    return (std::rotl(x, 10) ^ std::rotl(z, 23)) + std::rotl(y, 8);
  };
  auto h1 = [&](uint32_t x) { return q[x & 0xff] + q[256 + ((x >> 16) & 0xff)]; };
  auto h2 = [&](uint32_t x) { return p[x & 0xff] + p[256 + ((x >> 16) & 0xff)]; };
  for (uint32_t i = 0; i < 512; ++i)
    p[i] = (p[i] + g1(p[m(i + 509)], p[m(i + 502)], p[m(i + 1)])) ^ h1(p[m(i + 500)]);
  for (uint32_t i = 0; i < 512; ++i)
    q[i] = (q[i] + g2(q[m(i + 509)], q[m(i + 502)], q[m(i + 1)])) ^ h2(q[m(i + 500)]);
  std::vector<uint32_t> out;
  for (uint32_t i = 0; out.size() < count; ++i) {
    const uint32_t j = i % 512;
    if (i % 1024 < 512) {
      p[j] += g1(p[m(j + 509)], p[m(j + 502)], p[m(j + 1)]);
      out.push_back(h1(p[m(j + 500)]) ^ p[j]);
    } else {
      q[j] += g2(q[m(j + 509)], q[m(j + 502)], q[m(j + 1)]);
      out.push_back(h2(q[m(j + 500)]) ^ q[j]);
    }
  }
  return out;
}

TEST(Hc128, MatchesPlainTranscriptionOverSeveralPeriods) {
  const Block16 key = {0x0f, 0x62, 0xb5, 0x08, 0x5b, 0xae, 0x01, 0x54,
                       0xa7, 0xfa, 0x4d, 0xa0, 0xf3, 0x46, 0x99, 0xec};
  const Block16& iv = key_material::kStreamCipherIv;
  const size_t words = 3 * 1024 + 16;
  const auto expected = ReferenceWords(key, iv, words);
  const auto s = KeyStream(key, iv, 4 * words);
  for (size_t i = 0; i < words; ++i) ASSERT_EQ(WordAt(s, i), expected[i]) << "word " << i;
  // And the transcription itself reproduces a published vector.
  EXPECT_EQ(ReferenceWords({}, {}, 4),
            (std::vector<uint32_t>{0x73150082, 0x3bfd03a0, 0xfb2fd77f, 0xaa63af0e}));
}

// Chunked processing continues the stream exactly; in place equals out of place.
TEST(Hc128, ChunksContinueTheStream) {
  const Block16 key = {1, 2, 3};
  const size_t total = 9000;
  std::vector<uint8_t> plain(total);
  for (size_t i = 0; i < total; ++i) plain[i] = static_cast<uint8_t>(i * 7 + 3);
  std::vector<uint8_t> whole(total);
  Hc128(key, key_material::kStreamCipherIv).Process(plain.data(), whole.data(), total);

  for (size_t chunk : {1u, 3u, 63u, 64u, 65u, 1000u}) {
    SCOPED_TRACE(chunk);
    Hc128 c(key, key_material::kStreamCipherIv);
    std::vector<uint8_t> buf = plain;
    for (size_t at = 0; at < total; at += chunk)
      c.Process(buf.data() + at, buf.data() + at, std::min(chunk, total - at));
    EXPECT_EQ(buf, whole);
  }
  // Deciphering with a fresh state restores the plain text.
  std::vector<uint8_t> back(total);
  auto state = StreamCipherCreate(key);
  ASSERT_NE(state, nullptr);
  StreamCipherProcess(*state, whole.data(), back.data(), total);
  EXPECT_EQ(back, plain);
}

TEST(Hc128, CreateTakesOnlySixteenByteKeysAndUsesTheFixedIv) {
  const uint8_t key[17] = {9};
  EXPECT_EQ(StreamCipherCreate(std::span<const uint8_t>(key, 15)), nullptr);
  EXPECT_EQ(StreamCipherCreate(std::span<const uint8_t>(key, 17)), nullptr);
  EXPECT_EQ(StreamCipherCreate({}), nullptr);
  auto state = StreamCipherCreate(std::span<const uint8_t>(key, 16));
  ASSERT_NE(state, nullptr);
  std::vector<uint8_t> a(100, 0), b(100, 0);
  StreamCipherProcess(*state, a.data(), b.data(), a.size());
  Block16 k16 = {9};
  EXPECT_EQ(b, KeyStream(k16, key_material::kStreamCipherIv, 100));
  EXPECT_NE(b, KeyStream(k16, {}, 100));
}

}  // namespace
}  // namespace vorla
