// Reading the program file's version back from the file: the ELF note that every program carries
// (owner "Vorla", type 1, descriptor = major, minor, build, revision as little-endian 32-bit
// words). Only the headers and the note sections are read, never the whole file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/byte_reader.h"
#include "platform/posix/host_posix.h"

namespace vorla::platform {
namespace {

constexpr uint32_t kShtNote = 7;
constexpr uint32_t kPtNote = 4;
constexpr size_t kElfHeaderSize = 64;
constexpr size_t kSectionHeaderSize = 64;
constexpr size_t kProgramHeaderSize = 56;
// Header tables and note sections larger than this are not what we are looking for; refusing
// them keeps a hostile file from making us allocate by its length fields.
constexpr uint64_t kMaxTableBytes = 16u << 20;
constexpr uint64_t kMaxNoteBytes = 1u << 20;
constexpr uint32_t kVersionNoteType = 1;
constexpr uint8_t kVersionNoteOwner[] = {'V', 'o', 'r', 'l', 'a', 0};

class File {
 public:
  explicit File(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~File() {
    if (fd_ >= 0) close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // A regular file that could be opened; `size` is its length.
  bool Usable(uint64_t& size) const {
    struct stat st {};
    if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
  }

  // Exactly `n` bytes at `offset`.
  bool ReadAt(uint64_t offset, uint64_t n, std::vector<uint8_t>& out) const {
    out.assign(static_cast<size_t>(n), 0);
    size_t done = 0;
    while (done < out.size()) {
      const ssize_t r =
          pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      done += static_cast<size_t>(r);
    }
    return true;
  }

 private:
  int fd_;
};

// A region of the file given by a header: inside the file and of a size we accept.
bool RegionFits(uint64_t offset, uint64_t size, uint64_t file_size, uint64_t limit) {
  return size <= limit && offset <= file_size && size <= file_size - offset;
}

size_t AlignUp(size_t v, size_t align) { return (v + align - 1) / align * align; }

// Walks the notes of one note section or segment. Name and descriptor are each padded to
// `align` bytes, counted from the start of the note, as the ELF note format lays them out.
bool FindVersionNote(std::span<const uint8_t> notes, size_t align, FileVersion& version) {
  ByteReader r(notes);
  while (r.remaining() >= 12) {
    const size_t start = r.position();
    uint32_t name_size = 0, desc_size = 0, type = 0;
    r.U32(name_size);
    r.U32(desc_size);
    r.U32(type);
    ByteReader name = r.Sub(name_size);
    const size_t desc_offset = AlignUp(start + 12 + name_size, align);
    if (r.failed() || !r.Seek(desc_offset)) return false;
    ByteReader desc = r.Sub(desc_size);
    if (r.failed()) return false;
    if (type == kVersionNoteType && name_size == sizeof(kVersionNoteOwner) && desc_size == 16) {
      uint8_t owner[sizeof(kVersionNoteOwner)];
      name.Bytes(owner, sizeof(owner));
      if (std::memcmp(owner, kVersionNoteOwner, sizeof(owner)) == 0) {
        FileVersion v{};
        for (auto& word : v) desc.U32(word);
        if (desc.failed()) return false;
        version = v;
        return true;
      }
    }
    // Padding after the last note may be missing; then the walk simply ends.
    if (!r.Seek(AlignUp(desc_offset + desc_size, align))) return false;
  }
  return false;
}

bool SearchRegion(const File& file, uint64_t file_size, uint64_t offset, uint64_t size,
                  uint64_t align, FileVersion& version) {
  if (!RegionFits(offset, size, file_size, kMaxNoteBytes)) return false;
  std::vector<uint8_t> bytes;
  if (!file.ReadAt(offset, size, bytes)) return false;
  return FindVersionNote(bytes, align == 8 ? 8 : 4, version);
}

}  // namespace

bool ReadElfVersionNote(const std::string& path, FileVersion& version) {
  if (path.find('\0') != std::string::npos) return false;
  File file(path);
  uint64_t file_size = 0;
  std::vector<uint8_t> header;
  if (!file.Usable(file_size) || file_size < kElfHeaderSize ||
      !file.ReadAt(0, kElfHeaderSize, header))
    return false;

  ByteReader h(header);
  uint8_t ident[16] = {};
  h.Bytes(ident, sizeof(ident));
  // ELF magic, 64-bit class, little-endian data, current version.
  if (ident[0] != 0x7F || ident[1] != 'E' || ident[2] != 'L' || ident[3] != 'F' || ident[4] != 2 ||
      ident[5] != 1 || ident[6] != 1)
    return false;
  uint16_t e_type = 0, e_machine = 0, e_ehsize = 0, e_phentsize = 0, e_phnum = 0, e_shentsize = 0,
           e_shnum = 0, e_shstrndx = 0;
  uint32_t e_version = 0, e_flags = 0;
  uint64_t e_entry = 0, e_phoff = 0, e_shoff = 0;
  h.U16(e_type);
  h.U16(e_machine);
  h.U32(e_version);
  h.U64(e_entry);
  h.U64(e_phoff);
  h.U64(e_shoff);
  h.U32(e_flags);
  h.U16(e_ehsize);
  h.U16(e_phentsize);
  h.U16(e_phnum);
  h.U16(e_shentsize);
  h.U16(e_shnum);
  h.U16(e_shstrndx);
  if (h.failed()) return false;

  std::vector<uint8_t> table;
  if (e_shoff != 0) {
    if (e_shentsize < kSectionHeaderSize) return false;
    uint64_t count = e_shnum;
    if (count == 0) {
      // More sections than fit in 16 bits: the count is in the sh_size of section 0.
      if (!RegionFits(e_shoff, e_shentsize, file_size, kMaxTableBytes) ||
          !file.ReadAt(e_shoff, e_shentsize, table))
        return false;
      ByteReader s0(table);
      s0.Skip(32);
      s0.U64(count);
      if (s0.failed()) return false;
    }
    if (count > kMaxTableBytes / e_shentsize) return false;
    const uint64_t table_size = count * e_shentsize;
    if (!RegionFits(e_shoff, table_size, file_size, kMaxTableBytes) ||
        !file.ReadAt(e_shoff, table_size, table))
      return false;
    ByteReader t(table);
    for (uint64_t i = 0; i < count; ++i) {
      ByteReader s = t.Sub(e_shentsize);
      uint32_t sh_name = 0, sh_type = 0;
      uint64_t sh_flags = 0, sh_addr = 0, sh_offset = 0, sh_size = 0, sh_addralign = 0;
      s.U32(sh_name);
      s.U32(sh_type);
      s.U64(sh_flags);
      s.U64(sh_addr);
      s.U64(sh_offset);
      s.U64(sh_size);
      s.Skip(8);  // sh_link, sh_info
      s.U64(sh_addralign);
      if (s.failed()) return false;
      if (sh_type == kShtNote &&
          SearchRegion(file, file_size, sh_offset, sh_size, sh_addralign, version))
        return true;
    }
    return false;
  }

  // No section headers (stripped to the bone): the note segments still hold the notes.
  if (e_phoff == 0 || e_phentsize < kProgramHeaderSize) return false;
  const uint64_t table_size = uint64_t{e_phnum} * e_phentsize;
  if (!RegionFits(e_phoff, table_size, file_size, kMaxTableBytes) ||
      !file.ReadAt(e_phoff, table_size, table))
    return false;
  ByteReader t(table);
  for (uint16_t i = 0; i < e_phnum; ++i) {
    ByteReader p = t.Sub(e_phentsize);
    uint32_t p_type = 0, p_flags = 0;
    uint64_t p_offset = 0, p_vaddr = 0, p_paddr = 0, p_filesz = 0, p_memsz = 0, p_align = 0;
    p.U32(p_type);
    p.U32(p_flags);
    p.U64(p_offset);
    p.U64(p_vaddr);
    p.U64(p_paddr);
    p.U64(p_filesz);
    p.U64(p_memsz);
    p.U64(p_align);
    if (p.failed()) return false;
    if (p_type == kPtNote && SearchRegion(file, file_size, p_offset, p_filesz, p_align, version))
      return true;
  }
  return false;
}

}  // namespace vorla::platform
