// Safe replacement of a file's whole content: the new bytes go into a new file in the same
// folder, which then takes the place of the old one in one rename, so that every process sees
// either the old file or the complete new one. Nothing is kept between calls; any thread.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <span>
#include <string>

#include "platform/base/windef.h"

namespace platform {

// ReplaceFileContents's status for an existing file that its owner may not write: the
// platform's read-only attribute. Outside the range of the negated errno values.
inline constexpr int kReplaceReadOnly = -1000;

// Replaces the file at path (a name in the ANSI code page) with size bytes, or creates it.
// - A regular file at path gives the new file its access and modification times, and its
//   permission bits when the writer owns it (else the new file is 0600). Anything else at path (a
//   symbolic link, a device) is replaced itself, never followed, and the new file is made as if
//   none had been there: mode 0600, times of now.
// - A regular file without the owner's write permission is left alone: kReplaceReadOnly.
// - Temp files of the same name that a killed write left in the folder (the writer's own, older
//   than a minute, held by no write under way) are removed.
// Returns 0, kReplaceReadOnly, or the negated errno of the first call that failed (-ENOENT for a
// missing folder, -ENOSPC for a full disk, ...). On failure the old file is as it was and no new
// file remains.
PLATFORM_API int ReplaceFileContents(const char* path, const BYTE* bytes, std::size_t size);

// The same with the content in pieces, written one after the other.
using Piece = std::span<const BYTE>;
PLATFORM_API int ReplaceFileContents(const char* path, std::span<const Piece> pieces);

// The same replacement made in steps, so that the content can be written while it is still being
// made: Begin, Append as often as there are pieces, then Commit. Until Commit the old file is as
// it was; a replacement given up (destroyed uncommitted, or failed) leaves no new file. Statuses
// as ReplaceFileContents's. One thread at a time.
class PLATFORM_API FileReplacement {
 public:
  FileReplacement() = default;
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement();

  // Starts the new file for path. Returns 0 or the status of the failure.
  int Begin(const char* path);
  // Writes the pieces after those written before. Once a step has failed, writes nothing and
  // returns that step's status.
  int Append(std::span<const Piece> pieces);
  // Puts the new file in path's place. Returns 0 or the status of the first step that failed.
  int Commit();
  // Whether Begin was called.
  bool begun() const { return begun_; }

 private:
  void GiveUp();

  bool begun_ = false;
  int status_ = 0;
  int dir_ = -1, temp_ = -1, held_ = -1;
  std::string name_, tempName_;
  bool hadFile_ = false;
  struct stat old_ {};
};

}  // namespace platform
