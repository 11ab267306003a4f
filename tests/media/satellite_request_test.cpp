#include <windows.h>
#include <comdef.h>

#include <tuple>

#include "common/wide_error.h"
#include "core/service_table.h"
#include "media/media_test_support.h"
#include "media/satellite_request.h"

namespace zel::media {
namespace {

using namespace zeltest;

constexpr const char* kRequestLine = "[DEBUG] - Request GetMediumFromId returned in ";

class SatelliteRequestTest : public SatelliteServiceTest {
 protected:
  // The module running against satellites that all give `reply`.
  void AllAnswer(const Reply& reply) {
    satellites_ = Satellites(module_, [reply](auto&, auto&, auto&) { return reply; });
  }

  RunningModule module_;
  std::shared_ptr<ComputedSatellites> satellites_;
  ScopedVariant params_ = V(R"(["user", "M1", {"i8": 5}])");
};

// The text of the WideError a call raises, or "no error".
std::string Message(const std::function<void()>& call) {
  try {
    call();
  } catch (const WideError& error) {
    return Narrow(error.Message());
  }
  return "no error";
}

// The HRESULT of the _com_error a call raises, or S_OK.
HRESULT ComFailure(const std::function<void()>& call) {
  try {
    call();
  } catch (const _com_error& error) {
    return error.Error();
  }
  return S_OK;
}

TEST_F(SatelliteRequestTest, ReturnCodesOfTheThreeCalls) {
  LogWindow log;
  ScopedVariant value = V("42");
  MediumRecord record;
  record.string0 = L"kept";

  AllAnswer(Answered(Json("ignored"), 5));  // the satellite's own code passes through, nothing is taken
  EXPECT_EQ(MakeValueRequest(L"DiRuzov", L"GetFileInfoFromId", *params_, *value), 5);
  EXPECT_EQ(MakeRecordRequest(L"DiRuzov", L"GetFileFromId", *params_, &record), 5);
  EXPECT_EQ(MakeStatusRequest(L"DiRuzov", L"ShareCheckFile", *params_), 5);
  EXPECT_EQ(J(*value), Json(42));
  EXPECT_STREQ(static_cast<const wchar_t*>(record.string0), L"kept");

  AllAnswer(Code(0));  // 0 with an empty result
  EXPECT_EQ(MakeValueRequest(L"P", L"Op", *params_, *value), -1);
  EXPECT_EQ(MakeRecordRequest(L"P", L"Op", *params_, &record), -1);
  EXPECT_EQ(MakeStatusRequest(L"P", L"Op", *params_), 0);
  AllAnswer(RawResult(Json::parse(R"({"array": [1], "of": "i4"})")));  // a result of another array type
  EXPECT_EQ(MakeValueRequest(L"P", L"Op", *params_, *value), -1);
  EXPECT_EQ(J(*value), Json(42));

  // A status whose element 0 cannot be read as a 32-bit integer: the read's failure is the code.
  const std::pair<Json, HRESULT> statuses[] = {
      {Json(nullptr), E_INVALIDARG},
      {Json::array(), DISP_E_BADINDEX},
      {Json::array({"0"}), DISP_E_TYPEMISMATCH},
      {Json::parse(R"({"array": ["0"], "of": "bstr"})"), DISP_E_TYPEMISMATCH},
      {Json::parse(R"({"array": [0], "of": "i4", "lbound": 1})"), DISP_E_BADINDEX},
      {Json(0), E_INVALIDARG},
  };
  for (const auto& [status, code] : statuses) {
    AllAnswer(WithStatus(Json("x"), status));
    EXPECT_EQ(MakeStatusRequest(L"P", L"Op", *params_), code) << status.dump();
    EXPECT_EQ(MakeValueRequest(L"P", L"Op", *params_, *value), code) << status.dump();
  }
  // [0] as a VARIANT array is fine; the target gets a copy of the parameters.
  AllAnswer(WithStatus(Json::array({"y", 1}), Json::array({0})));
  EXPECT_EQ(MakeValueRequest(L"DivEduvized3", L"PlayListCreate", *params_, *value), 0);
  EXPECT_EQ(J(*value), Json::array({"y", 1}));
  EXPECT_EQ(satellites_->Journal(), std::vector<Json>{Routed("DivEduvized3", "PlayListCreate", J(*params_))});
  EXPECT_EQ(J(*params_), Json::parse(R"(["user", "M1", {"i8": 5}])"));  // the caller's own stays intact

  // A result without element 0 is refused with the parameter utilities' text.
  AllAnswer(RawResult(Json::array()));
  EXPECT_EQ(Message([&] { MakeValueRequest(L"P", L"Op", *params_, *value); }),
            "SafeArrayGetElement failed in VUtil::GetElement");

  // One DEBUG line per call that reached the broker, whatever its outcome.
  EXPECT_EQ(log.Count(kRequestLine), 3u + 3u + 1u + 2u * std::size(statuses) + 2u);

  // A failing request operation is raised with its HRESULT, before any DEBUG line.
  AllAnswer(BrokerFails(E_ACCESSDENIED));
  value = V("7");
  EXPECT_EQ(ComFailure([&] { MakeValueRequest(L"DiRuzov", L"PlayListCreate", *params_, *value); }), E_ACCESSDENIED);
  EXPECT_EQ(J(*value), Json(7));
  EXPECT_EQ(log.Count(kRequestLine), 3u + 3u + 1u + 2u * std::size(statuses) + 2u);
}

// Without a broker connection each service ends as it does when the request operation fails.
TEST(SatelliteRequestWithoutBrokerTest, NoConnectionIsRaisedAsItsOwnHresultAndEndsEachServiceAsAFailedRequest) {
  EXPECT_EQ(ComFailure([] { MakeStatusRequest(L"DiRuzov", L"ShareCheckFile", *V("[]")); }), kNoBrokerConnection);
  CKroAtl* object = new CKroAtl();
  const std::wstring requester = L"tests";
  const std::tuple<const wchar_t*, const char*, LONG, Json> cases[] = {
      {L"PlaylistGet", R"(["u", "M1"])", kNoBrokerConnection, Json(5)},
      {L"GetAudioCategoryTotals", R"(["x"])", 1, Json(5)},
      {L"MultiRequest", R"([["Any", "Orphan", 0], ["Any", "Orphan", 1]])", 0, Json::parse("[[null, null], [null, null]]")},
  };
  for (const auto& [service, text, code, after] : cases) {
    ScopedVariant input = V(text);
    ScopedVariant output = V("5");
    ServiceCall call{*object, requester, *input, *output};
    LONG rc = 0;
    DispatchService(kServiceTable, kServiceCount, service, call, &rc);
    EXPECT_EQ(rc, code) << Narrow(service);
    EXPECT_EQ(J(*output), after) << Narrow(service);
  }
  object->ReleaseHold();
}

}  // namespace
}  // namespace zel::media
