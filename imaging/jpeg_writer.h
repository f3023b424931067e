// The JPEG file writer (module mIntelJPEGLibrary): encodes the pixels of a DIB section object
// and puts the file at a path, replacing any file there in one step. Keeps nothing between
// calls; runs on the caller's thread and reads the object's pixels in place.
#pragma once

#include <string>
#include <string_view>

#include "imaging/dib_section.h"
#include "platform/jpeg/jpeg.h"
#include "platform/kernel/file_replace.h"

namespace pictoss {

// Writes oImage as a JPEG of quality lJpegQuality (1..100) to sPath and returns true; an
// existing regular file there gives the new one its permissions and access and modification
// times. Every failure raises platform::RuntimeError and leaves the path as it was:
// - 26001 "Failed to initialise the IJL library: <status>" when no encoder can be had;
// - 26001 "Failed to save to JPG <status>" when the picture cannot be encoded (an object that
//   holds no pixels, a quality out of range);
// - 26001 "Failed to save to JPG: <reason> (<path>)" when the file cannot be written (a missing
//   folder, a full disk: "No space left on device");
// - 75 "Path/File access error" when the existing file is read-only;
// - 6 "Overflow" when the row sizes do not fit 32 bits.
// The 26001 errors come from "<module>.mIntelJPEGLibrary", the others from "Vorlick".
bool WriteJpegFile(const DIBSectionBase& oImage, std::u16string_view sPath, LONG lJpegQuality);

// An initialised encoder record, freed on every way out, for a caller that encodes its own way
// (the one-pass capture) and then stores the bytes with StoreJpegFile.
class JpegRecord {
 public:
  JpegRecord() : status_(ijlInit(&props)) {}
  ~JpegRecord() { ijlFree(&props); }
  JpegRecord(const JpegRecord&) = delete;
  JpegRecord& operator=(const JpegRecord&) = delete;
  // ijlInit's status: WriteJpegFile raises the initialisation error for anything but IJL_OK.
  int status() const { return status_; }
  JPEG_CORE_PROPERTIES props{};

 private:
  int status_;
};

// The second half of WriteJpegFile: puts the bytes encoded in the record at sPath, with the
// same errors (75 for a read-only file, 26001 "Failed to save to JPG <status>" for the rest).
bool StoreJpegFile(const JPEG_CORE_PROPERTIES& props, std::u16string_view sPath);

// The file of a one-pass capture, written while its bands are still being encoded, so that the
// writing does not wait for the last band: set up before ijlStartBands, it hands the record's
// bands to a new file beside sPath as they are done. Store then puts the file in place, with
// StoreJpegFile's errors; a stream not stored leaves the old file as it was.
class JpegFileStream {
 public:
  JpegFileStream(JpegRecord& record, std::u16string_view sPath);
  JpegFileStream(const JpegFileStream&) = delete;
  JpegFileStream& operator=(const JpegFileStream&) = delete;
  ~JpegFileStream();
  // StoreJpegFile for the record (whose bands are finished), through the new file when it has one.
  bool Store();

 private:
  JpegRecord& record_;
  std::u16string path_;
  std::string ansiPath_;
  platform::FileReplacement file_;
};

// "<module>.mIntelJPEGLibrary", where <module> is the file name, without folder or extension,
// of the module that holds this code ("PT" in PT.so).
std::u16string JpegWriterErrorSource();

// The module name within a module's path: "/usr/lib/PT.so" -> "PT".
std::string ModuleBaseName(std::string_view modulePath);

}  // namespace pictoss
