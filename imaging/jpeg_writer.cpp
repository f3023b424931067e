#include "imaging/jpeg_writer.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>

#include "platform/base/text.h"
#include "platform/jpeg/jpeg.h"
#include "platform/kernel/file_replace.h"
#include "platform/runtime/errors.h"
#include "platform/runtime/numbers.h"
#include "product/product.h"

namespace pictoss {
namespace {

constexpr std::int32_t kJpegLibraryError = 26001;

[[noreturn]] void RaiseJpegError(std::u16string_view description, int status) {
  const std::string number = std::to_string(status);
  throw platform::RuntimeError(kJpegLibraryError, JpegWriterErrorSource(),
                               std::u16string(description) + platform::FromAnsi(number));
}

// Raises StoreJpegFile's error for a file replacement's status; true for 0.
bool CheckStored(int status, std::u16string_view sPath) {
  if (status == platform::kReplaceReadOnly) {
    platform::RaiseError(platform::kPathFileAccessError, product::kModuleSource.wide());
  }
  if (status != 0) {
    // A file error: what the system said, and where.
    throw platform::RuntimeError(kJpegLibraryError, JpegWriterErrorSource(),
                                 u"Failed to save to JPG: " +
                                     platform::FromAnsi(std::strerror(-status)) + u" (" +
                                     std::u16string(sPath) + u")");
  }
  return true;
}

// Describes oImage in the record: its rows run bottom-up from the first pixel byte.
void DescribePicture(JPEG_CORE_PROPERTIES& props, const DIBSectionBase& oImage) {
  const std::u16string_view source = product::kModuleSource.wide();
  props.DIBWidth = oImage.Width();
  props.DIBHeight = platform::CheckedSub(0, oImage.Height(), source);
  props.DIBBytes = oImage.DIBSectionBitsPtr();
  const LONG rowPixelBytes = platform::CheckedMul(3, oImage.Width(), source);
  props.DIBPadBytes = platform::CheckedSub(oImage.BytesPerScanLine(), rowPixelBytes, source);
  props.JPGWidth = oImage.Width();
  props.JPGHeight = oImage.Height();
}

}  // namespace

std::string ModuleBaseName(std::string_view modulePath) {
  const std::size_t slash = modulePath.rfind('/');
  if (slash != std::string_view::npos) modulePath.remove_prefix(slash + 1);
  const std::size_t dot = modulePath.rfind('.');
  if (dot != std::string_view::npos && dot > 0) modulePath.remove_suffix(modulePath.size() - dot);
  return std::string(modulePath);
}

std::u16string JpegWriterErrorSource() {
  Dl_info info{};
  std::string module;
  if (dladdr(reinterpret_cast<const void*>(&JpegWriterErrorSource), &info) != 0 &&
      info.dli_fname != nullptr) {
    module = ModuleBaseName(info.dli_fname);
  }
  return platform::FromAnsi(module) + u".mIntelJPEGLibrary";
}

bool WriteJpegFile(const DIBSectionBase& oImage, std::u16string_view sPath, LONG lJpegQuality) {
  JpegRecord record;
  if (const int status = record.status(); status != IJL_OK) {
    RaiseJpegError(u"Failed to initialise the IJL library: ", status);
  }
  DescribePicture(record.props, oImage);
  // A zero inside the name would cut it short and put the file somewhere else.
  if (sPath.find(u'\0') != std::u16string_view::npos)
    RaiseJpegError(u"Failed to save to JPG ", -EINVAL);
  record.props.jquality = lJpegQuality;

  // Encode first: a picture that cannot be encoded leaves the old file alone.
  if (const int status = ijlWrite(&record.props, IJL_JBUFF_WRITEWHOLEIMAGE); status != IJL_OK) {
    RaiseJpegError(u"Failed to save to JPG ", status);
  }
  return StoreJpegFile(record.props, sPath);
}

bool StoreJpegFile(const JPEG_CORE_PROPERTIES& props, std::u16string_view sPath) {
  const std::string fileName = platform::ToAnsi(sPath);
  if (fileName.find('\0') != std::string::npos) RaiseJpegError(u"Failed to save to JPG ", -EINVAL);
  // The one-pass capture leaves the file in pieces, written as they are.
  const int status =
      props.JPGPieces
          ? platform::ReplaceFileContents(fileName.c_str(),
                                          std::span(props.JPGPieces, props.JPGPieceCount))
          : platform::ReplaceFileContents(fileName.c_str(), props.JPGBytes, props.JPGSizeBytes);
  return CheckStored(status, sPath);
}

JpegFileStream::JpegFileStream(JpegRecord& record, std::u16string_view sPath)
    : record_(record), path_(sPath), ansiPath_(platform::ToAnsi(sPath)) {
  // A name that the file system cannot take is refused by Store, as StoreJpegFile refuses it.
  if (ansiPath_.find('\0') != std::string::npos) return;
  ijlStreamBands(&record_.props, [this](std::span<const platform::Piece> pieces) {
    if (!file_.begun()) file_.Begin(ansiPath_.c_str());
    file_.Append(pieces);  // a failure stays with the file, for Store
  });
}

JpegFileStream::~JpegFileStream() {
  ijlStreamBands(&record_.props, nullptr);
}

bool JpegFileStream::Store() {
  if (!file_.begun()) return StoreJpegFile(record_.props, path_);
  return CheckStored(file_.Commit(), path_);
}

}  // namespace pictoss
