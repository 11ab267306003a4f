#include "broker/satellites.h"

#include <cstdio>

#include "common/scoped_variant.h"

namespace zelhost {
namespace {

void CheckConvertible(const Json& json) {
  zel::ScopedVariant probe;
  JsonToVariant(json, probe.Get(), nullptr);  // throws for unknown tags and for {"byref"}
}

}  // namespace

void MakeStatus(LONG code, VARIANT* status) {
  ::VariantClear(status);
  SAFEARRAY* sa = ::SafeArrayCreateVector(VT_I4, 0, 1);
  if (sa == nullptr) return;
  LONG index = 0;
  ::SafeArrayPutElement(sa, &index, &code);
  V_VT(status) = VT_ARRAY | VT_I4;
  V_ARRAY(status) = sa;
}

Journal::Journal(std::wstring path) : path_(std::move(path)) {}

void Journal::Record(const std::wstring& target, const std::wstring& service, const VARIANT& parameters) {
  Json params = VariantToJson(parameters);
  // Written by hand to keep the keys in this order.
  const std::string text = "{\"target\": " + DumpJson(ToUtf8(target)) + ", \"service\": " +
                           DumpJson(ToUtf8(service)) + ", \"params\": " + DumpJson(params) + "}";
  std::lock_guard<zel::TkSection> lock(lock_);
  lines_.push_back(Json{{"target", ToUtf8(target)}, {"service", ToUtf8(service)}, {"params", std::move(params)}});
  if (lines_.size() > kKeptLines) lines_.pop_front();
  if (!path_.empty()) {
    if (FILE* file = _wfopen(path_.c_str(), L"ab")) {
      fprintf(file, "%s\n", text.c_str());
      fclose(file);
    }
  }
}

std::vector<Json> Journal::Lines() const {
  std::lock_guard<zel::TkSection> lock(lock_);
  return {lines_.begin(), lines_.end()};
}

SatelliteScript::Canned SatelliteScript::Parse(const Json& entry) {
  if (!entry.is_object()) throw JsonError("a satellite answer must be a JSON object: " + entry.dump());
  Canned canned;
  for (const auto& [key, value] : entry.items()) {
    if (key == "when") {
      canned.when = value;
    } else if (key == "rc") {
      if (!value.is_number_integer()) throw JsonError("\"rc\" must be an integer");
      canned.rc = value.get<LONG>();
    } else if (key == "answer") {
      CheckConvertible(value);
      canned.answer = value;
    } else if (key == "result") {
      CheckConvertible(value);
      canned.result = value;
    } else if (key == "hresult") {
      if (!value.is_number_integer()) throw JsonError("\"hresult\" must be an integer");
      canned.hresult = static_cast<HRESULT>(value.get<int64_t>());
    } else if (key == "delay_ms") {
      if (!value.is_number_unsigned()) throw JsonError("\"delay_ms\" must be a non-negative integer");
      canned.delay_ms = value.get<DWORD>();
    } else {
      throw JsonError("unknown key \"" + key + "\" in a satellite answer");
    }
  }
  return canned;
}

SatelliteScript::SatelliteScript(const Json& script) {
  if (!script.is_object()) throw JsonError("the satellites file must hold a JSON object");
  for (const auto& [target, operations] : script.items()) {
    if (!operations.is_object()) throw JsonError("satellite \"" + target + "\" must map operations to answers");
    for (const auto& [operation, entry] : operations.items()) {
      auto& answers = script_[target][operation];
      if (entry.is_array()) {
        for (const Json& item : entry) answers.push_back(Parse(item));
      } else {
        answers.push_back(Parse(entry));
      }
    }
  }
}

HRESULT SatelliteScript::Answer(const std::wstring& target, const std::wstring& service, const VARIANT& parameters,
                                VARIANT* result, VARIANT* status) {
  if (journal_ != nullptr) journal_->Record(target, service, parameters);

  const Canned* chosen = nullptr;
  auto satellite = script_.find(ToUtf8(target));
  if (satellite != script_.end()) {
    auto operation = satellite->second.find(ToUtf8(service));
    if (operation != satellite->second.end()) {
      const Json params = VariantToJson(parameters);
      const Canned* fallback = nullptr;
      for (const Canned& canned : operation->second) {
        if (!canned.when) {
          if (fallback == nullptr) fallback = &canned;
        } else if (*canned.when == params) {
          chosen = &canned;
          break;
        }
      }
      if (chosen == nullptr) chosen = fallback;
    }
  }
  if (chosen == nullptr) {
    ::VariantClear(result);
    MakeStatus(-1, status);
    return S_OK;
  }
  if (chosen->delay_ms > 0) ::Sleep(chosen->delay_ms);
  if (chosen->hresult) return *chosen->hresult;

  ::VariantClear(result);
  if (chosen->result) {
    JsonToVariant(*chosen->result, result, nullptr);
  } else if (chosen->answer) {
    zel::ScopedVariant answer;
    JsonToVariant(*chosen->answer, answer.Get(), nullptr);
    SAFEARRAY* sa = ::SafeArrayCreateVector(VT_VARIANT, 0, 1);
    if (sa == nullptr) return E_OUTOFMEMORY;
    LONG index = 0;
    ::SafeArrayPutElement(sa, &index, answer.Get());
    V_VT(result) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(result) = sa;
  }
  MakeStatus(chosen->rc, status);
  return S_OK;
}

}  // namespace zelhost
