#include <aclapi.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/win32/handle.h"

namespace vorla::platform {
namespace {

using win32::Handle;

// The attributes SetFileAttributesW can give a file back.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_TEMPORARY;

// How often a replace is tried while a reader briefly holds the target without sharing its
// deletion, and the pause before each new try.
constexpr int kReplaceAttempts = 5;
constexpr DWORD kReplaceRetryPauseMs = 20;

std::wstring Wide(std::u16string_view s) {
  return std::wstring(reinterpret_cast<const wchar_t*>(s.data()), s.size());
}

HANDLE OpenFollowingLinks(const std::wstring& path, DWORD access) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The attributes of what the path names, links followed; false when it names nothing.
bool AttributesOf(const std::wstring& path, DWORD& attributes) {
  attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  Handle h(OpenFollowingLinks(path, 0));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!h.valid() || !GetFileInformationByHandle(h.get(), &info)) return false;
  attributes = info.dwFileAttributes;
  return true;
}

// A name next to the target that no other writer (thread or process) picks at the same time.
std::wstring TempNameFor(const std::wstring& path) {
  static std::atomic<uint64_t> counter{0};
  return path + L".tmp." + std::to_wstring(GetCurrentProcessId()) + L"." +
         std::to_wstring(counter.fetch_add(1));
}

bool WriteAll(HANDLE h, const uint8_t* data, size_t n) {
  while (n > 0) {
    const DWORD chunk = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    DWORD written = 0;
    if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    n -= written;
  }
  return true;
}

bool BusyError(DWORD e) {
  return e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION || e == ERROR_ACCESS_DENIED;
}

// Gives the new file the access rules of the file it replaces (as far as this process may read
// and set them; a file without any of its own simply inherits from the folder as the old one did).
void CopyAccessRules(const std::wstring& from, HANDLE to) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(from.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    const SECURITY_INFORMATION protection = (control & SE_DACL_PROTECTED)
                                                ? PROTECTED_DACL_SECURITY_INFORMATION
                                                : UNPROTECTED_DACL_SECURITY_INFORMATION;
    SetSecurityInfo(to, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | protection, nullptr, nullptr,
                    dacl, nullptr);
  }
  LocalFree(descriptor);
}

// FileRenameInfoEx; the headers name it only for newer targets than the one we build for, and
// older systems refuse it as an unknown class, which RenameOver handles.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// Renames over the target with the rename that also replaces a file other processes hold open
// (with deletion shared, as our own readers do): on NTFS since Windows 10 1709. 0, or the
// system's error where the rename or the system refuses it.
DWORD RenameOverWithPosixSemantics(const std::wstring& temp, const std::wstring& target) {
  Handle h(CreateFileW(temp.c_str(), DELETE | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return ::GetLastError();
  const size_t name_bytes = target.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name_bytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name_bytes);
  std::memcpy(info->FileName, target.data(), name_bytes);
  if (SetFileInformationByHandle(h.get(), kFileRenameInfoEx, info,
                                 static_cast<DWORD>(buffer.size())))
    return 0;
  return ::GetLastError();
}

bool Unsupported(DWORD e) {
  return e == ERROR_INVALID_PARAMETER || e == ERROR_NOT_SUPPORTED || e == ERROR_INVALID_FUNCTION;
}

// Renames `temp` over `target` in one step: the name never stands empty or half written (unlike
// ReplaceFileW, which on some systems moves the old file away first). Where the rename above is
// not available, a plain rename cannot replace a file that a reader holds open. Either is tried
// again a few times while the target is busy; then the replacement fails with the target
// untouched.
bool RenameOver(const std::wstring& temp, const std::wstring& target) {
  bool posix_rename = true;
  for (int attempt = 1;; ++attempt) {
    DWORD e = 0;
    if (posix_rename) {
      e = RenameOverWithPosixSemantics(temp, target);
      if (e == 0) return true;
      posix_rename = !Unsupported(e);
    }
    if (!posix_rename) {
      if (MoveFileExW(temp.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
      e = ::GetLastError();
    }
    if (!BusyError(e) || attempt == kReplaceAttempts) return false;
    Sleep(kReplaceRetryPauseMs);
  }
}

}  // namespace

FileReadResult ReadWholeFile(const std::u16string& path, std::vector<uint8_t>& out, uint64_t& size,
                             uint64_t max_size) {
  out.clear();
  size = 0;
  // A named pipe opens without waiting for its server to write, and is refused by its type.
  Handle h(CreateFileW(Wide(path).c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!h.valid()) return FileReadResult::kCannotOpen;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(h.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return FileReadResult::kCannotOpen;
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(h.get(), &length)) return FileReadResult::kCannotOpen;
  size = static_cast<uint64_t>(length.QuadPart);
  if (size > max_size) return FileReadResult::kReadFailed;
  out.resize(static_cast<size_t>(size));
  size_t got = 0;
  while (got < out.size()) {
    const size_t left = out.size() - got;
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD r = 0;
    if (!ReadFile(h.get(), out.data() + got, chunk, &r, nullptr)) {
      out.clear();
      return FileReadResult::kReadFailed;
    }
    if (r == 0) break;
    got += r;
  }
  if (got != out.size()) {  // the file shrank while we read it
    out.clear();
    return FileReadResult::kReadFailed;
  }
  return FileReadResult::kOk;
}

bool ReplaceFileContents(const std::u16string& path, std::span<const uint8_t> bytes) {
  const std::wstring target = Wide(path);
  if (target.empty()) return false;
  DWORD old_attributes = 0;
  const bool had_old = AttributesOf(target, old_attributes);
  if (had_old && (old_attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
    return false;

  std::wstring temp;
  Handle file(nullptr);
  for (int attempt = 0; attempt < 8 && !file.valid(); ++attempt) {
    temp = TempNameFor(target);
    file.Adopt(CreateFileW(temp.c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid() && ::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (!file.valid()) return false;

  if (had_old) CopyAccessRules(target, file.get());
  bool ok = WriteAll(file.get(), bytes.data(), bytes.size());
  ok = ok && FlushFileBuffers(file.get());
  ok = file.Close() && ok;
  // The new file carries the old one's marks (read-only, hidden...) from the start. A read-only
  // target cannot be renamed over, so its mark is lifted just before and put back on failure.
  const DWORD marks = old_attributes & kSettableAttributes;
  const bool read_only = had_old && (old_attributes & FILE_ATTRIBUTE_READONLY);
  if (ok && had_old && marks != 0) ok = SetFileAttributesW(temp.c_str(), marks) != FALSE;
  if (ok && read_only)
    ok = SetFileAttributesW(target.c_str(), (marks & ~FILE_ATTRIBUTE_READONLY)
                                                ? marks & ~FILE_ATTRIBUTE_READONLY
                                                : FILE_ATTRIBUTE_NORMAL) != FALSE;
  if (ok && !RenameOver(temp, target)) {
    ok = false;
    if (read_only) SetFileAttributesW(target.c_str(), marks);
  }
  if (!ok) {
    SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only temp file stays put
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

bool FileExists(const std::u16string& path) {
  DWORD attributes = 0;
  return AttributesOf(Wide(path), attributes) && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileIsReadOnly(const std::u16string& path) {
  DWORD attributes = 0;
  return AttributesOf(Wide(path), attributes) && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         (attributes & FILE_ATTRIBUTE_READONLY);
}

bool MakeFileWritable(const std::u16string& path) {
  const std::wstring p = Wide(path);
  DWORD attributes = 0;
  if (!AttributesOf(p, attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  if (!(attributes & FILE_ATTRIBUTE_READONLY)) return true;
  // Through a handle, so that a link's target is changed rather than the link. Zero attributes
  // would mean "leave them as they are".
  Handle h(OpenFollowingLinks(p, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES));
  FILE_BASIC_INFO basic{};
  if (!h.valid() || !GetFileInformationByHandleEx(h.get(), FileBasicInfo, &basic, sizeof(basic)))
    return false;
  basic.FileAttributes &= ~FILE_ATTRIBUTE_READONLY;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(h.get(), FileBasicInfo, &basic, sizeof(basic)) != FALSE;
}

}  // namespace vorla::platform
