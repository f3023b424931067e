// A module's version record, read from its ELF note "Pictoss" (type 1) without loading the
// module: NUL-separated "Key=Value" entries, in the order written.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hosting {

using VersionRecord = std::vector<std::pair<std::string, std::string>>;

// The record, or nothing with the reason in *why (no file, not a module, no record).
std::optional<VersionRecord> ReadVersionRecord(const std::filesystem::path& module,
                                               std::string* why);

// The value of one key, or "" when the record has none.
std::string VersionValue(const VersionRecord& record, const std::string& key);

}  // namespace hosting
