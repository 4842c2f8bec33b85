// Private to the Linux platform layer: the allocation-free record writer for the crash path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorla::platform::posix {

// Copies the event-log folder into a static buffer for WriteEventRecordNoAlloc. Called when the
// crash handler is installed (and again by tests that move the folder).
void SnapshotEventLogFolder();

// Appends one record line; source and text are UTF-8. Async-signal-safe: no allocation, no lock.
bool WriteEventRecordNoAlloc(const char* source, uint16_t type, uint32_t code, const char* text,
                             int64_t now_seconds);

// Builds "<time>\t<source>\t<TYPE>\t0x%08X\t<text>\n" into out (text line breaks as "\n").
// Returns the length, or 0 when it does not fit in cap.
size_t BuildEventLine(char* out, size_t cap, int64_t now_seconds, const char* source,
                      size_t source_len, uint16_t type, uint32_t code, const char* text,
                      size_t text_len);

// The log file's path for `source` into out; false when it does not fit.
bool BuildLogPath(char* out, size_t cap, const char* folder, const char* source, size_t source_len);

}  // namespace vorla::platform::posix
