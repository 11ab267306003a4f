#pragma once

// Helpers shared by the benchmarks: a clock, a sink that answers nothing, interleaved rounds and
// the report format. Every figure is printed beside a baseline measured in the same run.
//
// A shared machine drifts by tens of percent within a minute, so one round of the subject followed
// by one of the baseline says little: Interleave runs them in pairs, alternately (A B, B A, A B ...,
// so that neither side always comes first after a pause), and the verdict is taken on the median
// of the per-pair ratios, printed with their spread. Judge also prints a "BENCH-RESULT {json}" line
// that scripts/bench.sh gathers into its closing table.

#include <windows.h>
#include <oaidl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

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

// What a benchmark makes in the temporary folder, deleted when it goes out of scope: files first,
// then folders, the last made first. (scripts/bench.sh also sweeps the prefix's temporary folder
// after each benchmark, for a run that did not get this far.)
class Scratch {
 public:
  Scratch() = default;
  ~Scratch() { Clear(); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  // Makes the folder if it is not there and deletes it later.
  void Folder(const std::wstring& path) {
    ::CreateDirectoryW(path.c_str(), nullptr);
    folders_.push_back(path);
  }
  // Deletes `path` later; returns it.
  const std::wstring& File(std::wstring path) {
    files_.push_back(std::move(path));
    return files_.back();
  }
  void Clear() {
    for (const std::wstring& file : files_) ::DeleteFileW(file.c_str());
    for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) ::RemoveDirectoryW(folder->c_str());
    files_.clear();
    folders_.clear();
  }

 private:
  std::vector<std::wstring> files_, folders_;
};

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

// At least seven pairs: with fewer, one disturbed pair moves the median.
constexpr int kPairs = 7;

// The per-pair ratios subject / baseline and the median of each side's values.
struct Paired {
  bool ok = false;  // every measurement succeeded (none negative)
  double median = 0, low = 0, high = 0;
  double subject = 0, baseline = 0;
};

inline double MedianOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  if (n == 0) return 0;
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The comparison of paired measurements (subjects[i] with baselines[i]); a negative one fails it.
inline Paired Summarize(const std::vector<double>& subjects, const std::vector<double>& baselines) {
  Paired result;
  std::vector<double> ratios;
  for (size_t i = 0; i < subjects.size() && i < baselines.size(); ++i) {
    if (subjects[i] < 0 || baselines[i] <= 0) return result;
    ratios.push_back(subjects[i] / baselines[i]);
  }
  if (ratios.empty()) return result;
  result.ok = true;
  result.median = MedianOf(ratios);
  result.low = *std::min_element(ratios.begin(), ratios.end());
  result.high = *std::max_element(ratios.begin(), ratios.end());
  result.subject = MedianOf(subjects);
  result.baseline = MedianOf(baselines);
  return result;
}

// Runs `subject` and `baseline` alternately, `pairs` times, the order swapped every other pair. Each
// returns one measurement (seconds, or a rate: the ratio is subject / baseline either way), or a
// negative number when its run failed, which fails the whole comparison and ends the rounds.
template <class Subject, class Baseline>
Paired Interleave(Subject&& subject, Baseline&& baseline, int pairs = kPairs) {
  std::vector<double> subjects, baselines;
  for (int pair = 0; pair < pairs; ++pair) {
    double a, b;
    if (pair % 2 == 0) {
      a = subject();
      b = baseline();
    } else {
      b = baseline();
      a = subject();
    }
    subjects.push_back(a);
    baselines.push_back(b);
    if (a < 0 || b <= 0) break;
  }
  return Summarize(subjects, baselines);
}

// The same comparison with both sides' values in another unit (seconds shown as milliseconds).
inline Paired Scaled(Paired paired, double factor) {
  paired.subject *= factor;
  paired.baseline *= factor;
  return paired;
}

// What the median ratio must be: at most or at least `bound`; kNone only reports.
struct Target {
  enum Kind { kNone, kAtMost, kAtLeast } kind = kNone;
  double bound = 0;
};
inline Target AtMost(double bound) { return {Target::kAtMost, bound}; }
inline Target AtLeast(double bound) { return {Target::kAtLeast, bound}; }

inline std::string JsonText(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) quoted += c;
  }
  return quoted + "\"";
}

// Prints the comparison and its machine-readable line; returns whether the target is met (true
// when there is none). `unit` names the values' unit; `note` says anything the table should carry.
inline bool Judge(const std::string& measure, const Paired& paired, const char* unit, const char* baseline_name,
                  Target target = {}, const std::string& note = "") {
  char bound[32] = "";
  if (target.kind != Target::kNone) {
    std::snprintf(bound, sizeof(bound), "%s %g", target.kind == Target::kAtMost ? "<=" : ">=", target.bound);
  }
  const bool met = paired.ok && (target.kind == Target::kNone ||
                                 (target.kind == Target::kAtMost ? paired.median <= target.bound
                                                                 : paired.median >= target.bound));
  if (!paired.ok) {
    std::printf("%-52s FAILED (a run did not complete)\n", measure.c_str());
  } else {
    std::printf("%-52s %10.2f %-6s against %10.2f %s; median ratio %.3f (pairs %.3f-%.3f)%s%s%s\n", measure.c_str(),
                paired.subject, unit, paired.baseline, baseline_name, paired.median, paired.low, paired.high,
                *bound ? ", target " : "", bound, *bound ? (met ? ": met" : ": MISSED") : "");
  }
  std::printf("BENCH-RESULT {\"measure\": %s, \"ok\": %s, \"median\": %.4f, \"low\": %.4f, \"high\": %.4f, "
              "\"subject\": %.4f, \"baseline\": %.4f, \"unit\": %s, \"baseline_name\": %s, \"target\": %s, "
              "\"met\": %s, \"note\": %s}\n",
              JsonText(measure).c_str(), paired.ok ? "true" : "false", paired.median, paired.low, paired.high,
              paired.subject, paired.baseline, JsonText(unit).c_str(), JsonText(baseline_name).c_str(),
              JsonText(bound).c_str(), *bound ? (met ? "true" : "false") : "null", JsonText(note).c_str());
  std::fflush(stdout);
  return met;
}

// A curve's point for scripts/bench.sh's drawings: `x` against `value` for the named series.
inline void Point(const std::string& curve, const std::string& series, double x, double value) {
  std::printf("BENCH-POINT {\"curve\": %s, \"series\": %s, \"x\": %.6g, \"y\": %.6g}\n", JsonText(curve).c_str(),
              JsonText(series).c_str(), x, value);
  std::fflush(stdout);
}

}  // namespace zelbench
