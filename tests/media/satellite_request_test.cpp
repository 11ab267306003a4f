#include <windows.h>
#include <comdef.h>

#include <tuple>

#include "common/wide_error.h"
#include "core/kro_atl.h"
#include "core/module.h"
#include "core/service_table.h"
#include "media/media_test_support.h"
#include "media/satellite_request.h"

namespace zel::media {
namespace {

using namespace zeltest;
using namespace core;

constexpr const char* kRequestLine = "[DEBUG] - Request GetMediumFromId returned in ";

using SatelliteRequestTest = SatelliteServiceTest;

// What a call raises: the text of a WideError, "hr <n>" for a _com_error, or "nothing".
std::string Raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const WideError& error) {
    return Narrow(error.Message());
  } catch (const _com_error& error) {
    return "hr " + std::to_string(error.Error());
  }
  return "nothing";
}

TEST_F(SatelliteRequestTest, ReturnCodesOfTheThreeCalls) {
  RunningModule module;
  channel::BrokerChannel channel;
  channel.Attach(CurrentBroker());
  std::shared_ptr<ComputedSatellites> satellites;
  auto all_answer = [&](const Reply& reply) {
    satellites = Satellites(module, [reply](auto&, auto&, auto&) { return reply; });
  };
  ScopedVariant params = V(R"(["user", "M1", {"i8": 5}])");
  LogWindow log;
  ScopedVariant value = V("42");
  MediumRecord record;
  record.string0 = L"kept";

  all_answer(Answered(Json("ignored"), 5));  // the satellite's own code passes through, nothing is taken
  EXPECT_EQ(MakeValueRequest(channel, L"DiRuzov", L"GetFileInfoFromId", *params, *value), 5);
  EXPECT_EQ(MakeRecordRequest(channel, L"DiRuzov", L"GetFileFromId", *params, &record), 5);
  EXPECT_EQ(MakeStatusRequest(channel, L"DiRuzov", L"ShareCheckFile", *params), 5);
  EXPECT_EQ(J(*value), Json(42));
  EXPECT_STREQ(static_cast<const wchar_t*>(record.string0), L"kept");

  all_answer(Code(0));  // 0 with an empty result
  EXPECT_EQ(MakeValueRequest(channel, L"P", L"Op", *params, *value), -1);
  EXPECT_EQ(MakeRecordRequest(channel, L"P", L"Op", *params, &record), -1);
  EXPECT_EQ(MakeStatusRequest(channel, L"P", L"Op", *params), 0);
  all_answer(RawResult(Json::parse(R"({"array": [1], "of": "i4"})")));  // a result of another array type
  EXPECT_EQ(MakeValueRequest(channel, L"P", L"Op", *params, *value), -1);
  EXPECT_EQ(J(*value), Json(42));

  // A status whose element 0 cannot be read as a 32-bit integer: the read's failure is the code.
  const std::pair<Json, HRESULT> statuses[] = {
      {Json(nullptr), E_INVALIDARG},
      {Json::array(), DISP_E_BADINDEX},
      {Json::array({"0"}), DISP_E_TYPEMISMATCH},
      {Json::parse(R"({"array": [0], "of": "i4", "lbound": 1})"), DISP_E_BADINDEX},
  };
  for (const auto& [status, code] : statuses) {
    all_answer(WithStatus(Json("x"), status));
    EXPECT_EQ(MakeStatusRequest(channel, L"P", L"Op", *params), code) << status.dump();
    EXPECT_EQ(MakeValueRequest(channel, L"P", L"Op", *params, *value), code) << status.dump();
  }
  // [0] as a VARIANT array is fine; the target gets a copy of the parameters.
  all_answer(WithStatus(Json::array({"y", 1}), Json::array({0})));
  EXPECT_EQ(MakeValueRequest(channel, L"DivEduvized3", L"PlayListCreate", *params, *value), 0);
  EXPECT_EQ(J(*value), Json::array({"y", 1}));
  EXPECT_EQ(satellites->Journal(), std::vector<Json>{Routed("DivEduvized3", "PlayListCreate", J(*params))});
  EXPECT_EQ(J(*params), Json::parse(R"(["user", "M1", {"i8": 5}])"));  // the caller's own stays intact

  // A result without element 0 is refused with the parameter utilities' text.
  all_answer(RawResult(Json::array()));
  EXPECT_EQ(Raised([&] { MakeValueRequest(channel, L"P", L"Op", *params, *value); }),
            "SafeArrayGetElement failed in VUtil::GetElement");

  // One DEBUG line per call that reached the broker, whatever its outcome.
  EXPECT_EQ(log.Count(kRequestLine), 3u + 3u + 1u + 2u * std::size(statuses) + 2u);

  // A failing request operation is raised with its HRESULT, before any DEBUG line.
  all_answer(BrokerFails(E_ACCESSDENIED));
  value = V("7");
  EXPECT_EQ(Raised([&] { MakeValueRequest(channel, L"DiRuzov", L"PlayListCreate", *params, *value); }),
            "hr " + std::to_string(E_ACCESSDENIED));
  EXPECT_EQ(J(*value), Json(7));
  EXPECT_EQ(log.Count(kRequestLine), 3u + 3u + 1u + 2u * std::size(statuses) + 2u);
}

// Without a broker connection each service ends as it does when the request operation fails.
TEST(SatelliteRequestWithoutBrokerTest, NoConnectionIsRaisedAsItsOwnHresultAndEndsEachServiceAsAFailedRequest) {
  const channel::BrokerChannel detached;
  EXPECT_EQ(Raised([&] { MakeStatusRequest(detached, L"DiRuzov", L"ShareCheckFile", *V("[]")); }),
            "hr " + std::to_string(channel::BrokerChannel::kNotConnected));
  CKroAtl* object = new CKroAtl();
  const std::wstring requester = L"tests";
  const std::tuple<const wchar_t*, const char*, Json> cases[] = {  // service, input, [rc, output]
      {L"PlaylistGet", R"(["u", "M1"])", Json::array({channel::BrokerChannel::kNotConnected, 5})},
      {L"GetAudioCategoryTotals", R"(["x"])", Json::array({1, 5})},
      {L"MultiRequest", R"([["Any", "X", 0], ["Any", "X", 1]])", Json::parse("[0, [[null, null], [null, null]]]")},
  };
  for (const auto& [service, text, expected] : cases) {
    ScopedVariant input = V(text);
    ScopedVariant output = V("5");
    ServiceCall call{object->Parts(), requester, *input, *output};
    LONG rc = 0;
    DispatchService(kServiceTable, kServiceCount, service, call, &rc);
    EXPECT_EQ(Json::array({rc, J(*output)}), expected) << Narrow(service);
  }
  object->ReleaseHold();
}

}  // namespace
}  // namespace zel::media
