#include "config/workstation_settings.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/status_codes.h"
#include "config/log_capture.h"

namespace vorla {
namespace {

using Bytes = std::vector<uint8_t>;

// A version 7 record, written out field by field from the layout table.
const Bytes kGoldenV7 = {
    0x07, 0x00, 0x00, 0x00,                          // Version 7
    0x53, 0x00, 0x31, 0x00, 0x00, 0x00,              // SCServerIP "S1"
    0x88, 0x11,                                      // RecordingPort 4488
    0x43, 0x00, 0x00, 0x00,                          // ConfigIP "C"
    0x89, 0x11,                                      // ConfigPort 4489
    0x8A, 0x11,                                      // BroadcastPort 4490
    0x01, 0x00,                                      // BroadcastTakesPref 1
    0x03, 0x00, 0x00, 0x00,                          // SeatingType 3
    0x56, 0x50, 0x38, 0x30,                          // AssignedFCC "VP80"
    0xEF, 0xBE,                                      // Carried16 0xBEEF
    0x02, 0x00, 0x00, 0x00,                          // ErrLogLevel 2
    0x78, 0x00, 0x00, 0x00,                          // v2 CarriedText "x"
    0x40, 0x11, 0x00, 0x00,                          // v3 Flags 0x1140
    0x78, 0x56, 0x34, 0x12,                          // v4 Carried32A 0x12345678
    0x70, 0x00, 0x77, 0x00, 0x00, 0x00,              // v5 EncryptionPassword "pw"
    0x42, 0x00, 0x00, 0x00,                          // v6 BlankingText "B"
    0x00, 0x00,                                      // v6 LostText ""
    0x7B, 0x00, 0x47, 0x00, 0x7D, 0x00, 0x00, 0x00,  // v6 GuidText "{G}"
    0x44, 0x00, 0x00, 0x00,                          // v6 SecConfigIP "D"
    0x83, 0x11, 0x00, 0x00,                          // v6 HTTPPort 4483
    0xD4, 0xC3, 0xB2, 0xA1,                          // v6 Carried32B 0xA1B2C3D4
    0xDC, 0x00, 0x00, 0x00,                          // v7 HTTPSSLCert "Ü"
};

// A version 5 record: ends after EncryptionPassword.
const Bytes kGoldenV5 = {
    0x05, 0x00, 0x00, 0x00,              // Version 5
    0x53, 0x00, 0x31, 0x00, 0x00, 0x00,  // SCServerIP "S1"
    0x88, 0x11,                          // RecordingPort 4488
    0x43, 0x00, 0x00, 0x00,              // ConfigIP "C"
    0x89, 0x11,                          // ConfigPort 4489
    0x8A, 0x11,                          // BroadcastPort 4490
    0x00, 0x00,                          // BroadcastTakesPref 0
    0x03, 0x00, 0x00, 0x00,              // SeatingType 3
    0x4D, 0x4A, 0x50, 0x47,              // AssignedFCC "MJPG"
    0x01, 0x00,                          // Carried16 1
    0x04, 0x00, 0x00, 0x00,              // ErrLogLevel 4
    0x00, 0x00,                          // v2 CarriedText ""
    0x08, 0x00, 0x00, 0x00,              // v3 Flags 0x0008
    0xFF, 0xFF, 0xFF, 0xFF,              // v4 Carried32A 0xFFFFFFFF
    0x70, 0x00, 0x77, 0x00, 0x00, 0x00,  // v5 EncryptionPassword "pw"
};

// A version 1 record: the fixed part only.
const Bytes kGoldenV1 = {
    0x01, 0x00, 0x00, 0x00,  // Version 1
    0x00, 0x00,              // SCServerIP ""
    0x01, 0x00,              // RecordingPort 1
    0x00, 0x00,              // ConfigIP ""
    0x02, 0x00,              // ConfigPort 2
    0x03, 0x00,              // BroadcastPort 3
    0x04, 0x00,              // BroadcastTakesPref 4
    0x05, 0x00, 0x00, 0x00,  // SeatingType 5
    0x06, 0x00, 0x00, 0x00,  // AssignedFCC 6
    0x07, 0x00,              // Carried16 7
    0x08, 0x00, 0x00, 0x00,  // ErrLogLevel 8
};

WorkstationSettings ExpectedV7() {
  WorkstationSettings s;
  s.SCServerIP = u"S1";
  s.ConfigIP = u"C";
  s.SeatingType = 3;
  s.Carried16 = 0xBEEF;
  s.ErrLogLevel = 2;
  s.CarriedText = u"x";
  s.Flags = 0x1140;
  s.Carried32A = 0x12345678;
  s.EncryptionPassword = u"pw";
  s.BlankingText = u"B";
  s.GuidText = u"{G}";
  s.SecConfigIP = u"D";
  s.Carried32B = 0xA1B2C3D4;
  s.HTTPSSLCert = u"\u00DC";
  return s;
}

Bytes Write(const WorkstationSettings& s) {
  ByteWriter w;
  s.Serialize(w);
  return w.Take();
}

TEST(WorkstationSettingsTest, Version7RecordReadsFieldByFieldAndWritesTheSameBytes) {
  ASSERT_EQ(kGoldenV7.size(), 84u);
  WorkstationSettings s;
  ByteReader r(kGoldenV7);
  size_t size = 0;
  ASSERT_TRUE(s.Deserialize(r, size));
  EXPECT_EQ(size, 84u);
  EXPECT_EQ(r.remaining(), 0u);
  const WorkstationSettings expected = ExpectedV7();
  EXPECT_EQ(s.SCServerIP, u"S1");
  EXPECT_EQ(s.RecordingPort, 4488);
  EXPECT_EQ(s.AssignedFCC, 0x30385056u);
  EXPECT_EQ(s.Carried16, 0xBEEF);
  EXPECT_EQ(s.Flags, 0x1140u);
  EXPECT_EQ(s.GuidText, u"{G}");
  EXPECT_EQ(s.HTTPPort, 4483u);
  EXPECT_EQ(s.Carried32B, 0xA1B2C3D4u);
  EXPECT_EQ(s.HTTPSSLCert, u"\u00DC");
  EXPECT_EQ(s, expected);

  EXPECT_EQ(Write(s), kGoldenV7);
  EXPECT_EQ(Write(expected), kGoldenV7);
}

TEST(WorkstationSettingsTest, Version5RecordKeepsTheReceiversNewerFieldsAndBecomesVersion7) {
  ASSERT_EQ(kGoldenV5.size(), 52u);
  WorkstationSettings receiver;
  receiver.BlankingText = u"blank";
  receiver.LostText = u"lost";
  receiver.GuidText = u"{keep}";
  receiver.SecConfigIP = u"second";
  receiver.HTTPPort = 9000;
  receiver.Carried32B = 77;
  receiver.HTTPSSLCert = u"CN=ME";
  WorkstationSettings expected = receiver;
  expected.SCServerIP = u"S1";
  expected.ConfigIP = u"C";
  expected.BroadcastTakesPref = 0;
  expected.SeatingType = 3;
  expected.AssignedFCC = 0x47504A4D;
  expected.Carried16 = 1;
  expected.ErrLogLevel = 4;
  expected.CarriedText = u"";
  expected.Flags = 0x0008;
  expected.Carried32A = 0xFFFFFFFF;
  expected.EncryptionPassword = u"pw";

  ByteReader r(kGoldenV5);
  size_t size = 0;
  ASSERT_TRUE(receiver.Deserialize(r, size));
  EXPECT_EQ(size, 52u);
  EXPECT_EQ(receiver.Version, 7u);
  EXPECT_EQ(receiver, expected);

  // A newly constructed receiver keeps the initial values of the newer fields.
  WorkstationSettings fresh;
  ByteReader r2(kGoldenV5);
  ASSERT_TRUE(fresh.Deserialize(r2, size));
  EXPECT_EQ(fresh.GuidText, u"{10000000-0000-0000-0000-000000000000}");
  EXPECT_EQ(fresh.HTTPPort, 4483u);
  EXPECT_EQ(fresh.BlankingText, u"");

  // Held as version 7, the record is written as version 7; set back to 5 it gives the same bytes.
  const Bytes as7 = Write(receiver);
  EXPECT_EQ(as7.size(), 52u + 2 * 6 + 2 * 5 + 2 * 7 + 2 * 7 + 8 + 2 * 6);
  WorkstationSettings again;
  ByteReader r3(as7);
  ASSERT_TRUE(again.Deserialize(r3, size));
  EXPECT_EQ(again, receiver);
  receiver.Version = 5;
  EXPECT_EQ(Write(receiver), kGoldenV5);
}

TEST(WorkstationSettingsTest, OldestAndNewerVersionsReadOnlyTheFieldsTheyHave) {
  WorkstationSettings s;
  ByteReader r(kGoldenV1);
  size_t size = 0;
  ASSERT_TRUE(s.Deserialize(r, size));
  EXPECT_EQ(size, 30u);
  EXPECT_EQ(s.RecordingPort, 1);
  EXPECT_EQ(s.ErrLogLevel, 8u);
  EXPECT_EQ(s.Flags, 0u);
  EXPECT_EQ(s.Version, 7u);
  s.Version = 1;
  EXPECT_EQ(Write(s), kGoldenV1);

  // A later version is read with the fields of version 7; what follows is left for the caller.
  Bytes v9 = kGoldenV7;
  v9[0] = 9;
  v9.push_back(0xAA);
  v9.push_back(0xBB);
  ByteReader r9(v9);
  ASSERT_TRUE(s.Deserialize(r9, size));
  EXPECT_EQ(size, 84u);
  EXPECT_EQ(r9.remaining(), 2u);
  EXPECT_EQ(s, ExpectedV7());
}

TEST(WorkstationSettingsTest, EveryTruncationFailsAndLeavesTheRecordUnchanged) {
  for (const Bytes* golden : {&kGoldenV7, &kGoldenV5, &kGoldenV1}) {
    for (size_t n = 0; n < golden->size(); ++n) {
      SCOPED_TRACE(testing::Message() << "version " << int{(*golden)[0]} << ", " << n << " bytes");
      // A buffer of exactly n bytes, so that the sanitizer sees any read past it.
      const Bytes cut(golden->begin(), golden->begin() + static_cast<std::ptrdiff_t>(n));
      WorkstationSettings s;
      s.BlankingText = u"before";
      const WorkstationSettings before = s;
      ByteReader r(cut);
      size_t size = 12345;
      EXPECT_FALSE(s.Deserialize(r, size));
      EXPECT_TRUE(r.failed());
      EXPECT_EQ(size, 12345u);
      EXPECT_EQ(s, before);
    }
  }
}

TEST(WorkstationSettingsTest, ArbitraryBytesEitherReadCleanlyOrFail) {
  std::mt19937 rng(20240611);
  auto check = [](const Bytes& input) {
    WorkstationSettings s;
    ByteReader r(input);
    size_t size = 0;
    if (!s.Deserialize(r, size)) return;
    ASSERT_LE(size, input.size());
    ASSERT_EQ(size, r.position());
    ASSERT_EQ(s.Version, 7u);
    // What was read survives a round trip through the writer.
    const Bytes again = Write(s);
    WorkstationSettings t;
    ByteReader r2(again);
    size_t size2 = 0;
    ASSERT_TRUE(t.Deserialize(r2, size2));
    ASSERT_EQ(size2, again.size());
    ASSERT_EQ(t, s);
  };
  size_t successes = 0;
  for (int i = 0; i < 20000; ++i) {
    // Random bytes, biased towards zeros so that strings end and small versions occur.
    Bytes input(rng() % 160);
    for (auto& b : input) b = (rng() % 3 == 0) ? static_cast<uint8_t>(rng()) : 0;
    check(input);
    // Mutations of the golden records.
    Bytes m = (i % 2) ? kGoldenV7 : kGoldenV5;
    for (int k = 0; k < 1 + static_cast<int>(rng() % 4); ++k)
      m[rng() % m.size()] = static_cast<uint8_t>(rng());
    if (rng() % 2) m.resize(rng() % (m.size() + 1));
    check(m);
    WorkstationSettings s;
    ByteReader r(m);
    size_t size = 0;
    successes += s.Deserialize(r, size) ? 1 : 0;
  }
  // The mutations must exercise the success path too, or the round trip above proves little.
  EXPECT_GT(successes, 1000u);
  // Text without any terminator, and a huge buffer of it, fail without trouble.
  check(Bytes(100000, 0x41));
  WorkstationSettings s;
  const Bytes no_end(100000, 0x41);
  ByteReader r(no_end);
  size_t size = 0;
  EXPECT_FALSE(s.Deserialize(r, size));
}

class ReconcileIncomingTest : public ::testing::Test {
 protected:
  test::LogCapture logs_;
};

TEST_F(ReconcileIncomingTest, ConfigIpIsKeptWhenEmptyAndReportedWhenDifferent) {
  struct Row {
    const char* name;
    std::u16string current;
    std::u16string incoming;
    std::u16string result;
    std::vector<std::u16string> console;
  };
  const Row rows[] = {
      {"empty incoming keeps current",
       u"cfg1",
       u"",
       u"cfg1",
       {u"Err: 0x4000100B: New configuration data received from Configurator, but ConfigIP is "
        u"zero. We'll keep the current value.\n"}},
      {"letter case only", u"cfg1.local", u"CFG1.LOCAL", u"CFG1.LOCAL", {}},
      {"different",
       u"cfg1",
       u"cfg2",
       u"cfg2",
       {u"Err: 0x4000100B: New configuration data received from Configurator. New ConfigIP [cfg2] "
        u"is different from what we have now [cfg1]\n"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    logs_.Clear();
    WorkstationSettings current, incoming;
    current.ConfigIP = row.current;
    incoming.ConfigIP = row.incoming;
    ReconcileIncoming(current, incoming);
    EXPECT_EQ(incoming.ConfigIP, row.result);
    EXPECT_EQ(logs_.console(), row.console);
    const auto records = logs_.records();
    ASSERT_EQ(records.size(), row.console.size());
    for (const auto& rec : records) {
      EXPECT_EQ(rec.code, kStatusAuditMsg);
      EXPECT_EQ(rec.type, EVENTLOG_WARNING_TYPE);
    }
  }
  // Level 3: silent above that threshold.
  logs_.Clear();
  SetLogThreshold(4);
  WorkstationSettings current, incoming;
  current.ConfigIP = u"a";
  ReconcileIncoming(current, incoming);
  EXPECT_TRUE(logs_.console().empty());
  SetLogThreshold(3);
  incoming.ConfigIP = u"b";
  ReconcileIncoming(current, incoming);
  EXPECT_EQ(logs_.console().size(), 1u);
}

TEST_F(ReconcileIncomingTest, LocalChoicesSurviveTheConfigurator) {
  struct Row {
    const char* name;
    uint16_t cur_pref, in_pref, want_pref;
    std::u16string cur_sec, in_sec, want_sec;
    uint32_t cur_port, in_port, want_port;
  };
  const Row rows[] = {
      {"local 0 stays 0", 0, 1, 0, u"", u"sec-in", u"sec-in", 4483, 8080, 8080},
      {"local 1 takes incoming 0", 1, 0, 0, u"sec-local", u"sec-in", u"sec-local", 4483, 0, 4483},
      {"local 1 takes incoming 1", 1, 1, 1, u"sec-local", u"", u"sec-local", 5000, 0, 5000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    WorkstationSettings current, incoming;
    current.ConfigIP = incoming.ConfigIP = u"cfg";
    current.BroadcastTakesPref = row.cur_pref;
    incoming.BroadcastTakesPref = row.in_pref;
    current.SecConfigIP = row.cur_sec;
    incoming.SecConfigIP = row.in_sec;
    current.HTTPPort = row.cur_port;
    incoming.HTTPPort = row.in_port;
    incoming.BlankingText = u"from configurator";
    ReconcileIncoming(current, incoming);
    EXPECT_EQ(incoming.BroadcastTakesPref, row.want_pref);
    EXPECT_EQ(incoming.SecConfigIP, row.want_sec);
    EXPECT_EQ(incoming.HTTPPort, row.want_port);
    EXPECT_EQ(incoming.BlankingText, u"from configurator");
  }
  EXPECT_TRUE(logs_.console().empty());
}

}  // namespace
}  // namespace vorla
