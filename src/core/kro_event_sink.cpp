#include "core/kro_event_sink.h"

#include "common/com_checks.h"
#include "common/scoped_variant.h"

namespace zel::core {
namespace {

constexpr UINT kMaxParams = 5;

}  // namespace

CKroEventSink::~CKroEventSink() { UnadviseSource(); }

STDMETHODIMP CKroEventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT* arg_error) {
  struct Entry {
    DISPID id;
    UINT count;
    VARTYPE types[kMaxParams];
    HRESULT (*call)(CKroEventSink& sink, VARIANTARG* const* args);
  };
  static const Entry kEntries[] = {
      {kro::kDispidOnServiceRequested, 5,
       {VT_BSTR, VT_BSTR, VT_VARIANT, VT_BYREF | VT_VARIANT, VT_BYREF | VT_I4},
       [](CKroEventSink& sink, VARIANTARG* const* a) {
         return sink.OnServiceRequested(V_BSTR(a[0]), V_BSTR(a[1]), a[2], V_VARIANTREF(a[3]), V_I4REF(a[4]));
       }},
      {kro::kDispidOnBrokerNotify, 2, {VT_I4, VT_BYREF | VT_I4},
       [](CKroEventSink& sink, VARIANTARG* const* a) { return sink.OnBrokerNotify(V_I4(a[0]), V_I4REF(a[1])); }},
  };

  const Entry* entry = nullptr;
  for (const Entry& candidate : kEntries) {
    if (candidate.id == id) entry = &candidate;
  }
  if (entry == nullptr) return S_OK;
  if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr)) return E_INVALIDARG;
  if (params->cArgs != entry->count) return DISP_E_BADPARAMCOUNT;

  try {
    // Automation passes the arguments last first. By-value arguments of another type are coerced;
    // by-reference ones must match exactly, since the handler writes through them.
    ScopedVariant coerced[kMaxParams];
    VARIANTARG* args[kMaxParams] = {};
    for (UINT i = 0; i < entry->count; ++i) {
      const UINT position = params->cArgs - 1 - i;
      VARIANTARG* arg = &params->rgvarg[position];
      const VARTYPE wanted = entry->types[i];
      if (wanted == VT_VARIANT || V_VT(arg) == wanted) {
        args[i] = arg;
      } else if ((wanted & VT_BYREF) == 0 &&
                 SUCCEEDED(::VariantChangeType(coerced[i].Get(), arg, 0, wanted))) {
        args[i] = coerced[i].Get();
      } else {
        if (arg_error != nullptr) *arg_error = position;
        return DISP_E_TYPEMISMATCH;
      }
      if ((wanted & VT_BYREF) != 0 && V_BYREF(args[i]) == nullptr) return E_POINTER;
    }
    // The last Release may end this object's life: nothing of it is touched after the scope closes.
    struct CallScope {
      explicit CallScope(CKroEventSink& sink) : sink(sink) { sink.AddRef(); }
      ~CallScope() { sink.Release(); }
      CKroEventSink& sink;
    } scope(*this);
    return entry->call(*this, args);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CKroEventSink::AdviseSource(IUnknown* source) {
  if (source == nullptr) return E_POINTER;
  IConnectionPointContainerPtr container;
  ZEL_RETURN_IF_FAILED(
      source->QueryInterface(__uuidof(IConnectionPointContainer), reinterpret_cast<void**>(&container)));
  IConnectionPointPtr point;
  ZEL_RETURN_IF_FAILED(container->FindConnectionPoint(sink_iid_, &point));
  DWORD cookie = 0;
  ZEL_RETURN_IF_FAILED(point->Advise(static_cast<IDispatch*>(this), &cookie));
  connection_point_ = point;
  cookie_ = cookie;
  return S_OK;
}

HRESULT CKroEventSink::UnadviseSource() {
  if (connection_point_ == nullptr) return S_OK;
  const HRESULT hr = connection_point_->Unadvise(cookie_);
  connection_point_ = nullptr;
  cookie_ = 0;
  // A source in a process that died never releases the sink: the stubs that the platform made for
  // it would keep it, and drop it whenever they were cleaned up. Cut now, while it is alive.
  ::CoDisconnectObject(static_cast<IDispatch*>(this), 0);
  return hr;
}

}  // namespace zel::core
