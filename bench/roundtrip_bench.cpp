// Round trips per second of a trivial request through broker -> module -> back, against the same
// broker raising the same event on a sink that does nothing. Target: the module adds at most 20 %
// to the time of a round trip. The same requests through the broker in zelbroker.exe show what
// crossing processes costs, beside the in-process figure.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "host_session.h"

namespace {

using zelhost::CKroBroker;
using Deliver = std::function<HRESULT(VARIANT&, VARIANT*, LONG*)>;

// Round trips per second with `clients` threads each sending `per_client` requests.
double Measure(const Deliver& deliver, int clients, int per_client) {
  const double start = zelbench::Now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      zel::ScopedVariant input;
      for (int i = 0; i < per_client; ++i) {
        zel::ScopedVariant output;
        LONG rc = 0;
        deliver(*input, output.Get(), &rc);
      }
      ::CoUninitialize();
    });
  }
  for (std::thread& thread : threads) thread.join();
  return clients * per_client / (zelbench::Now() - start);
}

double Best(const Deliver& deliver, int clients, int per_client) {
  double best = 0;
  for (int round = 0; round < 5; ++round) best = std::max(best, Measure(deliver, clients, per_client));
  return best;
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
  constexpr int kPerClient = 20000;
  for (int clients : {1, 4}) {
    double baseline = 0;
    {
      // The broker alone: register one service by hand for a sink that does nothing.
      zelhost::BrokerPtr broker = CKroBroker::Create(8);
      const zel::ComOwner<zelbench::NullSink> sink = zel::MakeComObject<zelbench::NullSink>();
      DWORD cookie = 0;
      broker->Advise(sink.get(), &cookie);
      zel::ScopedVariant handle, answer;
      broker->BeginRegistration(handle.Get(), 1);
      broker->RegisterService(handle.Get(), 34, _bstr_t(L"StartUpload"), _bstr_t(L"StartUpload"));
      broker->CompleteRegistration(_bstr_t(L"localhost"), _bstr_t(L"Null"), handle.Get(), answer.Get());
      baseline = Best(Through(*broker), clients, kPerClient / clients);
      broker->Unadvise(cookie);
    }
    double module = 0;
    {
      zelhost::HostSession session(zelhost::HostOptions{});
      module = Best(Through(session), clients, kPerClient / clients);
    }
    double remote = 0;
    {
      zelhost::HostOptions options;
      options.broker_mode = zelhost::BrokerMode::kLocalServer;
      zelhost::HostSession session(options);
      remote = Best(Through(session), clients, kPerClient / 10 / clients);
    }
    char what[64];
    std::snprintf(what, sizeof(what), "round trips/s through the module, %d client%s", clients,
                  clients > 1 ? "s" : "");
    zelbench::Report(what, module, "1/s", baseline, "(null sink)");
    std::printf("%-44s %11.1f%%  (target: at most 20%%)\n", "  module overhead per round trip",
                (baseline / module - 1) * 100);
    std::snprintf(what, sizeof(what), "  across processes (zelbroker.exe), %d client%s", clients, clients > 1 ? "s" : "");
    zelbench::Report(what, remote, "1/s", module, "(in process)");
  }
  return 0;
}
