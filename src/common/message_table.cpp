// The message table: the texts the event viewer shows for each status code. The texts are the
// system's own, word for word (their spelling included); only the insertion and end marks are
// added when the resource text is built.
#include "common/message_table.h"

#include <algorithm>

#include "common/status_codes.h"

namespace vorla {
namespace {

// Ascending by code; FindMessage relies on that order.
constexpr MessageEntry kMessages[] = {
    {0x00000000, u"Success."},
    {0x40000F01, u"The service was installed successfully."},
    {0x40000F02, u"The service was started successfully."},
    {0x40000F03, u"The service was stopped successfully."},
    {0x40000F04, u"The service was successfully uninstalled."},
    {0x40000F05, u"No config found. Creating/using default."},
    {0x40000F06, u"Invalid configuration."},
    {0x40000F07, u"The current session was terminated."},
    {0x40000F08, u"A new session was successfully started."},
    {0x40000F09, u"New configuration received."},
    {0x40000FF1,
     u"The function completed successfully, but due to limited output space not all data could be "
     u"returned. Bigger output buffers may return all data."},
    {0x40001001, u"Configuration item added."},
    {0x40001002, u"Configuration item removed."},
    {0x40001003, u"One or more dependent module(s) could not be found or loaded."},
    {0x40001004, u"The module is not initialised."},
    {0x4000100B, u"Audit msg:"},
    {0x4000100F, u"Canceled."},
    {0x40001010,
     u"The archive manager for the server is already busy with another archive request. Try again "
     u"later."},
    {0x40001011, u"Session is locked."},
    {0xC0000E00, u"Runtime Exception."},
    {0xC0000E01, u"Resource allocation error."},
    {0xC0000FA0, u"Internal error:"},
    {0xC0000FA1, u"Error sending TCP message to host:"},
    {0xC0000FA2, u"No active connection could be opened/exist to host:"},
    {0xC0000FA3, u"There is no rule action to execute:"},
    {0xC0000FA5, u"Failed to init the service:"},
    {0xC0000FA6, u"Failed to init the recording database:"},
    {0xC0000FA7, u"Problem with recording database operation:"},
    {0xC0000FA8, u"No free space left on volume:"},
    {0xC0000FA9, u"Error with session:"},
    {0xC0000FAA, u"The recording database file doesn't exist:"},
    {0xC0000FAB, u"Problem with AVI file:"},
    {0xC0000FAC, u"The AVI file is currently growing to large in size:"},
    {0xC0000FAD, u"The session referred to does not exist or is corrupt:"},
    {0xC0000FAE, u"Error with disk space maintenance:"},
    {0xC0000FAF,
     u"The recording database is overworked, and can not keep up with the workload expected. The "
     u"requested operation will not be accepted."},
    {0xC0000FB0, u"The specified path/folder is in exclusive use by the recording database."},
    {0xC0000FB1,
     u"The specified path/folder is a readonly (mounted) volume and in use by the recording "
     u"database."},
    {0xC0000FC0, u"Incoming Recording connection is not authorised:"},
    {0xC0000FC1, u"The server did not respond in a timely manner:"},
    {0xC0000FD1, u"Failed to compress the given video data:"},
    {0xC0000FD2,
     u"Failed to initialize compressor. Ensure that a valid FCC handler was specified, and that "
     u"all required codecs are installed and valid for use."},
    {0xC0000FD3,
     u"Desktop lost. Either the user locked the desktop, or a lockout screensaver kicked in."},
    {0xC0000FD4,
     u"Failed to initiate screen capture due to GDI restrictions (screen settings or resources)."},
    {0xC0000FE0, u"Failed to initialize Configuration Database. Valid path provided?"},
    {0xC0000FE1, u"Bad data provided to config DB for processing."},
    {0xC0000FE2,
     u"Network/process timeout. A valid result/response was not forthcoming with a reasonable "
     u"amount of time."},
    {0xC0000FE3,
     u"There is no defined configuration available for the given agent/workstation/server."},
    {0xC0000FE4, u"Network registration received from new client object."},
    {0xC0000FE5, u"The given user name and password is not valid."},
    {0xC0000FE6,
     u"The given user does not have the privileges to access the requested function(s)."},
    {0xC0000FE7, u"Error using/Initiating the built in security provider."},
    {0xC0000FE8,
     u"The workstation is already in the requested recording state due to a previous trigger "
     u"request."},
    {0xC0000FE9, u"There is currently no active recording session."},
    {0xC0000FF0, u"There is already a current connection open."},
    {0xC0000FF2, u"No data available."},
    {0xC0000FF3, u"The given server could not be found."},
    {0xC0000FF4, u"The given workstation could not be found."},
    {0xC0000FF6, u"The buffer provided is to small."},
    {0xC0000FFD, u"The given agent could not be found."},
    {0xC0000FFE, u"Duplicate data."},
    {0xC0000FFF, u"Failed to update configuration."},
    {0xC0001007,
     u"Another Configurator was detected on the LAN. Only one instance of the Configurator may be "
     u"active on the LAN at any one time."},
    {0xC0001009, u"The workstation is not currently triggered to record."},
    {0xC000100A, u"Codec decompression error."},
    {0xC000100C, u"No key-frame could be found in the video sequence."},
    {0xC000100D, u"A keyframe is required."},
    {0xC000100E, u"Unusable volume."},
    {0xC0001012, u"Problem with video file:"},
    {0xC0001013, u"The video file is currently growing to large in size:"},
    {0xC0001014, u"A nother running instance was detected."},
    {0xC0001015, u"Data is encrypted."},
    {0xC0001016, u"Decryption error."},
    {0xC0001017, u"Data corrupted."},
    {0xC0001018, u"Terminal Service error acquiring data."},
    {0xC0001019, u"SQL error."},
    {0xC000101C, u"SQL/DB initiation error."},
    {0xC000101D, u"SQL/DB operation error."},
    {0xC000101E, u"Partial stream corruption. Opperation aborted."},
    {0xC000101F, u"Stream corruption. Opperation aborted."},
    {0xC0001020, u"SQL/DB operation error. Missing relation data (Tenant?)."},
    {0xC000102F, u"Not implemented."},
    {0xC0001030, u"Action delayed or can not be executed at this time."},
    {0xC0001033, u"OS resource failuere."},
    {0xC0001034, u"HTTP Event callback."},
    {0xC0002000, u"Tarnel / Vorla DeviceMap error."},
};

}  // namespace

std::span<const MessageEntry> MessageTable() { return kMessages; }

const char16_t* FindMessage(uint32_t code) {
  const auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                                   [](const MessageEntry& e, uint32_t c) { return e.code < c; });
  return it != std::end(kMessages) && it->code == code ? it->message : nullptr;
}

std::u16string MessageResourceText(uint32_t code) {
  const char16_t* message = FindMessage(code);
  if (message == nullptr) return {};
  std::u16string text(message);
  // The generic internal error ends its message with the insertion and a line break; every other
  // entry ends with %0, which keeps the event viewer from adding a line break.
  text += code == kStatusInternalError ? u" %1\r\n" : u" %1%0\r\n";
  return text;
}

std::u16string RenderEventMessage(uint32_t code, std::u16string_view insertion) {
  const std::u16string resource = MessageResourceText(code);
  if (resource.empty()) return std::u16string(insertion);
  std::u16string out;
  out.reserve(resource.size() + insertion.size());
  // The message-text escapes the table uses: %1 the insertion, %0 the end, %% one percent sign.
  // The insertion itself is not interpreted.
  for (size_t i = 0; i < resource.size(); ++i) {
    if (resource[i] == u'%' && i + 1 < resource.size()) {
      const char16_t next = resource[i + 1];
      if (next == u'0') return out;
      if (next == u'1') {
        out += insertion;
        ++i;
        continue;
      }
      if (next == u'%') {
        out += u'%';
        ++i;
        continue;
      }
    }
    out += resource[i];
  }
  if (out.ends_with(u"\r\n")) out.resize(out.size() - 2);
  return out;
}

}  // namespace vorla
