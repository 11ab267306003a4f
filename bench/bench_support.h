#pragma once

// Helpers shared by the benchmarks: a clock, a sink that answers nothing, and the report format.
// Every figure is printed beside a baseline measured in the same run.

#include <windows.h>
#include <oaidl.h>

#include <cstdio>
#include <string>

#include "common/com_object.h"
#include "channel/kro_interfaces.h"

namespace zelbench {

inline double Now() {
  LARGE_INTEGER frequency, counter;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// `name` inside the temporary folder, where the benchmarks make their inputs.
inline std::wstring TempPath(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + name;
}

// An _IKroInEvents sink (made with zel::MakeComObject): every event goes to OnEvent, and succeeds.
class BenchSink : public zel::ComObject<IDispatch> {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    OnEvent(id, *params);
    return S_OK;
  }

 protected:
  virtual void OnEvent(DISPID, DISPPARAMS&) {}
  IUnknown* OtherInterface(REFIID iid) override {
    return ::IsEqualIID(iid, kro::kDiidKroInEvents) ? static_cast<IDispatch*>(this) : nullptr;
  }
};

// A sink that accepts every event and does nothing: the broker's own cost.
class NullSink final : public BenchSink {};

inline void Report(const char* what, double value, const char* unit, double baseline, const char* baseline_name) {
  std::printf("%-44s %12.1f %-8s baseline %-26s %12.1f  ratio %.3f\n", what, value, unit, baseline_name, baseline,
              value / baseline);
}

}  // namespace zelbench
