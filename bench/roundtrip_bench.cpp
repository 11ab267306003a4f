// Round trips of a trivial request through broker -> module -> back, against the same broker
// raising the same event on a sink that does nothing, in interleaved rounds. Target: the module adds
// at most 5 % to a round trip at 1 and 4 clients. Round trips per second at 1 to 16 clients are
// drawn as a curve, and the same requests through the broker in zelbroker.exe show what crossing
// processes costs, beside the in-process figure.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "host_session.h"

namespace {

using zelhost::CKroBroker;
using Deliver = std::function<HRESULT(VARIANT&, VARIANT*, LONG*)>;

// Round trips per second with `clients` threads each sending `per_client` requests; negative when
// a request failed.
double Measure(const Deliver& deliver, int clients, int per_client) {
  const double start = zelbench::Now();
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      zel::ScopedVariant input;
      for (int i = 0; i < per_client; ++i) {
        zel::ScopedVariant output;
        LONG rc = 0;
        if (FAILED(deliver(*input, output.Get(), &rc))) failed = true;
      }
      ::CoUninitialize();
    });
  }
  for (std::thread& thread : threads) thread.join();
  return failed ? -1 : clients * per_client / (zelbench::Now() - start);
}

Deliver Through(CKroBroker& broker) {
  return [&broker](VARIANT& input, VARIANT* output, LONG* rc) {
    return broker.Deliver(L"bench", L"StartUpload", input, output, rc);
  };
}

Deliver Through(zelhost::HostSession& session) {
  return [&session](VARIANT& input, VARIANT* output, LONG* rc) {
    return session.Deliver(L"bench", L"StartUpload", input, output, rc);
  };
}

}  // namespace

int main() {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  constexpr int kRequests = 4000;
  // The broker alone: one service registered by hand for a sink that does nothing.
  zelhost::BrokerPtr broker = CKroBroker::Create(8);
  const zel::ComOwner<zelbench::NullSink> sink = zel::MakeComObject<zelbench::NullSink>();
  DWORD cookie = 0;
  broker->Advise(sink.get(), &cookie);
  zel::ScopedVariant handle, answer;
  broker->BeginRegistration(handle.Get(), 1);
  broker->RegisterService(handle.Get(), 34, _bstr_t(L"StartUpload"), _bstr_t(L"StartUpload"));
  broker->CompleteRegistration(_bstr_t(L"localhost"), _bstr_t(L"Null"), handle.Get(), answer.Get());
  {
    zelhost::HostSession session(zelhost::HostOptions{});
    for (int clients : {1, 2, 4, 8, 16}) {
      const int per_client = kRequests / clients;
      // Seconds per round trip, so that the ratio is the module's time over the null sink's.
      const zelbench::Paired paired = zelbench::Interleave([&] { return 1 / Measure(Through(session), clients, per_client); },
                                                           [&] { return 1 / Measure(Through(*broker), clients, per_client); });
      zelbench::Point("round trips per second against clients", "through the module", clients, 1 / paired.subject);
      zelbench::Point("round trips per second against clients", "null sink (baseline)", clients, 1 / paired.baseline);
      if (clients != 1 && clients != 4) continue;
      char what[80];
      std::snprintf(what, sizeof(what), "round trip through the module, %d client%s", clients, clients > 1 ? "s" : "");
      zelbench::Judge(what, zelbench::Scaled(paired, 1e6), "us", "(null sink)", zelbench::AtMost(1.05));
    }
  }
  // Across processes, against the broker alone in process: a session of its own, since the module
  // is loaded once per process.
  {
    zelhost::HostOptions options;
    options.broker_mode = zelhost::BrokerMode::kLocalServer;
    zelhost::HostSession remote(options);
    for (int clients : {1, 4}) {
      const int per_client = kRequests / 10 / clients;
      char what[80];
      std::snprintf(what, sizeof(what), "  across processes (zelbroker.exe), %d client%s", clients, clients > 1 ? "s" : "");
      zelbench::Judge(what,
                      zelbench::Scaled(zelbench::Interleave([&] { return 1 / Measure(Through(remote), clients, per_client); },
                                                            [&] { return 1 / Measure(Through(*broker), clients, per_client); }),
                                       1e6),
                      "us", "(null sink, in process)");
    }
  }
  broker->Unadvise(cookie);
  return 0;
}
