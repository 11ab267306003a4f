#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/module_log.h"
#include "common/wide_error.h"
#include "media/media_test_support.h"
#include "media/satellite_request.h"

namespace zel::media {
namespace {

using zeltest::ComputedSatellites;
using zeltest::J;
using zeltest::Json;
using zeltest::LogWindow;
using zeltest::RunningModule;
using zeltest::V;
using Reply = ComputedSatellites::Reply;
using zeltest::Answered;
using zeltest::BrokerFails;
using zeltest::Code;
using zeltest::RawResult;
using zeltest::WithStatus;

constexpr const char* kRequestLine = "[DEBUG] - Request GetMediumFromId returned in ";

class SatelliteRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { ModuleLog().SetLevel(CTkLog::kDebug); }
  void TearDown() override { ModuleLog().SetLevel(CTkLog::kError); }

  // The module running against satellites that all give `reply`.
  void Satellites(const Reply& reply) {
    satellites_ = std::make_shared<ComputedSatellites>([reply](auto&, auto&, auto&) { return reply; });
    module_.Scope().Broker().SetRouter(satellites_);
  }

  std::string Message(const std::function<void()>& call) {
    try {
      call();
    } catch (const WideError& error) {
      return zeltest::Narrow(error.Message());
    }
    return "no error";
  }

  zeltest::ZelDocumentScope document_;
  RunningModule module_;
  std::shared_ptr<ComputedSatellites> satellites_;
  ScopedVariant params_ = V(R"(["user", "M1", {"i8": 5}])");
};

std::string Text(const _bstr_t& text) {
  const wchar_t* characters = static_cast<const wchar_t*>(text);
  return characters == nullptr ? "<null>" : zeltest::Narrow(characters);
}

TEST_F(SatelliteRequestTest, ReturnCodesOfTheThreeCalls) {
  LogWindow log;
  ScopedVariant value = V("42");
  MediumRecord record;
  record.string0 = L"kept";

  Satellites(Answered(Json("ignored"), 5));  // the satellite's own code passes through, nothing is taken
  EXPECT_EQ(MakeValueRequest(L"DiRuzov", L"GetFileInfoFromId", *params_, *value), 5);
  EXPECT_EQ(MakeRecordRequest(L"DiRuzov", L"GetFileFromId", *params_, &record), 5);
  EXPECT_EQ(MakeStatusRequest(L"DiRuzov", L"ShareCheckFile", *params_), 5);
  EXPECT_EQ(J(*value), Json(42));
  EXPECT_EQ(Text(record.string0), "kept");

  Satellites(Code(0));  // 0 with an empty result
  EXPECT_EQ(MakeValueRequest(L"P", L"Op", *params_, *value), -1);
  EXPECT_EQ(MakeRecordRequest(L"P", L"Op", *params_, &record), -1);
  EXPECT_EQ(MakeStatusRequest(L"P", L"Op", *params_), 0);
  Satellites(RawResult(Json::parse(R"({"array": [1], "of": "i4"})")));  // a result of another array type
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
    Satellites(WithStatus(Json("x"), status));
    EXPECT_EQ(MakeStatusRequest(L"P", L"Op", *params_), code) << status.dump();
    EXPECT_EQ(MakeValueRequest(L"P", L"Op", *params_, *value), code) << status.dump();
  }
  Satellites(WithStatus(Json::array({"y", 1}), Json::array({0})));  // [0] as a VARIANT array is fine
  EXPECT_EQ(MakeValueRequest(L"P", L"Op", *params_, *value), 0);
  EXPECT_EQ(J(*value), Json::array({"y", 1}));

  // One DEBUG line per call that reached the broker, whatever its outcome.
  EXPECT_EQ(log.Count(kRequestLine), 3u + 3u + 1u + 2u * std::size(statuses) + 1u);
}

TEST_F(SatelliteRequestTest, TheRequestCarriesACopyOfTheParametersToTheTarget) {
  Satellites(Answered(Json::parse("[[1, 2]]")));
  ScopedVariant value;
  EXPECT_EQ(MakeValueRequest(L"DivEduvized3", L"PlayListCreate", *params_, *value), 0);
  EXPECT_EQ(J(*value), Json::parse("[[1, 2]]"));
  EXPECT_EQ(satellites_->Journal(),
            std::vector<Json>{zeltest::Routed("DivEduvized3", "PlayListCreate", J(*params_))});
  EXPECT_EQ(J(*params_), Json::parse(R"(["user", "M1", {"i8": 5}])"));  // the caller's own stays intact
}

TEST_F(SatelliteRequestTest, MediumRecordsHandOutTheirStringElements) {
  MediumRecord record;
  Satellites(Answered(Json::array({"path", "title", 7, "artist", "album", "more"})));
  ASSERT_EQ(MakeRecordRequest(L"DiRuzov", L"GetFileFromId", *params_, &record), 0);
  EXPECT_EQ(Text(record.string0) + Text(record.string1) + Text(record.string3) + Text(record.string4),
            "pathtitleartistalbum");

  Satellites(Answered(Json::array({"a", nullptr, nullptr, "d"})));  // four elements: no fourth string
  ASSERT_EQ(MakeRecordRequest(L"DiRuzov", L"GetFileFromId", *params_, &record), 0);
  EXPECT_EQ(Text(record.string0) + "," + Text(record.string1) + "," + Text(record.string3) + "," +
                Text(record.string4),
            "a,<null>,d,<null>");
  Satellites(Answered(Json::array({"a", "b", 3})));
  ASSERT_EQ(MakeRecordRequest(L"DiRuzov", L"GetFileFromId", *params_, &record), 0);
  EXPECT_EQ(Text(record.string3) + Text(record.string4), "<null><null>");

  // Answers that are no medium record are refused with the parameter utilities' text.
  const std::pair<Reply, std::string> refused[] = {
      {Answered(Json("not a record")), "Variant passed to VUtil::GetElement is not a variant array"},
      {Answered(Json::array({"only one"})), "SafeArrayGetElement failed in VUtil::GetElement"},
      {RawResult(Json::array()), "SafeArrayGetElement failed in VUtil::GetElement"},
      {Answered(Json::array({"a", 2, "c"})), "Element is not a string"},
      {Answered(Json::parse(R"(["a", "b", "c", {"i8": 4}])")), "Element is not a string"},
      {Answered(Json::parse(R"({"array": ["a", "b"], "of": "bstr"})")),
       "Variant passed to VUtil::GetElement is not a variant array"},
  };
  for (const auto& [reply, message] : refused) {
    Satellites(reply);
    record.string0 = L"kept";
    EXPECT_EQ(Message([&] { MakeRecordRequest(L"DiRuzov", L"GetFileFromId", *params_, &record); }), message);
    EXPECT_EQ(Text(record.string0), "kept");
  }
  Satellites(RawResult(Json::array()));
  ScopedVariant value;
  EXPECT_EQ(Message([&] { MakeValueRequest(L"P", L"Op", *params_, *value); }),
            "SafeArrayGetElement failed in VUtil::GetElement");
}

TEST_F(SatelliteRequestTest, BrokerFailuresAreRaisedWithTheirHresult) {
  LogWindow log;
  Satellites(BrokerFails(E_ACCESSDENIED));
  ScopedVariant value = V("7");
  try {
    MakeValueRequest(L"DiRuzov", L"PlayListCreate", *params_, *value);
    ADD_FAILURE() << "no error raised";
  } catch (const _com_error& error) {
    EXPECT_EQ(error.Error(), E_ACCESSDENIED);
  }
  EXPECT_EQ(J(*value), Json(7));
  EXPECT_EQ(log.Count(kRequestLine), 0u);
}

TEST(SatelliteRequestWithoutBrokerTest, NoConnectionIsRaisedAsItsOwnHresult) {
  ScopedVariant params = V("[]");
  try {
    MakeStatusRequest(L"DiRuzov", L"ShareCheckFile", *params);
    ADD_FAILURE() << "no error raised";
  } catch (const _com_error& error) {
    EXPECT_EQ(error.Error(), kNoBrokerConnection);
  }
}

}  // namespace
}  // namespace zel::media
