#include "hosting/version_record.h"

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
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

}  // namespace

std::optional<VersionRecord> ReadVersionRecord(const std::filesystem::path& module,
                                               std::string* why) {
  std::ifstream in(module, std::ios::binary);
  if (!in) {
    *why = "cannot read " + module.string();
    return std::nullopt;
  }
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string_view file = bytes;
  if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0 ||
      file[EI_DATA] != ELFDATA2LSB) {
    *why = module.string() + " is not a module";
    return std::nullopt;
  }
  auto note = file[EI_CLASS] == ELFCLASS64 ? FindVersionNote<Elf64_Ehdr, Elf64_Shdr>(file)
                                           : FindVersionNote<Elf32_Ehdr, Elf32_Shdr>(file);
  if (!note) {
    *why = module.string() + " has no version record";
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
