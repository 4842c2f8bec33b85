#include "diag/zip_archive.h"

#include <zip.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "platform/file_system.h"

namespace vorla {
namespace {

constexpr int kMaxFolderDepth = 32;
constexpr zip_flags_t kNameFlags = ZIP_FL_ENC_UTF_8;

// An open archive: written out by Commit, otherwise discarded unchanged.
class OpenArchive {
 public:
  explicit OpenArchive(const std::u16string& path) {
    int error = 0;
    za_ = zip_open(ToUtf8(path).c_str(), 0, &error);
  }
  ~OpenArchive() {
    if (za_) zip_discard(za_);
  }
  OpenArchive(const OpenArchive&) = delete;
  OpenArchive& operator=(const OpenArchive&) = delete;

  zip_t* get() const { return za_; }
  bool Commit() {
    if (!za_ || zip_close(za_) != 0) return false;
    za_ = nullptr;
    return true;
  }

 private:
  zip_t* za_ = nullptr;
};

bool AddFile(zip_t* za, const std::u16string& file, const std::string& name) {
  zip_source_t* src = zip_source_file(za, ToUtf8(file).c_str(), 0, -1);
  if (!src) return false;
  if (zip_file_add(za, name.c_str(), src, kNameFlags | ZIP_FL_OVERWRITE) < 0) {
    zip_source_free(src);
    return false;
  }
  return true;
}

bool AddFolderEntry(zip_t* za, const std::string& name) {
  // A folder added before (by an earlier addition) is already there, which is fine.
  if (zip_name_locate(za, (name + "/").c_str(), kNameFlags) >= 0) return true;
  return zip_dir_add(za, name.c_str(), kNameFlags) >= 0;
}

void AddFolderContents(zip_t* za, const std::u16string& archive_path, const std::u16string& folder,
                       const std::string& name, int depth) {
  if (depth >= kMaxFolderDepth) return;
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(folder, entries)) return;
  for (const auto& e : entries) {
    const std::u16string path = folder + u"/" + e.name;
    const std::string entry_name = name + "/" + ToUtf8(e.name);
    if (e.kind == platform::EntryKind::kFolder) {
      if (AddFolderEntry(za, entry_name))
        AddFolderContents(za, archive_path, path, entry_name, depth + 1);
    } else if (e.kind == platform::EntryKind::kRegularFile) {
      // An unreadable file would make the whole archive fail to write at the end.
      if (!platform::CanReadRegularFile(path) || platform::IsSameFile(path, archive_path)) continue;
      AddFile(za, path, entry_name);
    }
  }
}

}  // namespace

bool AddPathToZipArchive(const std::u16string& archive_path, const std::u16string& path) {
  std::u16string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == u'/') trimmed.pop_back();
  const size_t slash = trimmed.rfind(u'/');
  const std::u16string base = slash == std::u16string::npos ? trimmed : trimmed.substr(slash + 1);
  if (base.empty() || base == u"." || base == u"..") return false;

  const platform::EntryKind kind = platform::GetEntryKind(trimmed);
  if (kind == platform::EntryKind::kRegularFile) {
    if (!platform::CanReadRegularFile(trimmed) || platform::IsSameFile(trimmed, archive_path))
      return false;
  } else if (kind != platform::EntryKind::kFolder) {
    return false;
  }

  OpenArchive archive(archive_path);
  if (!archive.get()) return false;
  const std::string name = ToUtf8(base);
  if (kind == platform::EntryKind::kRegularFile) {
    if (!AddFile(archive.get(), trimmed, name)) return false;
  } else {
    if (!AddFolderEntry(archive.get(), name)) return false;
    AddFolderContents(archive.get(), archive_path, trimmed, name, 1);
  }
  return archive.Commit();
}

}  // namespace vorla
