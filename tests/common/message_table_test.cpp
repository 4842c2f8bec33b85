#include "common/message_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/status_codes.h"
#include "common/text.h"

namespace vorla {
namespace {

TEST(MessageTableTest, HoldsEightySixEntriesInStrictlyAscendingOrder) {
  const auto table = MessageTable();
  ASSERT_EQ(table.size(), 86u);
  for (size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_NE(table[i].message, nullptr);
    EXPECT_NE(std::u16string_view(table[i].message), u"");
    if (i > 0) {
      EXPECT_LT(table[i - 1].code, table[i].code);
    }
    EXPECT_EQ(FindMessage(table[i].code), table[i].message);
    // Only success is 0; every other code is informational or an error.
    const uint32_t severity = table[i].code & 0xC0000000u;
    EXPECT_TRUE(table[i].code == 0 || severity == 0x40000000u || severity == 0xC0000000u);
  }
}

TEST(MessageTableTest, ExactTexts) {
  // Written out by hand from the list of codes, spelling mistakes included.
  const struct {
    uint32_t code;
    std::u16string_view message;
  } cases[] = {
      {0x00000000, u"Success."},
      {0x40000F02, u"The service was started successfully."},
      {0x40000F05, u"No config found. Creating/using default."},
      {0x40000FF1,
       u"The function completed successfully, but due to limited output space not all data could "
       u"be returned. Bigger output buffers may return all data."},
      {0x4000100B, u"Audit msg:"},
      {0xC0000E00, u"Runtime Exception."},
      {0xC0000FA0, u"Internal error:"},
      {0xC0000FA5, u"Failed to init the service:"},
      {0xC0000FAC, u"The AVI file is currently growing to large in size:"},
      {0xC0000FD3,
       u"Desktop lost. Either the user locked the desktop, or a lockout screensaver kicked in."},
      {0xC0000FE2,
       u"Network/process timeout. A valid result/response was not forthcoming with a reasonable "
       u"amount of time."},
      {0xC0000FF6, u"The buffer provided is to small."},
      {0xC0001013, u"The video file is currently growing to large in size:"},
      {0xC0001014, u"A nother running instance was detected."},
      {0xC000101E, u"Partial stream corruption. Opperation aborted."},
      {0xC000101F, u"Stream corruption. Opperation aborted."},
      {0xC0001020, u"SQL/DB operation error. Missing relation data (Tenant?)."},
      {0xC0001033, u"OS resource failuere."},
      {0xC0002000, u"Tarnel / Vorla DeviceMap error."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const char16_t* got = FindMessage(c.code);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::u16string_view(got), c.message) << ToUtf8(got);
  }
  // Gaps between codes and codes outside the table have no message.
  for (uint32_t code : {0x00000001u, 0x40000F00u, 0x40000F0Au, 0xC0000FA4u, 0xC0000FF5u,
                        0xC0002001u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(FindMessage(code), nullptr);
  }
}

TEST(MessageTableTest, ResourceTextAndRendering) {
  EXPECT_EQ(MessageResourceText(0xC0000FA0), u"Internal error: %1\r\n");
  EXPECT_EQ(MessageResourceText(0x40000F02), u"The service was started successfully. %1%0\r\n");
  EXPECT_EQ(MessageResourceText(0x00000000), u"Success. %1%0\r\n");
  EXPECT_EQ(MessageResourceText(0xC0000FA4), u"");

  const struct {
    const char* name;
    uint32_t code;
    std::u16string_view insertion;
    std::u16string_view expected;
  } cases[] = {
      {"internal error", 0xC0000FA0, u"x", u"Internal error: x"},
      {"service started", 0x40000F02, u"VorlaWS", u"The service was started successfully. VorlaWS"},
      {"empty insertion keeps the blank", 0x40000F05, u"",
       u"No config found. Creating/using default. "},
      {"insertion is not interpreted", 0x4000100B, u"50%0 %1 %%\r\n", u"Audit msg: 50%0 %1 %%\r\n"},
      {"unknown code shows the insertion alone", 0x12345678, u"only this", u"only this"},
      {"unknown code, empty insertion", 0xC0000FA4, u"", u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RenderEventMessage(c.code, c.insertion), c.expected);
  }
}

// Each named constant has an entry, and the constants name every entry: a mistyped constant or
// a lost table row shows here.
TEST(MessageTableTest, NamedConstantsCoverTheTable) {
  const uint32_t constants[] = {
      kStatusSuccess,
      kStatusServiceInstalled,
      kStatusServiceStarted,
      kStatusServiceStopped,
      kStatusServiceUninstalled,
      kStatusNoConfigUsingDefault,
      kStatusInvalidConfiguration,
      kStatusSessionTerminated,
      kStatusSessionStarted,
      kStatusNewConfiguration,
      kStatusMoreDataAvailable,
      kStatusConfigItemAdded,
      kStatusConfigItemRemoved,
      kStatusDependentModuleMissing,
      kStatusModuleNotInitialised,
      kStatusAuditMsg,
      kStatusCanceled,
      kStatusArchiveManagerBusy,
      kStatusSessionLocked,
      kStatusRuntimeException,
      kStatusResourceAllocationError,
      kStatusInternalError,
      kStatusTcpSendError,
      kStatusNoActiveConnection,
      kStatusNoRuleAction,
      kStatusServiceInitFailed,
      kStatusRecordingDbInitFailed,
      kStatusRecordingDbOperationProblem,
      kStatusNoFreeSpace,
      kStatusSessionError,
      kStatusRecordingDbFileMissing,
      kStatusAviFileProblem,
      kStatusAviFileTooLarge,
      kStatusSessionMissingOrCorrupt,
      kStatusDiskMaintenanceError,
      kStatusRecordingDbOverworked,
      kStatusPathInExclusiveUse,
      kStatusPathOnReadOnlyVolume,
      kStatusRecordingConnectionNotAuthorised,
      kStatusServerResponseTimeout,
      kStatusCompressFailed,
      kStatusCompressorInitFailed,
      kStatusDesktopLost,
      kStatusScreenCaptureInitFailed,
      kStatusConfigDbInitFailed,
      kStatusConfigDbBadData,
      kStatusTimeout,
      kStatusNoConfigurationDefined,
      kStatusNewClientRegistration,
      kStatusInvalidCredentials,
      kStatusInsufficientPrivileges,
      kStatusSecurityProviderError,
      kStatusAlreadyInRecordingState,
      kStatusNoActiveRecordingSession,
      kStatusConnectionAlreadyOpen,
      kStatusNoDataAvailable,
      kStatusServerNotFound,
      kStatusWorkstationNotFound,
      kStatusBufferTooSmall,
      kStatusAgentNotFound,
      kStatusDuplicateData,
      kStatusConfigUpdateFailed,
      kStatusAnotherConfiguratorOnLan,
      kStatusNotTriggeredToRecord,
      kStatusDecompressionError,
      kStatusNoKeyFrameFound,
      kStatusKeyFrameRequired,
      kStatusUnusableVolume,
      kStatusVideoFileProblem,
      kStatusVideoFileTooLarge,
      kStatusAnotherInstanceRunning,
      kStatusDataEncrypted,
      kStatusDecryptionError,
      kStatusDataCorrupted,
      kStatusTerminalServiceError,
      kStatusSqlError,
      kStatusSqlInitError,
      kStatusSqlOperationError,
      kStatusPartialStreamCorruption,
      kStatusStreamCorruption,
      kStatusSqlMissingRelationData,
      kStatusNotImplemented,
      kStatusActionDelayed,
      kStatusOsResourceFailure,
      kStatusHttpEventCallback,
      kStatusDeviceMapError,
  };
  std::set<uint32_t> distinct;
  for (uint32_t code : constants) {
    SCOPED_TRACE(code);
    EXPECT_NE(FindMessage(code), nullptr);
    distinct.insert(code);
  }
  EXPECT_EQ(distinct.size(), MessageTable().size());
  EXPECT_EQ(kStatusDesktopLost, 0xC0000FD3u);
  EXPECT_EQ(kStatusInternalError, 0xC0000FA0u);
}

}  // namespace
}  // namespace vorla
