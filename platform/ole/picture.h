// The platform's picture object of the bitmap kind: made from a bitmap and a palette (0 for
// none); when it owns them it deletes both when its last reference goes. Its Handle is the
// bitmap. Threading: the user-interface thread only.
#pragma once

#include "platform/base/windef.h"
#include "platform/ole/object.h"

struct PICTDESC {
  UINT cbSizeofstruct;
  UINT picType;
  HBITMAP hbitmap;
  HPALETTE hpal;
};

constexpr UINT PICTYPE_BITMAP = 1;

class PLATFORM_API Picture : public platform::Object {
 public:
  Picture(HBITMAP bitmap, HPALETTE palette, bool owned);
  ~Picture() override;
  HBITMAP Handle() const { return bitmap_; }
  HPALETTE hPal() const { return palette_; }

 private:
  HBITMAP bitmap_;
  HPALETTE palette_;
  bool owned_;
};

// Returns no object when the description is not of a bitmap picture.
PLATFORM_API platform::Ref<Picture> OleCreatePictureIndirect(const PICTDESC& desc, bool own);
