// A module's version record, read from its ELF note "Pictoss" (type 1) without loading the
// module: NUL-separated "Key=Value" entries. The reader works on bytes in memory and trusts
// nothing in them; the file reader takes regular files only, and only so many bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace host {

// Larger than any module we build, debugging information included.
inline constexpr std::uint64_t kMaxModuleBytes = std::uint64_t{256} << 20;

using VersionEntries = std::vector<std::pair<std::string, std::string>>;

// The record's entries in their order; an entry without "=" has an empty value. On failure,
// nothing, and `why` says what the bytes are not ("not a module", "has no version record").
std::optional<VersionEntries> ReadVersionRecord(std::string_view file, std::string& why);

// The whole content of a regular file of at most kMaxModuleBytes. Never blocks on a pipe or a
// device. On failure, nothing, and `why` says why.
std::optional<std::string> ReadModuleFile(const std::string& path, std::string& why);

}  // namespace host
