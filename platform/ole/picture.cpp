// The picture object of the bitmap kind.
#include "platform/ole/picture.h"

#include "platform/gdi/bitmap.h"
#include "platform/gdi/palette.h"

Picture::Picture(HBITMAP bitmap, HPALETTE palette, bool owned)
    : bitmap_(bitmap), palette_(palette), owned_(owned) {}

Picture::~Picture() {
  if (!owned_) return;
  if (bitmap_) DeleteObject(bitmap_);
  if (palette_) DeleteObject(palette_);
  bitmap_ = 0;
  palette_ = 0;
}

platform::Ref<Picture> OleCreatePictureIndirect(const PICTDESC& desc, bool own) {
  // The platform's record is 20 bytes (its union has room for a metafile's extents); accept
  // that size and this record's own.
  if (desc.cbSizeofstruct != 20 && desc.cbSizeofstruct != sizeof(PICTDESC)) return nullptr;
  if (desc.picType != PICTYPE_BITMAP) return nullptr;
  if (!platform::FindGdi<platform::BitmapObject>(desc.hbitmap)) return nullptr;
  if (desc.hpal != 0 && !platform::FindGdi<platform::PaletteObject>(desc.hpal)) return nullptr;
  return platform::MakeRef<Picture>(desc.hbitmap, desc.hpal, own);
}
