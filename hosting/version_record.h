// A module's version record, read from its ELF note "Pictoss" (type 1) without loading the
// module: NUL-separated "Key=Value" entries, in the order written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hosting {

using VersionRecord = std::vector<std::pair<std::string, std::string>>;

// Larger than any module we build, debugging information included.
inline constexpr std::uintmax_t kMaxModuleBytes = std::uintmax_t{256} << 20;

// The record, or nothing with the reason in *why (no file, not a regular file, larger than
// kMaxModuleBytes, not a module, no record). Never blocks on a pipe or a device.
std::optional<VersionRecord> ReadVersionRecord(const std::filesystem::path& module,
                                               std::string* why);

// The record in a module file's bytes; trusts nothing in them. On failure *why says what the
// bytes are not ("is not a module", "has no version record").
std::optional<VersionRecord> ParseVersionRecord(std::string_view file, std::string* why);

// The value of one key, or "" when the record has none.
std::string VersionValue(const VersionRecord& record, const std::string& key);

}  // namespace hosting
