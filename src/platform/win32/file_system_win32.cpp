#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/win32/handle.h"

namespace vorla::platform {
namespace {

using win32::Handle;

// Ends a folder search on every path.
class FindHandle {
 public:
  explicit FindHandle(HANDLE h) : h_(h) {}
  ~FindHandle() {
    if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

// A security descriptor that lets this process's user, and no one else, at a new file. Built
// once per copy; without it (it cannot be built) the file gets the folder's default access.
class OwnerOnlyAccess {
 public:
  OwnerOnlyAccess() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    const bool have_user =
        size > 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    CloseHandle(token);
    if (!have_user) return;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    auto* acl = reinterpret_cast<ACL*>(acl_.data());
    // Protected, so that the folder's inheritable entries are not added to the one given here.
    ok_ = InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) &&
          AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) &&
          InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
          SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
          SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    attributes_ = {sizeof(attributes_), &descriptor_, FALSE};
  }
  OwnerOnlyAccess(const OwnerOnlyAccess&) = delete;
  OwnerOnlyAccess& operator=(const OwnerOnlyAccess&) = delete;
  SECURITY_ATTRIBUTES* get() { return ok_ ? &attributes_ : nullptr; }

 private:
  std::vector<unsigned char> user_;  // the TOKEN_USER with the SID the ACL points into
  std::vector<unsigned char> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool ok_ = false;
};

std::wstring Wide(std::u16string_view s) {
  return std::wstring(reinterpret_cast<const wchar_t*>(s.data()), s.size());
}

EntryKind KindOf(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kFolder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return EntryKind::kOther;
  return EntryKind::kRegularFile;
}

bool IsPlainFolder(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Opens whatever the path names, links followed, for attribute and identity queries only.
HANDLE OpenForQuery(const std::wstring& path) {
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Opens a regular file for reading. A named pipe opens without waiting and is refused by its
// type, so it never feeds or blocks a reader; folders do not open without backup semantics.
HANDLE OpenRegularForReading(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    return nullptr;
  }
  return h;
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Removes a file or a link (to a file or a folder) without touching what a link names. A
// read-only mark does not stand in the way, as it does not for an unlink elsewhere; when the
// removal fails anyway, the mark is put back.
bool RemoveEntry(const std::wstring& path, DWORD attributes) {
  if (IsPlainFolder(attributes)) return false;
  const bool read_only = attributes & FILE_ATTRIBUTE_READONLY;
  if (read_only) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  // A link to a folder is itself a (reparse) folder entry and goes the way folders go.
  const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                               : DeleteFileW(path.c_str());
  if (!removed && read_only) SetFileAttributesW(path.c_str(), attributes);
  return removed;
}

bool WriteAll(HANDLE h, const unsigned char* data, DWORD n) {
  while (n > 0) {
    DWORD written = 0;
    if (!WriteFile(h, data, n, &written, nullptr) || written == 0) return false;
    data += written;
    n -= written;
  }
  return true;
}

}  // namespace

bool ListFolder(const std::u16string& folder, std::vector<FolderEntry>& out) {
  out.clear();
  std::wstring pattern = Wide(folder);
  if (pattern.empty()) return false;
  if (pattern.back() != L'/' && pattern.back() != L'\\') pattern += L'/';
  pattern += L'*';
  WIN32_FIND_DATAW data{};
  FindHandle find(
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
  if (!find.valid()) return false;
  do {
    const std::wstring_view name(data.cFileName);
    if (name == L"." || name == L"..") continue;
    FolderEntry entry;
    entry.name.assign(name.begin(), name.end());
    // Symbolic links and junctions are reported as links and not followed; other reparse points
    // (placeholders of synchronised folders, deduplicated files) are what they stand for.
    const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                      IsReparseTagNameSurrogate(data.dwReserved0);
    entry.kind = link ? EntryKind::kSymlink : KindOf(data.dwFileAttributes);
    out.push_back(std::move(entry));
  } while (FindNextFileW(find.get(), &data));
  return ::GetLastError() == ERROR_NO_MORE_FILES;
}

EntryKind GetEntryKind(const std::u16string& path) {
  const std::wstring p = Wide(path);
  const DWORD attributes = GetFileAttributesW(p.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::kMissing;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return KindOf(attributes);
  // A link: the kind of what it names; a dangling link names nothing.
  Handle h(OpenForQuery(p));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!h.valid() || !GetFileInformationByHandle(h.get(), &info)) return EntryKind::kMissing;
  if (GetFileType(h.get()) != FILE_TYPE_DISK) return EntryKind::kOther;
  return KindOf(info.dwFileAttributes);
}

bool CanReadRegularFile(const std::u16string& path) {
  return Handle(OpenRegularForReading(Wide(path))).valid();
}

bool CopyRegularFile(const std::u16string& from, const std::u16string& to, CopyMode mode) {
  const std::wstring dst = Wide(to);
  Handle in(OpenRegularForReading(Wide(from)));
  if (!in.valid()) return false;
  if (mode == CopyMode::kReplace) {
    const DWORD attributes = GetFileAttributesW(dst.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      // A copy onto the source itself would remove the only copy of the bytes; it already is
      // what the copy would make.
      Handle existing(OpenForQuery(dst));
      BY_HANDLE_FILE_INFORMATION a{}, b{};
      if (existing.valid() && GetFileInformationByHandle(in.get(), &a) &&
          GetFileInformationByHandle(existing.get(), &b) && SameIdentity(a, b) &&
          !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
      existing.Close();
      // A folder in the way is not ours to remove; the create below then fails.
      RemoveEntry(dst, attributes);
    }
  }
  OwnerOnlyAccess access;
  Handle out(CreateFileW(dst.c_str(), GENERIC_WRITE, 0, access.get(), CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out.valid()) return false;
  bool ok = true;
  std::vector<unsigned char> buf(65536);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in.get(), buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    if (!WriteAll(out.get(), buf.data(), got)) {
      ok = false;
      break;
    }
  }
  in.Close();
  if (!out.Close()) ok = false;
  if (!ok) DeleteFileW(dst.c_str());
  return ok;
}

bool IsSameFile(const std::u16string& a, const std::u16string& b) {
  Handle ha(OpenForQuery(Wide(a)));
  Handle hb(OpenForQuery(Wide(b)));
  BY_HANDLE_FILE_INFORMATION ia{}, ib{};
  return ha.valid() && hb.valid() && GetFileInformationByHandle(ha.get(), &ia) &&
         GetFileInformationByHandle(hb.get(), &ib) && SameIdentity(ia, ib);
}

bool RemoveFile(const std::u16string& path) {
  const std::wstring p = Wide(path);
  const DWORD attributes = GetFileAttributesW(p.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && RemoveEntry(p, attributes);
}

}  // namespace vorla::platform
