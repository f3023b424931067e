// Test helpers for the JPEG code (tests only): the test picture, a smooth gradient under a red
// marker row, written into bottom-up BGR rows; and a decoder that checks a JPEG file against it.
// Header-only; used by the encoder and the file writer tests.
#pragma once

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/base/windef.h"

namespace jpegtest {

struct Bgr {
  int b, g, r;
};

// A gentle gradient (4 levels a pixel at most, so that halving the chrominance costs little)
// under a top row of pure red, which tells a flipped picture from the right one.
inline Bgr TestPixel(int x, int y) {
  if (y == 0) return {0, 0, 255};
  return {(4 * x) % 256, (5 * y) % 256, 96 + (2 * x + 3 * y) % 128};
}

// Writes the test picture into bottom-up rows of stride bytes starting at bits; the filler
// bytes get 0xA5, so that a pitch that ignores them shows up as a skewed picture.
inline void PaintTestPicture(BYTE* bits, int width, int height, int stride) {
  for (int y = 0; y < height; ++y) {
    BYTE* row = bits + static_cast<std::size_t>(height - 1 - y) * stride;
    for (int x = 0; x < stride; ++x) row[x] = 0xA5;
    for (int x = 0; x < width; ++x) {
      const Bgr p = TestPixel(x, y);
      row[3 * x] = static_cast<BYTE>(p.b);
      row[3 * x + 1] = static_cast<BYTE>(p.g);
      row[3 * x + 2] = static_cast<BYTE>(p.r);
    }
  }
}

struct Decoded {
  int width = 0, height = 0, subsampling = -1, colorspace = -1;
  std::vector<BYTE> bgr;  // top-down, unpadded; empty when the file does not decode
};

inline Decoded Decode(const BYTE* jpeg, std::size_t size) {
  Decoded out;
  tjhandle handle = tjInitDecompress();
  if (tjDecompressHeader3(handle, jpeg, size, &out.width, &out.height, &out.subsampling,
                          &out.colorspace) == 0) {
    out.bgr.resize(static_cast<std::size_t>(out.width) * out.height * 3);
    if (tjDecompress2(handle, jpeg, size, out.bgr.data(), out.width, 0, out.height, TJPF_BGR, 0) !=
        0) {
      out.bgr.clear();
    }
  }
  tjDestroy(handle);
  return out;
}

// The file that ijlFinishBands left in the record's pieces, in one piece.
template <class Record>
std::vector<BYTE> Joined(const Record& props) {
  std::vector<BYTE> file;
  for (std::size_t i = 0; i < props.JPGPieceCount; ++i)
    file.insert(file.end(), props.JPGPieces[i].begin(), props.JPGPieces[i].end());
  return file;
}

inline Decoded Decode(const std::string& file) {
  return Decode(reinterpret_cast<const BYTE*>(file.data()), file.size());
}

// Mean absolute error of blue, green and red over the rows from firstRow down.
inline std::vector<double> MeanError(const Decoded& d, int firstRow) {
  std::vector<double> sum(3, 0.0);
  for (int y = firstRow; y < d.height; ++y) {
    for (int x = 0; x < d.width; ++x) {
      const BYTE* p = &d.bgr[(static_cast<std::size_t>(y) * d.width + x) * 3];
      const Bgr e = TestPixel(x, y);
      sum[0] += std::abs(p[0] - e.b);
      sum[1] += std::abs(p[1] - e.g);
      sum[2] += std::abs(p[2] - e.r);
    }
  }
  for (double& s : sum) s /= static_cast<double>(d.width) * (d.height - firstRow);
  return sum;
}

// Checks a decoded test picture of the given size.
// Quality 90 scales the standard quantisation tables by 0.2, so the low frequencies of this
// smooth picture are kept in steps of 2 to 4 levels: about a level a pixel. Halving the
// chrominance (4:2:0) of a ramp of 4 levels a pixel costs 2 to 3 more in blue and red. So 6 a
// channel, while a flipped, skewed (filler bytes taken for pixels) or blue-red swapped picture
// is off by tens. The marker row shares its chrominance with the row under it, so both are
// left out of the mean, and the top row is checked to be nearer the marker than the bottom row.
inline void ExpectTestPicture(const Decoded& d, int width, int height) {
  ASSERT_EQ(d.width, width);
  ASSERT_EQ(d.height, height);
  ASSERT_FALSE(d.bgr.empty()) << "the file does not decode";
  EXPECT_EQ(d.subsampling, TJSAMP_420);
  EXPECT_EQ(d.colorspace, TJCS_YCbCr);
  double offMarker = 0, offFlipped = 0;
  for (int x = 0; x < d.width; ++x) {
    const BYTE* p = &d.bgr[3 * x];
    const Bgr marker = TestPixel(x, 0), bottom = TestPixel(x, d.height - 1);
    offMarker += std::abs(p[0] - marker.b) + std::abs(p[1] - marker.g) + std::abs(p[2] - marker.r);
    offFlipped += std::abs(p[0] - bottom.b) + std::abs(p[1] - bottom.g) + std::abs(p[2] - bottom.r);
  }
  if (d.height > 1) {
    EXPECT_LT(offMarker, offFlipped) << "the picture is upside down";
  }
  EXPECT_GT(d.bgr[2], 180) << "the top left pixel is not the red marker";
  if (d.height > 2) {
    for (double error : MeanError(d, 2)) EXPECT_LT(error, 6.0);
  }
}

}  // namespace jpegtest
