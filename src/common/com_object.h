#pragma once

#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

#include <memory>
#include <type_traits>
#include <utility>

namespace zel {

// The IUnknown of every COM object of ours (the module's event sink, the host's broker and class
// factory, the test and benchmark doubles), in the manner of WRL's RuntimeClass: the object
// implements `Interfaces`, and QueryInterface answers each of their IIDs, IUnknown through the
// first and IDispatch through the first that derives from it; the first match wins. The count is
// interlocked and starts at one, the creator's; the last Release deletes the object.
template <typename... Interfaces>
class ComObject : public Interfaces... {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    IUnknown* found = Listed(iid);
    if (found == nullptr) found = OtherInterface(iid);
    if (found == nullptr) return E_NOINTERFACE;
    found->AddRef();
    *object = found;
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = ::InterlockedDecrement(&references_);
    if (left == 0) delete this;  // nothing of the object is touched after this
    return static_cast<ULONG>(left);
  }

  // The object's identity: the IUnknown that QueryInterface answers for it (no reference added).
  IUnknown* Identity() { return Listed(IID_IUnknown); }

  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;

  // An interface beyond the list, asked after it: one known by its IID alone (a dispatch
  // interface), or another object's that shares this identity. Null: none.
  virtual IUnknown* OtherInterface(REFIID) { return nullptr; }
  // True while a reference other than the creator's one exists.
  bool IsShared() const { return ::InterlockedCompareExchange(&references_, 0, 0) > 1; }

 private:
  template <typename Interface>
  static bool Answers(REFIID iid) {
    return ::IsEqualIID(iid, __uuidof(Interface)) || ::IsEqualIID(iid, IID_IUnknown) ||
           (std::is_base_of_v<IDispatch, Interface> && ::IsEqualIID(iid, IID_IDispatch));
  }
  IUnknown* Listed(REFIID iid) {
    IUnknown* found = nullptr;
    ((found = found == nullptr && Answers<Interfaces>(iid) ? static_cast<Interfaces*>(this) : found), ...);
    return found;
  }

  mutable volatile LONG references_ = 1;
};

// An interface of `Owner` implemented by a separate object, in the manner of ATL's tear-offs: its
// identity and count are the owner's, and the owner answers for every other interface.
template <typename Interface, typename Owner>
class TearOff : public Interface {
 public:
  explicit TearOff(Owner& owner) : owner_(owner) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr || !::IsEqualIID(iid, __uuidof(Interface))) return owner_.QueryInterface(iid, object);
    *object = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }

 private:
  Owner& owner_;
};

// Owns one reference to a COM object and lets it go when destroyed.
struct ComRelease {
  template <typename T>
  void operator()(T* object) const {
    object->Release();
  }
};
template <typename T>
using ComOwner = std::unique_ptr<T, ComRelease>;

// A new object of `T`, owned through the creator's reference.
template <typename T, typename... Args>
ComOwner<T> MakeComObject(Args&&... args) {
  return ComOwner<T>(new T(std::forward<Args>(args)...));
}

}  // namespace zel
