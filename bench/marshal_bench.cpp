// Where a large answer's time goes when the broker runs in zelbroker.exe: byte arrays
// (VT_ARRAY|VT_UI1) of 1, 4 and 8 MiB sent through each process crossing on its own, in MiB/s,
// beside copying the same bytes in memory. The scripted answers travel to the broker as one JSON
// text of some 35 MB in Attach, which takes seconds, hence the host's way of attaching.
//
// A GetFile answer crosses twice: from the module's event sink back to the broker (the by-reference
// output of OnServiceRequested, carried by the platform's IDispatch marshaler) and from the broker
// to the host (IZelBrokerHost::Deliver's output, carried by the type-library marshaler). This
// program plays the module's part with a sink of its own, so each hop can be timed alone:
//   host -> broker     IKroBroker::Request with the bytes as its [in, out] result, which the
//                      broker's unscripted satellite clears
//   broker -> host     IKroBroker::Request answered by a scripted satellite with the bytes
//                      (less the broker's making of them from the script, timed here in process)
//   broker -> sink     Deliver with the bytes as input, less the host -> broker hop
//   sink -> broker     Deliver whose sink answers the bytes, less the broker -> host hop
// Each figure is the time of a call less that of the same call with an empty VARIANT. The calls of
// one size run in interleaved rounds (their order reversed every other round), and each hop is
// judged on the median of its per-round ratio to copying the bytes in memory.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base64.h"
#include "bench_support.h"
#include "broker/broker_connection.h"
#include "broker/broker_host_interface.h"
#include "broker/broker_registration.h"
#include "common/safearray_lock.h"
#include "common/scoped_variant.h"
#include "json_variant.h"

_COM_SMARTPTR_TYPEDEF(IKroBroker, __uuidof(IKroBroker));
_COM_SMARTPTR_TYPEDEF(IConnectionPoint, __uuidof(IConnectionPoint));
_COM_SMARTPTR_TYPEDEF(IConnectionPointContainer, __uuidof(IConnectionPointContainer));

namespace {

constexpr LONG kSizesKiB[] = {1024, 4096, 8192};

void MakeBytes(LONG size, VARIANT* out) {
  ::VariantClear(out);
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
  zel::SafeArrayDataLock data(array);
  if (data.Ok()) std::memset(data.Data(), 0x5A, static_cast<size_t>(size));
  V_VT(out) = VT_ARRAY | VT_UI1;
  V_ARRAY(out) = array;
}

// The module's part: OnServiceRequested answers as many bytes as its input (VT_I4) asks for, and
// nothing for any other input.
class BytesSink final : public zelbench::BenchSink {
 protected:
  void OnEvent(DISPID id, DISPPARAMS& params) override {
    if (id != kro::kDispidOnServiceRequested || params.cArgs != 5) return;
    const VARIANT& input = params.rgvarg[2];
    VARIANT* output = V_VARIANTREF(&params.rgvarg[1]);
    if (V_VT(&input) == VT_I4 && V_I4(&input) > 0) MakeBytes(V_I4(&input), output);
  }
};

// Seconds per call of `call`.
template <typename Call>
double Seconds(int calls, const Call& call) {
  const double start = zelbench::Now();
  for (int i = 0; i < calls; ++i) call();
  return (zelbench::Now() - start) / calls;
}

std::string ScriptFor(const std::vector<LONG>& sizes) {
  zelhost::Json script = zelhost::Json::object();
  for (LONG size : sizes) {
    const std::string bytes = zelhost::Base64Encode(std::string(static_cast<size_t>(size), 'Z'));
    script["Big"][std::to_string(size)] = {{"result", {{"bytes", bytes}}}};
  }
  return zelhost::DumpJson(script);
}

void Row(const char* hop, double mib, double seconds, double memcpy_seconds) {
  std::printf("  %-38s %5.1f MiB %9.1f ms %9.1f MiB/s   (copy in memory: %.1f ms)\n", hop, mib, seconds * 1000,
              mib / seconds, memcpy_seconds * 1000);
}

}  // namespace

int main() {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::vector<LONG> sizes;
  for (LONG kib : kSizesKiB) sizes.push_back(kib << 10);
  if (FAILED(zelhost::RegisterBrokerServer(zelhost::BrokerServerBesideProgram()))) {
    std::fprintf(stderr, "cannot register zelbroker.exe\n");
    return 1;
  }
  IKroBrokerPtr broker;
  IZelBrokerHostPtr host;
  HRESULT hr = ::CoCreateInstance(kro::kClsidKroBroker, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(IKroBroker),
                                  reinterpret_cast<void**>(&broker));
  if (SUCCEEDED(hr)) hr = broker->QueryInterface(__uuidof(IZelBrokerHost), reinterpret_cast<void**>(&host));
  const std::string script = ScriptFor(sizes);
  if (SUCCEEDED(hr)) hr = zelhost::ClaimAndAttach(host, zelhost::FromUtf8(script), L"");
  const zel::ComOwner<BytesSink> sink = zel::MakeComObject<BytesSink>();
  IConnectionPointContainerPtr container;
  IConnectionPointPtr point;
  DWORD cookie = 0;
  if (SUCCEEDED(hr)) hr = broker->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(kro::kDiidKroInEvents, &point);
  if (SUCCEEDED(hr)) hr = point->Advise(sink.get(), &cookie);
  zel::ScopedVariant handle, answer;
  if (SUCCEEDED(hr)) hr = broker->BeginRegistration(handle.Get(), 1);
  if (SUCCEEDED(hr)) hr = broker->RegisterService(handle.Get(), 1, _bstr_t(L"Bytes"), _bstr_t(L"Bytes"));
  if (SUCCEEDED(hr)) {
    hr = broker->CompleteRegistration(_bstr_t(L"localhost"), _bstr_t(L"Bench"), handle.Get(), answer.Get());
  }
  if (FAILED(hr)) {
    std::fprintf(stderr, "cannot set up the broker in zelbroker.exe: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }

  const auto request = [&](const wchar_t* target, const std::wstring& service, LONG in_bytes) {
    zel::ScopedVariant parameters, result, status;
    if (in_bytes > 0) MakeBytes(in_bytes, result.Get());
    broker->Request(_bstr_t(target), _bstr_t(service.c_str()), *parameters, result.Get(), 0, status.Get());
  };
  const auto deliver = [&](bool bytes_in, LONG size) {
    zel::ScopedVariant input, output;
    if (bytes_in) {
      MakeBytes(size, input.Get());
    } else {
      input.SetLong(size);
    }
    LONG rc = 0;
    host->Deliver(_bstr_t(L"bench"), _bstr_t(L"Bytes"), *input, output.Get(), &rc);
  };
  // The fixed costs: each call with an empty VARIANT, and making the arrays.
  const double request_empty = zelbench::MedianOf({Seconds(50, [&] { request(L"none", L"none", 0); }),
                                                   Seconds(50, [&] { request(L"none", L"none", 0); })});
  const double deliver_empty = zelbench::MedianOf({Seconds(50, [&] { deliver(false, 0); }),
                                                   Seconds(50, [&] { deliver(false, 0); })});
  std::printf("per call with nothing to carry: Request %.2f ms, Deliver %.2f ms\n", request_empty * 1000,
              deliver_empty * 1000);
  std::printf("byte arrays through each hop (the platform's marshalers and RPC), medians of %d rounds:\n", zelbench::kPairs);
  for (LONG size : sizes) {
    const double mib = size / double(1 << 20);
    const int calls = size >= (8 << 20) ? 1 : 2;
    std::vector<char> from(static_cast<size_t>(size), 1), to(static_cast<size_t>(size));
    zelhost::Json scripted = zelhost::ParseJson(script)["Big"][std::to_string(size)]["result"];
    enum { kCopy, kMake, kFromScript, kRequestIn, kRequestOut, kDeliverIn, kDeliverOut, kCalls };
    const auto time_one = [&](int which) {
      switch (which) {
        case kCopy: return Seconds(calls, [&] { std::memcpy(to.data(), from.data(), to.size()); });
        case kMake: return Seconds(calls, [&] { zel::ScopedVariant bytes; MakeBytes(size, bytes.Get()); });
        case kFromScript:
          return Seconds(calls, [&] {
            zel::ScopedVariant bytes;
            zelhost::JsonToVariant(scripted, bytes.Get(), nullptr);
          });
        case kRequestIn: return Seconds(calls, [&] { request(L"none", L"none", size); });
        case kRequestOut: return Seconds(calls, [&] { request(L"Big", std::to_wstring(size), 0); });
        case kDeliverIn: return Seconds(calls, [&] { deliver(true, size); });
        default: return Seconds(calls, [&] { deliver(false, size); });
      }
    };
    std::vector<double> times[kCalls];
    for (int round = 0; round < zelbench::kPairs; ++round) {
      for (int step = 0; step < kCalls; ++step) {
        const int which = round % 2 ? kCalls - 1 - step : step;
        times[which].push_back(time_one(which));
      }
    }
    std::vector<double> hops[4];
    for (int r = 0; r < zelbench::kPairs; ++r) {
      const double host_to_broker = times[kRequestIn][r] - request_empty - times[kMake][r];
      const double broker_to_host = times[kRequestOut][r] - request_empty - times[kFromScript][r];
      hops[0].push_back(host_to_broker);
      hops[1].push_back(broker_to_host);
      hops[2].push_back(times[kDeliverIn][r] - deliver_empty - times[kMake][r] - host_to_broker);
      hops[3].push_back(times[kDeliverOut][r] - deliver_empty - times[kMake][r] - broker_to_host);
    }
    const char* const names[4] = {"host -> broker (type library)", "broker -> host (type library)",
                                  "broker -> sink (IDispatch, by value)", "sink -> broker (IDispatch, by ref)"};
    for (int hop = 0; hop < 4; ++hop) {
      const double median = zelbench::MedianOf(hops[hop]);
      Row(names[hop], mib, median, zelbench::MedianOf(times[kCopy]));
      char what[80];
      std::snprintf(what, sizeof(what), "  %s, %.0f MiB", names[hop], mib);
      for (double& seconds : hops[hop]) seconds = std::max(seconds, 0.0);  // a hop lost in the noise
      zelbench::Judge(what, zelbench::Scaled(zelbench::Summarize(hops[hop], times[kCopy]), 1000), "ms", "(copy in memory)");
    }
  }
  zel::ScopedVariant unregistered;
  broker->Unregister(handle.Get(), unregistered.Get());
  point->Unadvise(cookie);
  host->Leave(static_cast<LONG>(::GetCurrentProcessId()));
  point = nullptr;
  container = nullptr;
  host = nullptr;
  broker = nullptr;
  zelhost::UnregisterBrokerServer();
  ::CoUninitialize();
  return 0;
}
