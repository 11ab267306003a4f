// Round trips per second of a trivial request through broker -> module -> back, against the same
// broker raising the same event on a sink that does nothing. Target: the module adds at most 20 %
// to the time of a round trip.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "host_session.h"

namespace {

using zelhost::CKroBroker;

// Round trips per second with `clients` threads each sending `per_client` requests.
double Measure(CKroBroker& broker, const wchar_t* service, int clients, int per_client) {
  const double start = zelbench::Now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      zel::ScopedVariant input;
      for (int i = 0; i < per_client; ++i) {
        zel::ScopedVariant output;
        LONG rc = 0;
        broker.Deliver(L"bench", service, *input, output.Get(), &rc);
      }
      ::CoUninitialize();
    });
  }
  for (std::thread& thread : threads) thread.join();
  return clients * per_client / (zelbench::Now() - start);
}

double Best(CKroBroker& broker, const wchar_t* service, int clients, int per_client) {
  double best = 0;
  for (int round = 0; round < 5; ++round) best = std::max(best, Measure(broker, service, clients, per_client));
  return best;
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
      zelbench::NullSink sink;
      DWORD cookie = 0;
      broker->Advise(&sink, &cookie);
      zel::ScopedVariant handle, answer;
      broker->BeginRegistration(handle.Get(), 1);
      broker->RegisterService(handle.Get(), 34, _bstr_t(L"StartUpload"), _bstr_t(L"StartUpload"));
      broker->CompleteRegistration(_bstr_t(L"localhost"), _bstr_t(L"Null"), handle.Get(), answer.Get());
      baseline = Best(*broker, L"StartUpload", clients, kPerClient / clients);
      broker->Unadvise(cookie);
    }
    double module = 0;
    {
      zelhost::HostSession session(zelhost::HostOptions{});
      module = Best(session.Broker(), L"StartUpload", clients, kPerClient / clients);
    }
    char what[64];
    std::snprintf(what, sizeof(what), "round trips/s through the module, %d client%s", clients,
                  clients > 1 ? "s" : "");
    zelbench::Report(what, module, "1/s", baseline, "(null sink)");
    std::printf("%-44s %11.1f%%  (target: at most 20%%)\n", "  module overhead per round trip",
                (baseline / module - 1) * 100);
  }
  return 0;
}
