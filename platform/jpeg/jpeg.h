// The JPEG encoder that the imaging code calls: a properties record and three calls, ijlInit,
// ijlWrite and ijlFree, on libjpeg-turbo. The record owns the encoder and the encoded bytes from
// ijlInit to ijlFree; the pixels stay the caller's and are read in place, never copied.
// Threading: one record is used by one thread at a time; separate records are independent.
#pragma once

#include <cstddef>
#include <functional>
#include <span>

#include "platform/base/windef.h"

// Statuses of the three calls: 0 for success, a distinct negative value for each kind of
// failure.
enum IJLERR : int {
  IJL_OK = 0,
  IJL_INVALID_RECORD = -1,    // no record, or one that ijlInit has not prepared
  IJL_UNSUPPORTED_MODE = -2,  // a mode other than IJL_JBUFF_WRITEWHOLEIMAGE
  IJL_NO_PIXELS = -3,         // DIBBytes is 0
  IJL_INVALID_SIZE = -4,      // a size, the filler count or the row pitch out of range
  IJL_INVALID_QUALITY = -5,   // jquality outside 1..100
  IJL_ENCODER_ERROR = -6,     // the encoder failed (out of memory, a side over 65535, ...)
  IJL_INIT_ERROR = -7,        // the encoder could not be created
};

// ijlWrite's one mode: encode the whole image into JPGBytes. There is no mode that writes a file:
// the caller replaces its file with the bytes, so that a failed encode never touches the file.
enum IJLIOTYPE : int {
  IJL_JBUFF_WRITEWHOLEIMAGE = 9,
};

// Zero-fill it (JPEG_CORE_PROPERTIES props{}) before ijlInit.
//
// Input: DIBBytes is the address of the first pixel byte in memory. Each pixel is 3 bytes,
// blue, green, red; each row of DIBWidth pixels is followed by DIBPadBytes filler bytes (0 to 3).
// A negative DIBHeight means the rows run bottom-up, the row at DIBBytes being the bottom row of
// the picture; a positive one means top-down. The output is JPGWidth x JPGHeight, which must
// equal DIBWidth x |DIBHeight| (the encoder does not scale), in the encoder's default colour
// model (YCbCr) and subsampling (4:2:0), at quality jquality (1..100).
struct JPEG_CORE_PROPERTIES {
  LONG_PTR DIBBytes;
  LONG DIBWidth;
  LONG DIBHeight;
  LONG DIBPadBytes;
  // The name of the file that the caller will store the bytes in, in the ANSI code page; the
  // encoder does not open it.
  const char* JPGFile;
  LONG JPGWidth;
  LONG JPGHeight;
  LONG jquality;

  // Output of ijlWrite: the encoded file, owned by the record until the next ijlWrite or
  // ijlFree; no bytes (null, 0) after a failed write.
  BYTE* JPGBytes;
  std::size_t JPGSizeBytes;
  // Output of ijlFinishBands instead of JPGBytes (which is then null): the file in
  // JPGPieceCount pieces, to be written one after the other, JPGSizeBytes in all; owned by the
  // record like JPGBytes. Null and 0 otherwise.
  const std::span<const BYTE>* JPGPieces;
  std::size_t JPGPieceCount;
  // The buffer that the encoder writes into, JPGCapacity bytes, reused from write to write.
  BYTE* JPGBuffer;
  std::size_t JPGCapacity;

  // The encoder's own state, set by ijlInit.
  void* jprops;
};

// Prepares a zero-filled record: creates the encoder (or takes the one that the last ijlFree
// kept, with its output buffer) and sets every field to its default.
PLATFORM_API int ijlInit(JPEG_CORE_PROPERTIES* props);
// Encodes the picture that the record describes into JPGBytes / JPGSizeBytes.
PLATFORM_API int ijlWrite(JPEG_CORE_PROPERTIES* props, IJLIOTYPE mode);
// Encoding band by band, for rows that come strip by strip on several threads (the one-pass
// capture). The picture is JPGWidth x JPGHeight at jquality; its rows have 4 bytes a pixel
// (blue, green, red, unused), top row first; the result is what ijlWrite makes of the same
// pixels. ijlStartBands cuts the picture into about `wanted` bands of whole MCU rows: every
// band but the last has *band_rows rows, and there are *bands of them.
PLATFORM_API int ijlStartBands(JPEG_CORE_PROPERTIES* props, int wanted, int* band_rows, int* bands);
// Encodes the next `count` rows of one band. Calls for different bands may run at the same
// time on different threads; the calls for one band come in order, one at a time.
PLATFORM_API int ijlWriteBand(JPEG_CORE_PROPERTIES* props, int band, const BYTE* const* rows,
                              int count);
// Joins the bands, each written whole, into JPGPieces / JPGSizeBytes (no copy of the file).
PLATFORM_API int ijlFinishBands(JPEG_CORE_PROPERTIES* props);
// Hands the file of the next bands (ijlStartBands to ijlFinishBands) to `sink` while they are
// written: each band's part as soon as it and every band before it are done, from the thread
// that did the last of them, one call at a time and in file order; ijlFinishBands hands on the
// end. The sink must not throw. It is dropped by ijlFinishBands and ijlFree.
using IjlFileSink = std::function<void(std::span<const std::span<const BYTE>> pieces)>;
PLATFORM_API int ijlStreamBands(JPEG_CORE_PROPERTIES* props, IjlFileSink sink);
// Releases the encoder and the encoded bytes. Safe to call twice and on a zero-filled record.
// One encoder and its output buffer are kept for the next ijlInit: in a running host each
// capture then encodes into memory whose pages are already there.
PLATFORM_API int ijlFree(JPEG_CORE_PROPERTIES* props);
