// Status codes: the result values functions return to one another and the event identifiers of
// the records that report them. Bits 31-30 are the severity (01 informational, 11 error).
#pragma once

#include <cstdint>

namespace vorla {

using Status = uint32_t;

// One constant per entry of the message table (common/message_table.h), in the same order.
inline constexpr Status kStatusSuccess = 0x00000000;

// Informational codes.
inline constexpr Status kStatusServiceInstalled = 0x40000F01;
inline constexpr Status kStatusServiceStarted = 0x40000F02;
inline constexpr Status kStatusServiceStopped = 0x40000F03;
inline constexpr Status kStatusServiceUninstalled = 0x40000F04;
inline constexpr Status kStatusNoConfigUsingDefault = 0x40000F05;
inline constexpr Status kStatusInvalidConfiguration = 0x40000F06;
inline constexpr Status kStatusSessionTerminated = 0x40000F07;
inline constexpr Status kStatusSessionStarted = 0x40000F08;
inline constexpr Status kStatusNewConfiguration = 0x40000F09;
inline constexpr Status kStatusMoreDataAvailable = 0x40000FF1;
inline constexpr Status kStatusConfigItemAdded = 0x40001001;
inline constexpr Status kStatusConfigItemRemoved = 0x40001002;
inline constexpr Status kStatusDependentModuleMissing = 0x40001003;
inline constexpr Status kStatusModuleNotInitialised = 0x40001004;
inline constexpr Status kStatusAuditMsg = 0x4000100B;
inline constexpr Status kStatusCanceled = 0x4000100F;
inline constexpr Status kStatusArchiveManagerBusy = 0x40001010;
inline constexpr Status kStatusSessionLocked = 0x40001011;

// Error codes.
inline constexpr Status kStatusRuntimeException = 0xC0000E00;
inline constexpr Status kStatusResourceAllocationError = 0xC0000E01;
inline constexpr Status kStatusInternalError = 0xC0000FA0;
inline constexpr Status kStatusTcpSendError = 0xC0000FA1;
inline constexpr Status kStatusNoActiveConnection = 0xC0000FA2;
inline constexpr Status kStatusNoRuleAction = 0xC0000FA3;
inline constexpr Status kStatusServiceInitFailed = 0xC0000FA5;
inline constexpr Status kStatusRecordingDbInitFailed = 0xC0000FA6;
inline constexpr Status kStatusRecordingDbOperationProblem = 0xC0000FA7;
inline constexpr Status kStatusNoFreeSpace = 0xC0000FA8;
inline constexpr Status kStatusSessionError = 0xC0000FA9;
inline constexpr Status kStatusRecordingDbFileMissing = 0xC0000FAA;
inline constexpr Status kStatusAviFileProblem = 0xC0000FAB;
inline constexpr Status kStatusAviFileTooLarge = 0xC0000FAC;
inline constexpr Status kStatusSessionMissingOrCorrupt = 0xC0000FAD;
inline constexpr Status kStatusDiskMaintenanceError = 0xC0000FAE;
inline constexpr Status kStatusRecordingDbOverworked = 0xC0000FAF;
inline constexpr Status kStatusPathInExclusiveUse = 0xC0000FB0;
inline constexpr Status kStatusPathOnReadOnlyVolume = 0xC0000FB1;
inline constexpr Status kStatusRecordingConnectionNotAuthorised = 0xC0000FC0;
inline constexpr Status kStatusServerResponseTimeout = 0xC0000FC1;
inline constexpr Status kStatusCompressFailed = 0xC0000FD1;
inline constexpr Status kStatusCompressorInitFailed = 0xC0000FD2;
inline constexpr Status kStatusDesktopLost = 0xC0000FD3;
inline constexpr Status kStatusScreenCaptureInitFailed = 0xC0000FD4;
inline constexpr Status kStatusConfigDbInitFailed = 0xC0000FE0;
inline constexpr Status kStatusConfigDbBadData = 0xC0000FE1;
inline constexpr Status kStatusTimeout = 0xC0000FE2;
inline constexpr Status kStatusNoConfigurationDefined = 0xC0000FE3;
inline constexpr Status kStatusNewClientRegistration = 0xC0000FE4;
inline constexpr Status kStatusInvalidCredentials = 0xC0000FE5;
inline constexpr Status kStatusInsufficientPrivileges = 0xC0000FE6;
inline constexpr Status kStatusSecurityProviderError = 0xC0000FE7;
inline constexpr Status kStatusAlreadyInRecordingState = 0xC0000FE8;
inline constexpr Status kStatusNoActiveRecordingSession = 0xC0000FE9;
inline constexpr Status kStatusConnectionAlreadyOpen = 0xC0000FF0;
inline constexpr Status kStatusNoDataAvailable = 0xC0000FF2;
inline constexpr Status kStatusServerNotFound = 0xC0000FF3;
inline constexpr Status kStatusWorkstationNotFound = 0xC0000FF4;
inline constexpr Status kStatusBufferTooSmall = 0xC0000FF6;
inline constexpr Status kStatusAgentNotFound = 0xC0000FFD;
inline constexpr Status kStatusDuplicateData = 0xC0000FFE;
inline constexpr Status kStatusConfigUpdateFailed = 0xC0000FFF;
inline constexpr Status kStatusAnotherConfiguratorOnLan = 0xC0001007;
inline constexpr Status kStatusNotTriggeredToRecord = 0xC0001009;
inline constexpr Status kStatusDecompressionError = 0xC000100A;
inline constexpr Status kStatusNoKeyFrameFound = 0xC000100C;
inline constexpr Status kStatusKeyFrameRequired = 0xC000100D;
inline constexpr Status kStatusUnusableVolume = 0xC000100E;
inline constexpr Status kStatusVideoFileProblem = 0xC0001012;
inline constexpr Status kStatusVideoFileTooLarge = 0xC0001013;
inline constexpr Status kStatusAnotherInstanceRunning = 0xC0001014;
inline constexpr Status kStatusDataEncrypted = 0xC0001015;
inline constexpr Status kStatusDecryptionError = 0xC0001016;
inline constexpr Status kStatusDataCorrupted = 0xC0001017;
inline constexpr Status kStatusTerminalServiceError = 0xC0001018;
inline constexpr Status kStatusSqlError = 0xC0001019;
inline constexpr Status kStatusSqlInitError = 0xC000101C;
inline constexpr Status kStatusSqlOperationError = 0xC000101D;
inline constexpr Status kStatusPartialStreamCorruption = 0xC000101E;
inline constexpr Status kStatusStreamCorruption = 0xC000101F;
inline constexpr Status kStatusSqlMissingRelationData = 0xC0001020;
inline constexpr Status kStatusNotImplemented = 0xC000102F;
inline constexpr Status kStatusActionDelayed = 0xC0001030;
inline constexpr Status kStatusOsResourceFailure = 0xC0001033;
inline constexpr Status kStatusHttpEventCallback = 0xC0001034;
inline constexpr Status kStatusDeviceMapError = 0xC0002000;

inline constexpr bool IsFailure(Status s) { return (s & 0xC0000000u) == 0xC0000000u; }

// Event types of event-log records.
inline constexpr uint16_t EVENTLOG_ERROR_TYPE = 1;
inline constexpr uint16_t EVENTLOG_WARNING_TYPE = 2;
inline constexpr uint16_t EVENTLOG_INFORMATION_TYPE = 4;
inline constexpr uint16_t EVENTLOG_AUDIT_SUCCESS = 8;

}  // namespace vorla
