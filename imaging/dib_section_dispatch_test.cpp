// Both DIB section classes reached late-bound, by member name, the way the host's scripts reach
// them through an object reference.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "imaging/dib_section.h"
#include "platform/gdi/handles.h"
#include "platform/user/messagebox.h"
#include "tests/support/gdi_leak_check.h"

namespace pictoss {
namespace {

const int kNoDisplay = unsetenv("DISPLAY");

using platform::Argument;
using platform::Variant;

struct Call {
  HRESULT hr = E_FAIL;
  Variant result;
  EXCEPINFO error;
  UINT argErr = 0;
};

Call Invoke(platform::Dispatch& object, std::u16string_view name, std::vector<Argument> args = {},
            WORD flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET) {
  Call call;
  call.hr =
      platform::CallByName(object, name, flags, args, &call.result, &call.error, &call.argErr);
  return call;
}

using DibSectionDispatchTest = testsupport::LeakCheckedTest;

TEST_F(DibSectionDispatchTest, MembersInSlotOrderForBothClasses) {
  const char16_t* slots[] = {u"CopyToClipboard",
                             u"CreateDIB",
                             u"CreateFromPicture",
                             u"Create",
                             u"BytesPerScanLine",
                             u"Width",
                             u"Height",
                             u"LoadPictureBlt",
                             u"PaintPicture",
                             u"hdc",
                             u"hDib",
                             u"DIBSectionBitsPtr",
                             u"RandomiseBits",
                             u"ClearUp",
                             u"Resample"};
  auto dib = platform::MakeRef<cDIBSection>();
  auto dib2 = platform::MakeRef<cDIBSection2>();
  EXPECT_EQ(dib->GetTypeInfo().source(), u"Vorlick.cDIBSection");
  EXPECT_EQ(dib2->GetTypeInfo().source(), u"Vorlick.cDIBSection2");
  for (const platform::ClassDesc* desc : {&dib->GetTypeInfo(), &dib2->GetTypeInfo()}) {
    ASSERT_EQ(desc->members().size(), std::size(slots));
    for (std::size_t i = 0; i < std::size(slots); ++i)
      EXPECT_EQ(desc->IdOfName(slots[i]), static_cast<DISPID>(i + 1)) << i;
  }
  DISPID id = 0;
  EXPECT_EQ(dib->GetIDsOfNames(u"BYTESPERSCANLINE", &id), S_OK);
  EXPECT_EQ(id, 5);
}

TEST_F(DibSectionDispatchTest, CreateAndReadThePropertiesByName) {
  auto dib = platform::MakeRef<cDIBSection>();
  Call created = Invoke(*dib, u"create", {Variant(5), Variant(u"2")});  // text coerces
  ASSERT_EQ(created.hr, S_OK);
  EXPECT_EQ(created.result, Variant(true));
  EXPECT_EQ(Invoke(*dib, u"BytesPerScanLine").result, Variant(16));
  EXPECT_EQ(Invoke(*dib, u"Width").result, Variant(5));
  EXPECT_EQ(Invoke(*dib, u"Height").result, Variant(2));
  EXPECT_EQ(Invoke(*dib, u"hdc").result, Variant(static_cast<std::int32_t>(dib->hdc())));
  EXPECT_EQ(Invoke(*dib, u"hDib").result, Variant(static_cast<std::int32_t>(dib->hDib())));
  Call bits = Invoke(*dib, u"DIBSectionBitsPtr");
  EXPECT_EQ(bits.result.vt(), VT_INT_PTR);
  EXPECT_EQ(bits.result.intPtr(), dib->DIBSectionBitsPtr());
  EXPECT_NE(bits.result.intPtr(), 0);
  EXPECT_EQ(Invoke(*dib, u"ClearUp").hr, S_OK);
  EXPECT_EQ(Invoke(*dib, u"hdc").result, Variant(0));
}

TEST_F(DibSectionDispatchTest, CreateDibWritesTheHandleBack) {
  auto dib = platform::MakeRef<cDIBSection>();
  Variant hDib(0);
  Call call =
      Invoke(*dib, u"CreateDIB", {Variant(0), Variant(3), Variant(2), Argument::ByRef(hDib)});
  ASSERT_EQ(call.hr, S_OK);
  EXPECT_EQ(call.result, Variant(true));
  ASSERT_EQ(hDib.vt(), VT_I4);
  HBITMAP made = static_cast<HBITMAP>(hDib.lVal());
  BITMAP record{};
  ASSERT_NE(GetObjectA(made, sizeof record, &record), 0);
  EXPECT_EQ(record.bmWidth, 3);
  // Not the object's: it neither selected nor kept it.
  EXPECT_EQ(dib->hDib(), 0u);
  EXPECT_TRUE(DeleteObject(made));
}

TEST_F(DibSectionDispatchTest, OverflowBecomesAFailedCallWithNumberAndSource) {
  auto dib = platform::MakeRef<cDIBSection2>();
  Call call = Invoke(*dib, u"Create", {Variant(715827882), Variant(1)});
  EXPECT_EQ(call.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(call.error.number, 6);
  EXPECT_EQ(call.error.source, u"Vorlick.cDIBSection2");
  EXPECT_EQ(call.error.description, u"Overflow");
  EXPECT_EQ(Invoke(*dib, u"ClearUp").hr, S_OK);  // frees the DC the overflow left
}

TEST_F(DibSectionDispatchTest, CreateFromPictureTakesPicturesOnly) {
  BITMAPINFO info{};
  info.bmiHeader = {40, 6, 4, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(0, &info, DIB_RGB_COLORS, &bits, 0, 0);
  auto picture =
      OleCreatePictureIndirect(PICTDESC{sizeof(PICTDESC), PICTYPE_BITMAP, bitmap, 0}, true);
  auto dib = platform::MakeRef<cDIBSection>();
  Call made = Invoke(*dib, u"CreateFromPicture", {Variant(picture)});
  ASSERT_EQ(made.hr, S_OK);
  EXPECT_EQ(made.result.vt(), VT_EMPTY);
  EXPECT_EQ(dib->Width(), 6);
  EXPECT_EQ(dib->Height(), 4);

  auto other = platform::MakeRef<cDIBSection>();
  EXPECT_EQ(Invoke(*dib, u"CreateFromPicture", {Variant(other)}).hr, DISP_E_TYPEMISMATCH);
  Call nothing = Invoke(*dib, u"CreateFromPicture", {Variant::Nothing()});
  EXPECT_EQ(nothing.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(nothing.error.number, 91);
}

TEST_F(DibSectionDispatchTest, OmittedArgumentsTakeTheirDefaults) {
  auto dib = platform::MakeRef<cDIBSection>();
  ASSERT_TRUE(dib->Create(3, 2));
  std::vector<std::pair<std::u16string, std::u16string>> shown;
  platform::SetMessageBoxHook([&](std::u16string_view text, std::u16string_view caption) {
    shown.emplace_back(text, caption);
  });
  Call none = Invoke(*dib, u"CopyToClipboard");
  Call missing = Invoke(*dib, u"CopyToClipboard", {Variant::Missing()});
  platform::SetMessageBoxHook(nullptr);
  EXPECT_EQ(none.result, Variant(false));
  EXPECT_EQ(missing.result, Variant(false));
  EXPECT_EQ(shown.size(), 2u);

  // A white source: LoadPictureBlt with the DC alone copies the whole 3 x 2 with SRCCOPY.
  auto white = platform::MakeRef<cDIBSection>();
  ASSERT_TRUE(white->Create(5, 5));
  white->LoadPictureBlt(white->hdc(), 0, 0, -1, -1, WHITENESS);
  ASSERT_EQ(Invoke(*dib, u"LoadPictureBlt", {Variant(static_cast<std::int32_t>(white->hdc()))}).hr,
            S_OK);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(dib->DIBSectionBitsPtr());
  for (int row = 0; row < 2; ++row)
    for (int i = 0; i < 9; ++i) EXPECT_EQ(bytes[row * 12 + i], 255) << row << "," << i;

  // PaintPicture with the DC alone paints the whole 3 x 2 at the corner.
  ASSERT_TRUE(white->Create(5, 5));
  ASSERT_EQ(Invoke(*dib, u"PaintPicture", {Variant(static_cast<std::int32_t>(white->hdc()))}).hr,
            S_OK);
  const auto* dest = reinterpret_cast<const std::uint8_t*>(white->DIBSectionBitsPtr());
  const int top = 4, stride = 16;  // the 5 x 5 DIB's top row is its last in memory
  EXPECT_EQ(dest[(top - 1) * stride + 3 * 2], 255);
  EXPECT_EQ(dest[(top - 2) * stride + 3 * 2], 0);
  EXPECT_EQ(dest[top * stride + 3 * 3], 0);
}

TEST_F(DibSectionDispatchTest, ResampleGivesAnObjectOfTheSameClass) {
  auto dib2 = platform::MakeRef<cDIBSection2>();
  ASSERT_TRUE(dib2->Create(4, 4));
  Call call = Invoke(*dib2, u"Resample", {Variant(2), Variant(3)});
  ASSERT_EQ(call.hr, S_OK);
  ASSERT_EQ(call.result.vt(), VT_DISPATCH);
  auto* made = dynamic_cast<cDIBSection2*>(call.result.object().get());
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->Height(), 2);
  EXPECT_EQ(made->Width(), 3);
}

}  // namespace
}  // namespace pictoss
