#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/tk_section.h"
#include "json_variant.h"

namespace zelhost {

// Where the broker sends the requests that the module makes of other components.
class SatelliteRouter {
 public:
  virtual ~SatelliteRouter() = default;
  // Fills `result` and `status` as a satellite would, or returns a failing HRESULT for the broker's
  // request operation itself. Called from many threads at once.
  virtual HRESULT Answer(const std::wstring& target, const std::wstring& service, const VARIANT& parameters,
                         VARIANT* result, VARIANT* status) = 0;
};

// Appends one JSON line per routed request, {"target", "service", "params"}, in the order received.
class Journal {
 public:
  // The newest lines kept in memory: a host or broker that serves for days must not grow with
  // every request it routes. The file, when there is one, keeps them all.
  static constexpr size_t kKeptLines = 10000;

  // `path` empty: lines are kept in memory only (see Lines()).
  explicit Journal(std::wstring path = L"");
  void Record(const std::wstring& target, const std::wstring& service, const VARIANT& parameters);
  // The newest kKeptLines lines, oldest first.
  std::vector<Json> Lines() const;

 private:
  std::wstring path_;
  mutable zel::TkSection lock_;
  std::deque<Json> lines_;
};

// Satellites scripted with canned answers by target and operation:
//   {"DiRuzov": {"GetFileFromId": {"rc": 0, "answer": [...]}}}
// An answer may give "result" (the raw result VARIANT) instead of "answer" (wrapped in a
// one-element array), "hresult" (the request operation itself fails), and "delay_ms". An
// operation may list several answers, each with "when": <params JSON>; the first whose "when"
// equals the request's parameters answers, one without "when" is the default. Anything not
// scripted answers status [-1] and an empty result.
class SatelliteScript : public SatelliteRouter {
 public:
  // Throws JsonError for a script that does not have this shape.
  explicit SatelliteScript(const Json& script);
  HRESULT Answer(const std::wstring& target, const std::wstring& service, const VARIANT& parameters,
                 VARIANT* result, VARIANT* status) override;
  void SetJournal(Journal* journal) { journal_ = journal; }

 private:
  struct Canned {
    std::optional<Json> when;
    LONG rc = 0;
    std::optional<Json> answer;
    std::optional<Json> result;
    std::optional<HRESULT> hresult;
    DWORD delay_ms = 0;
  };
  static Canned Parse(const Json& entry);

  std::map<std::string, std::map<std::string, std::vector<Canned>>> script_;
  Journal* journal_ = nullptr;
};

// Status [code] as the broker reports a component's return code: an array of VT_I4.
void MakeStatus(LONG code, VARIANT* status);

}  // namespace zelhost
