// The automation descriptions of cDIBSection and cDIBSection2 in the Vorlick type library: one
// interface, its members in slot order. Both classes are reached through object references
// only; neither has a ProgID.
#include "imaging/dib_section.h"

namespace pictoss {

namespace {

template <class T>
platform::ClassDesc Describe(std::u16string source) {
  using platform::Method;
  using platform::Optional;
  using platform::Property;
  using platform::Variant;
  const Variant srcCopy(static_cast<std::int32_t>(SRCCOPY));
  return platform::ClassDesc(
      std::move(source),
      {
          Method(u"CopyToClipboard", &T::CopyToClipboard, {Optional(u"bAsDIB", true)}),
          Method(u"CreateDIB", &T::CreateDIB, {u"lhDC", u"lWidth", u"lHeight", u"hDib"}),
          Method(u"CreateFromPicture", &T::CreateFromPicture, {u"picThis"}),
          Method(u"Create", &T::Create, {u"lWidth", u"lHeight"}),
          Property(u"BytesPerScanLine", &T::BytesPerScanLine),
          Property(u"Width", &T::Width),
          Property(u"Height", &T::Height),
          Method(u"LoadPictureBlt", &T::LoadPictureBlt,
                 {u"lhDC", Optional(u"lSrcLeft", 0), Optional(u"lSrcTop", 0),
                  Optional(u"lSrcWidth", -1), Optional(u"lSrcHeight", -1),
                  Optional(u"eRop", srcCopy)}),
          Method(u"PaintPicture", &T::PaintPicture,
                 {u"lhDC", Optional(u"lDestLeft", 0), Optional(u"lDestTop", 0),
                  Optional(u"lDestWidth", -1), Optional(u"lDestHeight", -1),
                  Optional(u"lSrcLeft", 0), Optional(u"lSrcTop", 0), Optional(u"eRop", srcCopy)}),
          Property(u"hdc", &T::hdc),
          Property(u"hDib", &T::hDib),
          Property(u"DIBSectionBitsPtr", &T::DIBSectionBitsPtr),
          Method(u"RandomiseBits", &T::RandomiseBits, {Optional(u"bGray", false)}),
          Method(u"ClearUp", &T::ClearUp),
          Method(u"Resample", &T::Resample, {u"lNewHeight", u"lNewWidth"}),
      });
}

}  // namespace

const platform::ClassDesc& cDIBSection::GetTypeInfo() const {
  static const platform::ClassDesc desc = Describe<cDIBSection>(u"Vorlick.cDIBSection");
  return desc;
}

const platform::ClassDesc& cDIBSection2::GetTypeInfo() const {
  static const platform::ClassDesc desc = Describe<cDIBSection2>(u"Vorlick.cDIBSection2");
  return desc;
}

}  // namespace pictoss
