// Information arrays of 10,000 local medium ids, against building the same 10,000 arrays directly
// from the known paths and types with the SAFEARRAY functions, in the same run: through the whole
// "GetMediumListInfoFromId" service (broker, module DLL, routing, local handler), and through
// CLocalMedia::GetFileListInfoFromId alone (decode, classify, build), in interleaved rounds.
// Target: the service at most 2 times the direct build.

#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "broker/kro_broker.h"
#include "host_session.h"
#include "browse/local_media.h"
#include "common/scoped_variant.h"
#include "json_variant.h"
#include "media/media_requests.h"
#include "module_client.h"

namespace {

constexpr int kIds = 10000;
const wchar_t* const kExtensions[] = {L".mp3", L".jpg", L".avi", L".txt", L".bin"};

std::wstring PathOf(int i) {
  return L"C:\\Media Library\\Album " + std::to_wstring(i / 12) + L"\\Track+" + std::to_wstring(i) + kExtensions[i % 5];
}

// A VT_BSTR VARIANT moved into element `index` of a VARIANT array's locked data.
void PutString(VARIANT* slots, LONG index, const std::wstring& text) {
  V_VT(&slots[index]) = VT_BSTR;
  V_BSTR(&slots[index]) = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// The baseline: the same arrays, built straight from what is already known.
double Direct(const std::vector<std::wstring>& paths, const std::map<std::wstring, std::wstring>& types,
              zel::ScopedVariant* out) {
  const double start = zelbench::Now();
  SAFEARRAY* list = ::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(paths.size()));
  VARIANT* items = nullptr;
  ::SafeArrayAccessData(list, reinterpret_cast<void**>(&items));
  const wchar_t* names[] = {L"mimeType", L"mediaType", L"Path", L"Name"};
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::wstring& path = paths[i];
    const size_t dot = path.rfind(L'.');
    const auto found = types.find(path.substr(dot));
    const std::wstring type = found != types.end() ? found->second : L"";
    const std::wstring values[] = {
        type.empty() || type == L"document" ? L"application/x-download" : type + L"/x-unknown",
        type.empty() ? L"file" : type + L".file", path, path.substr(path.rfind(L'\\') + 1, dot - path.rfind(L'\\') - 1)};
    SAFEARRAY* info = ::SafeArrayCreateVector(VT_VARIANT, 0, 4);
    VARIANT* pairs = nullptr;
    ::SafeArrayAccessData(info, reinterpret_cast<void**>(&pairs));
    for (LONG p = 0; p < 4; ++p) {
      SAFEARRAY* pair = ::SafeArrayCreateVector(VT_VARIANT, 0, 2);
      VARIANT* slots = nullptr;
      ::SafeArrayAccessData(pair, reinterpret_cast<void**>(&slots));
      PutString(slots, 0, names[p]);
      PutString(slots, 1, values[p]);
      ::SafeArrayUnaccessData(pair);
      V_VT(&pairs[p]) = VT_ARRAY | VT_VARIANT;
      V_ARRAY(&pairs[p]) = pair;
    }
    ::SafeArrayUnaccessData(info);
    V_VT(&items[i]) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&items[i]) = info;
  }
  ::SafeArrayUnaccessData(list);
  out->Reset();
  V_VT(out->Get()) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(out->Get()) = list;
  return zelbench::Now() - start;
}

double ThroughHandler(zel::browse::CLocalMedia& media, const VARIANT& input, zel::ScopedVariant* out) {
  const double start = zelbench::Now();
  out->Reset();
  const zel::media::ListRequest request = zel::media::DecodeListRequest(input);  // as the service's row decodes it
  const LONG rc = media.GetFileListInfoFromId(request.passed, request.list.ids, *out->Get());
  const double seconds = zelbench::Now() - start;
  if (rc == 0) return seconds;
  std::fprintf(stderr, "GetFileListInfoFromId failed: %ld\n", static_cast<long>(rc));
  return -1;
}

double ThroughService(const zelhost::ModuleClient& module, const VARIANT& input, zel::ScopedVariant* out) {
  const double start = zelbench::Now();
  out->Reset();
  const zelhost::CallOutcome outcome = module.Call(L"GetMediumListInfoFromId", const_cast<VARIANT&>(input), out, -1);
  const double seconds = zelbench::Now() - start;
  if (outcome.Succeeded()) return seconds;
  std::fprintf(stderr, "GetMediumListInfoFromId failed: %ld\n", static_cast<long>(outcome.rc));
  return -1;
}

}  // namespace

int main() {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const zelhost::BrokerPtr broker = zelhost::CKroBroker::Create(2);
  const auto satellites = std::make_shared<zelhost::SatelliteScript>(zelhost::ParseJson(R"({"ZidAvaraV2": {"GetExtensions": [
      {"when": ["bench", "audio"], "answer": [".mp3"]}, {"when": ["bench", "video"], "answer": [".avi"]},
      {"when": ["bench", "photo"], "answer": [".jpg"]}, {"when": ["bench", "document"], "answer": [".txt"]}]}})"));
  broker->SetRouter(satellites);
  std::map<std::wstring, std::wstring> types{{L".mp3", L"audio"}, {L".avi", L"video"}, {L".jpg", L"photo"}, {L".txt", L"document"}};
  {
    zel::channel::BrokerChannel channel;
    channel.Attach(IKroBrokerPtr(static_cast<IKroBroker*>(broker.get())));
    zel::browse::CLocalMedia media(channel);

    std::vector<std::wstring> paths;
    zelhost::Json ids = zelhost::Json::array();
    for (int i = 0; i < kIds; ++i) {
      paths.push_back(PathOf(i));
      ids.push_back(zelhost::ToUtf8(zel::browse::EncodeLocalMediumId(paths.back())));
    }
    zel::ScopedVariant input;
    zelhost::JsonToVariant(zelhost::Json::array({"bench", ids}), input.Get(), nullptr);

    zel::ScopedVariant handled, direct;
    ThroughHandler(media, *input, &handled);  // loads the extension lists once
    const auto direct_build = [&] { return Direct(paths, types, &direct); };
    const zelbench::Paired handler =
        zelbench::Interleave([&] { return ThroughHandler(media, *input, &handled); }, direct_build);
    const bool same = zelhost::VariantToJson(*handled) == zelhost::VariantToJson(*direct);
    std::printf("answers of the handler and the direct build are %s\n", same ? "identical" : "DIFFERENT");
    zelbench::Judge("  GetFileListInfoFromId (local handler), 10,000 ids", zelbench::Scaled(handler, 1000), "ms",
                    "(direct SAFEARRAY build)");

    zelhost::HostSession session(zelhost::HostOptions{});
    session.Broker().SetRouter(satellites);
    zel::ScopedVariant served;
    const zelhost::ModuleClient module(session, L"bench");
    ThroughService(module, *input, &served);  // loads the extension lists once
    const zelbench::Paired service =
        zelbench::Interleave([&] { return ThroughService(module, *input, &served); }, direct_build);
    const bool same_service = zelhost::VariantToJson(*served) == zelhost::VariantToJson(*direct);
    std::printf("answers of the service and the direct build are %s\n", same_service ? "identical" : "DIFFERENT");
    zelbench::Judge("GetMediumListInfoFromId service, 10,000 ids", zelbench::Scaled(service, 1000), "ms",
                    "(direct SAFEARRAY build)", zelbench::AtMost(2), same && same_service ? "" : "answers DIFFER");
  }
  return 0;
}
