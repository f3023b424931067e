#include "platform/ole/dispatch.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "platform/base/text.h"
#include "platform/runtime/errors.h"

namespace {

using platform::Argument;
using platform::Variant;

class Probe : public platform::Dispatch {
 public:
  explicit Probe(bool* destroyed = nullptr) : destroyed_(destroyed) {}
  ~Probe() override {
    if (destroyed_) *destroyed_ = true;
  }

  bool Add(std::int32_t lBy, std::int32_t& lTotal) {
    ++calls;
    lTotal += lBy;
    return true;
  }
  // Writes its first out-parameter, then fails.
  bool FailAfterWrite(std::u16string& sFirst, std::u16string& sSecond) {
    sFirst = u"written";
    platform::RaiseError(platform::kTypeMismatch, u"Vorlick.Probe");
    sSecond = u"never";
    return true;
  }
  Variant Throws() { throw std::runtime_error("broken"); }
  std::int16_t Width() const { return 7; }
  std::u16string Echo(std::u16string sText, bool bUpper) {
    if (bUpper) {
      for (auto& c : sText) c = (c >= u'a' && c <= u'z') ? c - 32 : c;
    }
    return sText;
  }
  std::int32_t Defaults(std::int32_t lFirst, std::int32_t lSecond, Variant vThird) {
    return lFirst * 100 + lSecond * 10 + (vThird.IsMissing() ? 1 : 2);
  }
  bool Leave(std::u16string& sKeep) { return !sKeep.empty(); }
  bool TakeProbe(const Probe* oOther) { return oOther != nullptr; }
  double Half(double dValue) { return dValue / 2; }

  int calls = 0;

  const platform::ClassDesc& GetTypeInfo() const override {
    static const platform::ClassDesc desc(
        u"Vorlick.Probe",
        {
            platform::Method(u"Add", &Probe::Add, {u"lBy", u"lTotal"}),
            platform::Method(u"FailAfterWrite", &Probe::FailAfterWrite, {u"sFirst", u"sSecond"}),
            platform::Method(u"Throws", &Probe::Throws),
            platform::Property(u"Width", &Probe::Width),
            platform::Method(u"Echo", &Probe::Echo,
                             {u"sText", platform::Optional(u"bUpper", false)}),
            platform::Method(
                u"Defaults", &Probe::Defaults,
                {u"lFirst", platform::Optional(u"lSecond", 5), platform::Optional(u"vThird")}),
            platform::Method(u"Leave", &Probe::Leave, {u"sKeep"}),
            platform::Method(u"TakeProbe", &Probe::TakeProbe, {u"oOther"}),
            platform::Method(u"Half", &Probe::Half, {u"dValue"}),
        });
    return desc;
  }

 private:
  bool* destroyed_;
};

class Other : public platform::Dispatch {
 public:
  const platform::ClassDesc& GetTypeInfo() const override {
    static const platform::ClassDesc desc(u"Vorlick.Other", {});
    return desc;
  }
};

struct Call {
  HRESULT hr;
  Variant result;
  EXCEPINFO excep;
  UINT argErr = 99;
};

Call CallIt(platform::Dispatch& object, std::u16string_view name, std::vector<Argument> args,
            WORD flags = DISPATCH_METHOD) {
  Call c;
  c.hr = platform::CallByName(object, name, flags, args, &c.result, &c.excep, &c.argErr);
  return c;
}

TEST(Dispatch, NamesAreFoundWithoutRegardToCase) {
  auto probe = platform::MakeRef<Probe>();
  DISPID upper = 0, lower = 0, mixed = 0, unknown = 5;
  EXPECT_EQ(probe->GetIDsOfNames(u"ADD", &upper), S_OK);
  EXPECT_EQ(probe->GetIDsOfNames(u"add", &lower), S_OK);
  EXPECT_EQ(probe->GetIDsOfNames(u"Width", &mixed), S_OK);
  EXPECT_EQ(upper, 1);  // slot order
  EXPECT_EQ(lower, 1);
  EXPECT_EQ(mixed, 4);
  EXPECT_EQ(probe->GetIDsOfNames(u"Ad", &unknown), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(probe->GetIDsOfNames(u"Add ", &unknown), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(CallIt(*probe, u"Nope", {}).hr, DISP_E_UNKNOWNNAME);
}

TEST(Dispatch, ByReferenceArgumentIsInOut) {
  auto probe = platform::MakeRef<Probe>();
  Variant total(std::int32_t{10});
  Call c = CallIt(*probe, u"Add", {Variant(std::int32_t{5}), Argument::ByRef(total)});
  ASSERT_EQ(c.hr, S_OK);
  EXPECT_EQ(c.result, Variant(true));
  EXPECT_EQ(total, Variant(std::int32_t{15}));

  // A by-value argument is the callee's copy.
  Variant copy(std::int32_t{10});
  ASSERT_EQ(CallIt(*probe, u"Add", {Variant(std::int32_t{1}), Argument(copy)}).hr, S_OK);
  EXPECT_EQ(copy, Variant(std::int32_t{10}));

  // Passed as text, converted in, and the new value comes back in the parameter's kind.
  Variant text(u"4");
  ASSERT_EQ(CallIt(*probe, u"Add", {Variant(u"3"), Argument::ByRef(text)}).hr, S_OK);
  EXPECT_EQ(text, Variant(std::int32_t{7}));
}

TEST(Dispatch, UnwrittenByReferenceArgumentKeepsItsKind) {
  auto probe = platform::MakeRef<Probe>();
  Variant number(std::int32_t{12});
  ASSERT_EQ(CallIt(*probe, u"Leave", {Argument::ByRef(number)}).hr, S_OK);
  EXPECT_EQ(number, Variant(std::int32_t{12}));
}

TEST(Dispatch, RaisedErrorBecomesFailedCallKeepingEarlierWrites) {
  auto probe = platform::MakeRef<Probe>();
  Variant first(u"a"), second(u"b");
  Call c = CallIt(*probe, u"FailAfterWrite", {Argument::ByRef(first), Argument::ByRef(second)});
  EXPECT_EQ(c.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(c.result, Variant(false));
  EXPECT_EQ(c.excep.number, 13);
  EXPECT_EQ(c.excep.scode, MakeHresult(0x800A000D));
  EXPECT_EQ(c.excep.source, u"Vorlick.Probe");
  EXPECT_EQ(c.excep.description, u"Type mismatch");
  EXPECT_EQ(first, Variant(u"written"));
  EXPECT_EQ(second, Variant(u"b"));
}

TEST(Dispatch, OtherExceptionsBecomeFailedCallsWithTheClassAsSource) {
  auto probe = platform::MakeRef<Probe>();
  Call c = CallIt(*probe, u"Throws", {});
  EXPECT_EQ(c.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(c.result.vt(), VT_EMPTY);
  EXPECT_EQ(c.excep.number, 51);
  EXPECT_EQ(c.excep.source, u"Vorlick.Probe");
  EXPECT_EQ(c.excep.description, u"broken");
}

TEST(Dispatch, ArgumentCountAndMissingArguments) {
  auto probe = platform::MakeRef<Probe>();
  Variant total(std::int32_t{0});
  struct Case {
    const char* what;
    std::vector<Argument> args;
    HRESULT hr;
    UINT argErr;
  };
  std::vector<Case> cases = {
      {"too few", {Variant(std::int32_t{1})}, DISP_E_BADPARAMCOUNT, 99},
      {"none", {}, DISP_E_BADPARAMCOUNT, 99},
      {"too many",
       {Variant(std::int32_t{1}), Argument::ByRef(total), Variant()},
       DISP_E_BADPARAMCOUNT,
       99},
      {"required missing",
       {Variant::Missing(), Argument::ByRef(total)},
       DISP_E_PARAMNOTOPTIONAL,
       0},
      {"second required missing",
       {Variant(std::int32_t{1}), Variant::Missing()},
       DISP_E_PARAMNOTOPTIONAL,
       1},
  };
  for (auto& c : cases) {
    Call r = CallIt(*probe, u"Add", c.args);
    EXPECT_EQ(r.hr, c.hr) << c.what;
    EXPECT_EQ(r.argErr, c.argErr) << c.what;
  }
  EXPECT_EQ(probe->calls, 0);
  EXPECT_EQ(total, Variant(std::int32_t{0}));
}

TEST(Dispatch, OptionalParametersTakeTheirDefaults) {
  auto probe = platform::MakeRef<Probe>();
  struct Case {
    std::vector<Argument> args;
    std::int32_t expected;
  };
  std::vector<Case> cases = {
      {{Variant(std::int32_t{1})}, 151},
      {{Variant(std::int32_t{1}), Variant(std::int32_t{2})}, 121},
      {{Variant(std::int32_t{1}), Variant::Missing(), Variant(u"x")}, 152},
      {{Variant(std::int32_t{1}), Variant(std::int32_t{3}), Variant::Missing()}, 131},
  };
  for (auto& c : cases) {
    Call r = CallIt(*probe, u"Defaults", c.args);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.result, Variant(c.expected));
  }
  EXPECT_EQ(CallIt(*probe, u"Echo", {Variant(u"ab")}).result, Variant(u"ab"));
  EXPECT_EQ(CallIt(*probe, u"Echo", {Variant(u"ab"), Variant(u"True")}).result, Variant(u"AB"));
}

TEST(Dispatch, TypeMismatchNamesTheArgument) {
  auto probe = platform::MakeRef<Probe>();
  auto other = platform::MakeRef<Other>();
  Variant total(u"12");
  struct Case {
    std::u16string_view method;
    std::vector<Argument> args;
    HRESULT hr;
    UINT argErr;
  };
  std::vector<Case> cases = {
      {u"Add", {Variant(u"3s"), Argument::ByRef(total)}, DISP_E_TYPEMISMATCH, 0},
      {u"Add", {Variant(std::int32_t{1}), Variant(u"")}, DISP_E_TYPEMISMATCH, 1},
      {u"Add", {Variant(1e12), Variant(std::int32_t{1})}, DISP_E_OVERFLOW, 0},
      {u"Echo", {Variant(u"a"), Variant(u"maybe")}, DISP_E_TYPEMISMATCH, 1},
      {u"Echo", {Variant(platform::Ref<platform::Object>(probe))}, DISP_E_TYPEMISMATCH, 0},
      {u"TakeProbe", {Variant(other)}, DISP_E_TYPEMISMATCH, 0},
      {u"TakeProbe", {Variant(std::int32_t{0})}, DISP_E_TYPEMISMATCH, 0},
  };
  for (auto& c : cases) {
    Call r = CallIt(*probe, c.method, c.args);
    EXPECT_EQ(r.hr, c.hr) << platform::ToAnsi(c.method);
    EXPECT_EQ(r.argErr, c.argErr);
  }
  EXPECT_EQ(total, Variant(u"12"));
  EXPECT_EQ(CallIt(*probe, u"TakeProbe", {Variant(probe)}).result, Variant(true));
  EXPECT_EQ(CallIt(*probe, u"TakeProbe", {Variant::Nothing()}).result, Variant(false));
}

TEST(Dispatch, PropertiesAndMethodsAnswerTheirOwnFlags) {
  auto probe = platform::MakeRef<Probe>();
  Call get = CallIt(*probe, u"Width", {}, DISPATCH_PROPERTYGET);
  ASSERT_EQ(get.hr, S_OK);
  EXPECT_EQ(get.result, Variant(std::int16_t{7}));
  // Late-bound callers often ask for either.
  EXPECT_EQ(CallIt(*probe, u"Width", {}, DISPATCH_METHOD | DISPATCH_PROPERTYGET).hr, S_OK);
  EXPECT_EQ(CallIt(*probe, u"Width", {}, DISPATCH_METHOD).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(CallIt(*probe, u"Throws", {}, DISPATCH_PROPERTYGET).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(CallIt(*probe, u"Width", {Variant(std::int32_t{1})}, DISPATCH_PROPERTYGET).hr,
            DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(probe->Invoke(0, DISPATCH_METHOD, {}, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(probe->Invoke(100, DISPATCH_METHOD, {}, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
}

TEST(Dispatch, CallFromAnotherThreadFailsAndDoesNothing) {
  auto probe = platform::MakeRef<Probe>();
  Variant total(std::int32_t{1});
  HRESULT invoked = S_OK, named = S_OK;
  std::thread other([&] {
    std::vector<Argument> args = {Variant(std::int32_t{5}), Argument::ByRef(total)};
    invoked = probe->Invoke(1, DISPATCH_METHOD, args, nullptr, nullptr, nullptr);
    DISPID id = 0;
    named = probe->GetIDsOfNames(u"Add", &id);
  });
  other.join();
  EXPECT_EQ(invoked, RPC_E_WRONG_THREAD);
  EXPECT_EQ(named, RPC_E_WRONG_THREAD);
  EXPECT_EQ(probe->calls, 0);
  EXPECT_EQ(total, Variant(std::int32_t{1}));
}

TEST(Dispatch, LastReferenceDestroysTheObject) {
  bool destroyed = false;
  {
    auto probe = platform::MakeRef<Probe>(&destroyed);
    Variant held(probe);
    probe = nullptr;
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);
}

struct Conversion {
  Variant in;
  VARTYPE vt;
  HRESULT hr;
  Variant out;
};

TEST(VariantChangeType, ConvertsTheWayLateBoundCallersExpect) {
  const std::vector<Conversion> cases = {
      {Variant(u"12"), VT_I4, S_OK, Variant(std::int32_t{12})},
      {Variant(u" 3 "), VT_I2, S_OK, Variant(std::int16_t{3})},
      {Variant(u"2.5"), VT_I4, S_OK, Variant(std::int32_t{2})},  // halves to even
      {Variant(3.5), VT_I4, S_OK, Variant(std::int32_t{4})},
      {Variant(-2.5), VT_I2, S_OK, Variant(std::int16_t{-2})},
      {Variant(std::int32_t{32767}), VT_I2, S_OK, Variant(std::int16_t{32767})},
      {Variant(std::int32_t{32768}), VT_I2, DISP_E_OVERFLOW, Variant()},
      {Variant(2147483647.4), VT_I4, S_OK, Variant(std::int32_t{2147483647})},
      {Variant(2147483647.5), VT_I4, DISP_E_OVERFLOW, Variant()},
      {Variant(u"3s"), VT_I4, DISP_E_TYPEMISMATCH, Variant()},
      {Variant(u""), VT_R8, DISP_E_TYPEMISMATCH, Variant()},
      {Variant(true), VT_I4, S_OK, Variant(std::int32_t{-1})},
      {Variant(), VT_I4, S_OK, Variant(std::int32_t{0})},
      {Variant(), VT_BSTR, S_OK, Variant(u"")},
      {Variant(std::int32_t{-5}), VT_BSTR, S_OK, Variant(u"-5")},
      {Variant(0.1), VT_BSTR, S_OK, Variant(u"0.1")},
      {Variant(1e20), VT_BSTR, S_OK, Variant(u"1E+20")},
      {Variant(false), VT_BSTR, S_OK, Variant(u"False")},
      {Variant(true), VT_BSTR, S_OK, Variant(u"True")},
      {Variant(u"TRUE"), VT_BOOL, S_OK, Variant(true)},
      {Variant(u"0"), VT_BOOL, S_OK, Variant(false)},
      {Variant(std::int32_t{2}), VT_BOOL, S_OK, Variant(true)},
      {Variant(u"yes"), VT_BOOL, DISP_E_TYPEMISMATCH, Variant()},
      {Variant(std::int32_t{1}), VT_DISPATCH, DISP_E_TYPEMISMATCH, Variant()},
      {Variant::Nothing(), VT_I4, DISP_E_TYPEMISMATCH, Variant()},
      {Variant(platform::OleDate{36526.5}), VT_BSTR, S_OK, Variant(u"1/1/2000 12:00:00 PM")},
      {Variant(platform::OleDate{36526}), VT_BSTR, S_OK, Variant(u"1/1/2000")},
      {Variant(1.0e7), VT_DATE, DISP_E_OVERFLOW, Variant()},
      {Variant::IntPtr(LONG_PTR{1} << 40), VT_I4, DISP_E_OVERFLOW, Variant()},
      {Variant(std::int32_t{-7}), VT_INT_PTR, S_OK, Variant::IntPtr(-7)},
      {Variant(9.3e18), VT_INT_PTR, DISP_E_OVERFLOW, Variant()},
  };
  for (const auto& c : cases) {
    Variant out;
    HRESULT hr = VariantChangeType(out, c.in, c.vt);
    EXPECT_EQ(hr, c.hr) << "from kind " << c.in.vt() << " to " << c.vt;
    EXPECT_EQ(out, c.out) << "from kind " << c.in.vt() << " to " << c.vt;
  }
}

}  // namespace
