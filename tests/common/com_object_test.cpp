#include <windows.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include "common/com_object.h"

namespace zel {
namespace {

// {3C3F2D33-5B50-4D0C-9C7E-2F0A5A6B7C01}: an interface known by its IID alone.
constexpr IID kOtherIid = {0x3c3f2d33, 0x5b50, 0x4d0c, {0x9c, 0x7e, 0x2f, 0x0a, 0x5a, 0x6b, 0x7c, 0x01}};

class Probe;

// IConnectionPointContainer as a tear-off of Probe.
class ProbePart final : public TearOff<IConnectionPointContainer, Probe> {
 public:
  using TearOff::TearOff;
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID, IConnectionPoint**) override { return E_NOTIMPL; }
};

// Two listed interfaces, the second a dispatch interface, one known by IID and a tear-off.
class Probe final : public ComObject<IClassFactory, IDispatch> {
 public:
  explicit Probe(int& destroyed) : destroyed_(destroyed) {}
  ~Probe() override { ++destroyed_; }
  STDMETHODIMP CreateInstance(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
  STDMETHODIMP LockServer(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  ULONG Count() {
    AddRef();
    return Release();
  }
  ProbePart part{*this};

 protected:
  IUnknown* OtherInterface(REFIID iid) override {
    if (::IsEqualIID(iid, kOtherIid)) return static_cast<IDispatch*>(this);
    return ::IsEqualIID(iid, IID_IConnectionPointContainer) ? &part : nullptr;
  }

 private:
  int& destroyed_;
};

// Each IID reaches the subobject whose vtable answers it (a wrong one would call the wrong
// methods), every route agrees on the identity, references are counted across the tear-off too,
// and the object goes exactly at the last Release.
TEST(ComObjectTest, AnswersEachInterfaceWithItsOwnVtableAndGoesAtTheLastRelease) {
  int destroyed = 0;
  Probe* probe = new Probe(destroyed);
  IUnknown* const factory = static_cast<IClassFactory*>(probe);
  IUnknown* const dispatch = static_cast<IDispatch*>(probe);
  ASSERT_NE(factory, dispatch);
  const struct {
    const IID& iid;
    IUnknown* expected;
  } cases[] = {{IID_IUnknown, factory},       {IID_IClassFactory, factory}, {IID_IDispatch, dispatch},
               {kOtherIid, dispatch},         {IID_IConnectionPointContainer, &probe->part},
               {IID_IConnectionPoint, nullptr}, {IID_IStream, nullptr}};
  for (IUnknown* from : {factory, dispatch, static_cast<IUnknown*>(&probe->part)}) {
    for (const auto& c : cases) {
      void* got = reinterpret_cast<void*>(1);
      EXPECT_EQ(from->QueryInterface(c.iid, &got), c.expected != nullptr ? S_OK : E_NOINTERFACE);
      EXPECT_EQ(got, c.expected);
      if (got != nullptr) static_cast<IUnknown*>(got)->Release();
    }
    EXPECT_EQ(from->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  }
  EXPECT_EQ(probe->Count(), 1u);  // every reference handed out was given back
  EXPECT_EQ(probe->part.AddRef(), 2u);
  EXPECT_EQ(dispatch->Release(), 1u);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
}  // namespace zel
