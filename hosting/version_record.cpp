#include "hosting/version_record.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace hosting {
namespace {

constexpr std::string_view kNoteName = "Pictoss";
constexpr std::uint32_t kVersionNoteType = 1;

// A bounds-checked read of a T at offset; nothing past the end of the file.
template <class T>
std::optional<T> ReadAt(std::string_view file, std::uint64_t offset) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) return std::nullopt;
  T value;
  std::memcpy(&value, file.data() + offset, sizeof(T));
  return value;
}

std::uint64_t Align4(std::uint64_t n) {
  return (n + 3) & ~std::uint64_t{3};
}

// The descriptor of the version note in one note section, if it has one.
std::optional<std::string_view> FindInNotes(std::string_view notes) {
  std::uint64_t at = 0;
  while (auto header = ReadAt<Elf64_Nhdr>(notes, at)) {
    std::uint64_t name = at + sizeof(Elf64_Nhdr);
    std::uint64_t desc = name + Align4(header->n_namesz);
    std::uint64_t next = desc + Align4(header->n_descsz);
    if (next > notes.size()) return std::nullopt;
    std::string_view noteName = notes.substr(name, header->n_namesz);
    if (!noteName.empty() && noteName.back() == '\0') noteName.remove_suffix(1);
    if (noteName == kNoteName && header->n_type == kVersionNoteType) {
      return notes.substr(desc, header->n_descsz);
    }
    at = next;
  }
  return std::nullopt;
}

// Walks the section headers of a 32- or 64-bit ELF file for note sections.
template <class Ehdr, class Shdr>
std::optional<std::string_view> FindVersionNote(std::string_view file) {
  auto ehdr = ReadAt<Ehdr>(file, 0);
  if (!ehdr || ehdr->e_shentsize != sizeof(Shdr)) return std::nullopt;
  for (std::uint64_t i = 0; i < ehdr->e_shnum; ++i) {
    auto shdr = ReadAt<Shdr>(file, ehdr->e_shoff + i * sizeof(Shdr));
    if (!shdr) return std::nullopt;
    if (shdr->sh_type != SHT_NOTE) continue;
    if (shdr->sh_offset > file.size() || file.size() - shdr->sh_offset < shdr->sh_size) continue;
    if (auto found = FindInNotes(file.substr(shdr->sh_offset, shdr->sh_size))) return found;
  }
  return std::nullopt;
}

// The whole content of a regular file of at most kMaxModuleBytes, or nothing with *why.
std::optional<std::string> ReadModuleFile(const std::string& path, std::string* why) {
  // Not blocking: a FIFO opens at once, and is then refused for what it is.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::optional<std::string> bytes;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *why = "cannot read " + path + ": " + std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    *why = path + " is a folder, not a module";
  } else if (!S_ISREG(st.st_mode)) {
    *why = path + " is not a regular file";
  } else if (static_cast<std::uintmax_t>(st.st_size) > kMaxModuleBytes) {
    *why = path + " is too large for a module (" + std::to_string(st.st_size) + " bytes)";
  } else {
    // At most the size that fstat saw, should the file grow meanwhile.
    bytes.emplace(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes->size()) {
      const ssize_t n = read(fd, bytes->data() + done, bytes->size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    bytes->resize(done);
  }
  close(fd);
  return bytes;
}

}  // namespace

std::optional<VersionRecord> ReadVersionRecord(const std::filesystem::path& module,
                                               std::string* why) {
  const std::optional<std::string> bytes = ReadModuleFile(module.string(), why);
  if (!bytes) return std::nullopt;
  auto record = ParseVersionRecord(*bytes, why);
  if (!record) *why = module.string() + " " + *why;
  return record;
}

std::optional<VersionRecord> ParseVersionRecord(std::string_view file, std::string* why) {
  if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0 ||
      file[EI_DATA] != ELFDATA2LSB) {
    *why = "is not a module";
    return std::nullopt;
  }
  auto note = file[EI_CLASS] == ELFCLASS64 ? FindVersionNote<Elf64_Ehdr, Elf64_Shdr>(file)
                                           : FindVersionNote<Elf32_Ehdr, Elf32_Shdr>(file);
  if (!note) {
    *why = "has no version record";
    return std::nullopt;
  }
  VersionRecord record;
  std::string_view entries = *note;
  while (!entries.empty()) {
    std::size_t end = entries.find('\0');
    std::string_view entry = entries.substr(0, end);
    if (!entry.empty()) {
      std::size_t eq = entry.find('=');
      record.emplace_back(entry.substr(0, eq),
                          eq == std::string_view::npos ? "" : entry.substr(eq + 1));
    }
    if (end == std::string_view::npos) break;
    entries.remove_prefix(end + 1);
  }
  return record;
}

std::string VersionValue(const VersionRecord& record, const std::string& key) {
  for (const auto& [k, v] : record) {
    if (k == key) return v;
  }
  return "";
}

}  // namespace hosting
