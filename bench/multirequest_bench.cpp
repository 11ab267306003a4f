// "MultiRequest" of 64 sub-requests to satellites that each take 100 ms, in interleaved rounds with a
// single request to the same satellite (a group of one). Target: the group of 64 completes in under
// 2 x 100 ms, that is, its sub-requests really run side by side.
//
// A second baseline is the platform's own floor for one thread per sub-request: 64 bare threads
// started with _beginthreadex that each sleep 100 ms. Under Wine starting a thread costs a few
// milliseconds, so on a busy machine that floor alone can pass 200 ms; the ratio against it shows
// what the module adds.
//
// Past the module's cap on sub-requests out at once (1,024), the rest wait for places: 2,000
// sub-requests to the same satellite, in the same run, should take at most 1.3 x (2,000 / cap) x
// 100 ms, that is, the places are handed on as soon as they are free and the module's kept senders
// take them without starting threads. Its second baseline is the platform's floor for that: 1,024
// kept bare threads sharing 2,000 sleeps.

#include <windows.h>
#include <process.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "host_session.h"
#include "media/sub_request_places.h"
#include "module_client.h"

namespace {

constexpr int kGroup = 64;
constexpr int kDelayMs = 100;
constexpr int kPastTheCap = 2000;
constexpr int kHoldMs = 6000;

// Seconds for one MultiRequest of `count` sub-requests; negative when a slot came back unanswered.
double TimeGroup(const zelhost::ModuleClient& module, int count, const std::string& target = "Slow") {
  std::string input;
  for (int i = 0; i < count; ++i) input += std::string(i ? ", " : "") + "[\"" + target + R"(", "Wait", )" + std::to_string(i) + "]";
  zel::ScopedVariant in;
  zelhost::JsonToVariant(zelhost::ParseJson("[" + input + "]"), in.Get(), nullptr);
  zel::ScopedVariant out;
  const double start = zelbench::Now();
  const LONG rc = module.Call(L"MultiRequest", *in, &out, -1).rc;
  const double elapsed = zelbench::Now() - start;
  const zelhost::Json slots = zelhost::VariantToJson(*out);
  if (rc != 0 || !slots.is_array() || slots.size() != static_cast<size_t>(count)) return -1;
  for (const zelhost::Json& slot : slots) {
    if (!slot.is_array() || slot.size() != 2 || slot[1].is_null()) return -1;
  }
  return elapsed;
}

unsigned __stdcall SleepOneDelay(void*) {
  ::Sleep(kDelayMs);
  return 0;
}

// Seconds for `count` bare threads that each sleep as long as a satellite answers.
double TimeBareThreads(int count) {
  const double start = zelbench::Now();
  std::vector<HANDLE> threads;
  for (int i = 0; i < count; ++i) {
    threads.push_back(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, SleepOneDelay, nullptr, 0, nullptr)));
  }
  ::WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
  const double elapsed = zelbench::Now() - start;
  for (HANDLE thread : threads) ::CloseHandle(thread);
  return elapsed;
}

// The platform's floor past the cap: as many kept threads as the module's cap, started once, woken
// together by one release of a semaphore, each then taking the next of `count` bare sleeps as long
// as a satellite answers by an interlocked count, as the module's senders do, with no lock at all.
// What the module adds to this is its own; the rest is what it costs the platform to wake a
// thousand threads at once.
class KeptThreads {
 public:
  explicit KeptThreads(int threads) : threads_(threads) {
    for (int i = 0; i < threads; ++i) {
      ::CloseHandle(reinterpret_cast<HANDLE>(
          _beginthreadex(nullptr, 256u << 10, Main, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)));
    }
  }
  KeptThreads(const KeptThreads&) = delete;
  KeptThreads& operator=(const KeptThreads&) = delete;
  // The threads never end; the process does, when the benchmark is over.

  double Time(int count) {
    const double start = zelbench::Now();
    left_ = count;
    unclaimed_ = count;
    ::ReleaseSemaphore(wake_.Get(), count < threads_ ? count : threads_, nullptr);
    ::WaitForSingleObject(done_.Get(), INFINITE);
    return zelbench::Now() - start;
  }

 private:
  static unsigned __stdcall Main(void* argument) {
    auto* self = static_cast<KeptThreads*>(argument);
    for (;;) {
      ::WaitForSingleObject(self->wake_.Get(), INFINITE);
      while (::InterlockedDecrement(&self->unclaimed_) >= 0) {
        ::Sleep(kDelayMs);
        if (::InterlockedDecrement(&self->left_) == 0) ::SetEvent(self->done_.Get());
      }
    }
  }

  const int threads_;
  zel::UniqueKernelHandle wake_{::CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr)};
  zel::UniqueKernelHandle done_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  volatile LONG unclaimed_ = 0;
  volatile LONG left_ = 0;
};

}  // namespace

int main() {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const std::wstring script = zelbench::TempPath(L"zel-multirequest-bench.json");
  {
    const std::string text =
        R"({"Slow": {"Wait": {"rc": 0, "answer": "done", "delay_ms": )" + std::to_string(kDelayMs) + "}}, " +
        R"("Hold": {"Wait": {"rc": 0, "answer": "held", "delay_ms": )" + std::to_string(kHoldMs) + "}}}";
    FILE* file = _wfopen(script.c_str(), L"wb");
    if (file == nullptr) return 1;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
  zelhost::HostOptions options;
  options.satellites_path = script;
  zelhost::HostSession session(options);
  const zelhost::ModuleClient module(session, L"bench");

  // Every round runs the four measurements, the order reversed every other round.
  std::vector<double> single, group, bare, past_the_cap, kept;
  KeptThreads kept_threads(static_cast<int>(zel::media::kMostRunningSubRequests));
  TimeGroup(module, kGroup);  // warm up: the first threads and pages of the run
  // The first large group of the process starts its senders on the way, a few milliseconds each
  // under Wine; reported, not judged. Then a group to a satellite that holds every call for a while
  // brings the senders up to the cap, as a server that has served one burst has them, and the
  // rounds measure the module's steady state.
  const double first_past_the_cap = TimeGroup(module, kPastTheCap);
  TimeGroup(module, static_cast<int>(zel::media::kMostRunningSubRequests), "Hold");
  for (int round = 0; round < zelbench::kPairs; ++round) {
    const auto measure_all = [&](bool reversed) {
      for (int step = 0; step < 5; ++step) {
        switch (reversed ? 4 - step : step) {
          case 0: single.push_back(TimeGroup(module, 1)); break;
          case 1: group.push_back(TimeGroup(module, kGroup)); break;
          case 2: bare.push_back(TimeBareThreads(kGroup)); break;
          case 3: kept.push_back(kept_threads.Time(kPastTheCap)); break;
          default: past_the_cap.push_back(TimeGroup(module, kPastTheCap)); break;
        }
      }
    };
    measure_all(round % 2 == 1);
  }
  ::DeleteFileW(script.c_str());
  const double cap = zel::media::kMostRunningSubRequests;
  const std::vector<double> delay(zelbench::kPairs, kDelayMs / 1000.0);
  const std::vector<double> ideal(zelbench::kPairs, kPastTheCap / cap * kDelayMs / 1000.0);
  zelbench::Judge("MultiRequest 64 x 100 ms / the satellite's 100 ms", zelbench::Scaled(zelbench::Summarize(group, delay), 1000),
                  "ms", "(one delay)", zelbench::AtMost(2));
  zelbench::Judge("  64 sub-requests / a group of one", zelbench::Scaled(zelbench::Summarize(group, single), 1000), "ms",
                  "(a group of one)");
  zelbench::Judge("  64 sub-requests / 64 bare threads sleeping 100 ms",
                  zelbench::Scaled(zelbench::Summarize(group, bare), 1000), "ms", "(bare threads)");
  char note[160];
  std::snprintf(note, sizeof(note), "cap %.0f sub-requests out at once; ideal %.0f ms; the process's first such group %.0f ms",
                cap, kPastTheCap / cap * kDelayMs, first_past_the_cap * 1000);
  zelbench::Judge("MultiRequest 2,000 x 100 ms / (2,000 / cap) x 100 ms",
                  zelbench::Scaled(zelbench::Summarize(past_the_cap, ideal), 1000), "ms", "(ideal)",
                  zelbench::AtMost(1.3), note);
  zelbench::Judge("  2,000 sub-requests / 2,000 sleeps on 1,024 kept bare threads",
                  zelbench::Scaled(zelbench::Summarize(past_the_cap, kept), 1000), "ms", "(kept bare threads)");
  return 0;
}
