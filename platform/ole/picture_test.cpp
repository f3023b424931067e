// The picture object of the bitmap kind: it frees its bitmap and palette when it owns them and
// refuses what is not a bitmap.
#include "platform/ole/picture.h"

#include <gtest/gtest.h>

#include "platform/gdi/gdi.h"
#include "platform/gdi/gdi_test_support.h"

namespace {

using namespace gditest;

TEST_F(NoDisplay, OwningPictureFreesBitmapAndPalette) {
  LOGPALETTE256 record{0x300, 256, {}};
  for (int owned = 0; owned < 2; ++owned) {
    HBITMAP b = MakeBitmap(2, 2, PixelFormat::Bgr24());
    HPALETTE p = CreatePalette(reinterpret_cast<LOGPALETTE*>(&record));
    {
      auto picture = OleCreatePictureIndirect({20, PICTYPE_BITMAP, b, p}, owned != 0);
      ASSERT_TRUE(picture);
      EXPECT_EQ(picture->Handle(), b);
      EXPECT_EQ(picture->hPal(), p);
      platform::Ref<Picture> second = picture;  // two references
      picture = nullptr;
      BITMAP bm{};
      EXPECT_NE(GetObjectA(b, sizeof bm, &bm), 0);  // one reference left
    }
    BITMAP bm{};
    WORD n = 0;
    EXPECT_EQ(GetObjectA(b, sizeof bm, &bm) != 0, owned == 0);
    EXPECT_EQ(GetObjectA(p, sizeof n, &n) != 0, owned == 0);
    if (!owned) {
      DeleteObject(b);
      DeleteObject(p);
    }
  }
  HBITMAP b = MakeBitmap(1, 1, PixelFormat::Bgr24());
  EXPECT_FALSE(OleCreatePictureIndirect({20, 2 /* metafile */, b, 0}, true));
  EXPECT_FALSE(OleCreatePictureIndirect({20, PICTYPE_BITMAP, 0x4242, 0}, true));
  EXPECT_FALSE(OleCreatePictureIndirect({20, PICTYPE_BITMAP, b, b}, true));
  EXPECT_FALSE(OleCreatePictureIndirect({3, PICTYPE_BITMAP, b, 0}, true));
  DeleteObject(b);
}

}  // namespace
