#include "media/grouped_request.h"

#include "common/com_object.h"
#include "media/media_test_support.h"

namespace zel::media {
namespace {

using namespace zeltest;

Json Done(LONG rc, const std::string& result) {
  return Json::parse(R"([{"array": [)" + std::to_string(rc) + R"(], "of": "i4"}, )" + result + "]");
}
const Json kPending = Json::parse("[null, null]");

// Polls `condition` until it holds or 10 s have passed; its last answer.
bool Eventually(const std::function<bool()>& condition) {
  const ULONGLONG end = ::GetTickCount64() + 10000;
  while (!condition() && ::GetTickCount64() < end) ::Sleep(20);
  return condition();
}

// Sends MultiRequest with a short time limit through a channel of the test's own and `places`
// (none shared with other calls when not given); answers [rc, output].
Json GroupWithin(const std::string& input, DWORD limit_ms,
                 const std::shared_ptr<SubRequestPlaces>& places = std::make_shared<SubRequestPlaces>()) {
  auto channel = ModuleChannel();
  ScopedVariant in = V(input);
  ScopedVariant out;
  const LONG rc = MakeGroupedRequest(channel, places, DecodeGroupRequest(*in), *out, limit_ms);
  channel.reset();  // as Close would: the group keeps its own share
  return Json::array({rc, J(*out)});
}

using GroupedRequestTest = SatelliteServiceTest;

TEST_F(GroupedRequestTest, SlotsFollowTheInputOrderAndUnreadableSubRequestsStayEmpty) {
  LogWindow log;
  RunningModule module(R"({"Sat1": {"Echo": [{"when": 1, "answer": "one"}, {"when": 2, "rc": 7, "answer": "two"}]},
                           "Sat2": {"Ping": {"result": ["raw", 2]}},
                           "Any": {"Broken": {"hresult": -2147467259}}})");
  EXPECT_EQ(Outcome(module.Call(L"MultiRequest", R"([
      ["Sat1", "Echo", 1], ["Sat2", "Ping", null, "extra"], "not a request", ["Sat1", "Echo", 2],
      ["Nobody", "Nothing", 0], ["Sat1"], [5, "Echo", 1], ["Any", "Broken", 0],
      {"array": ["Sat1", "Echo", 1], "lbound": 1}])", 55)),
            Json::array({0, Json::array({Done(0, R"(["one"])"), Done(0, R"(["raw", 2])"), nullptr,
                                         Done(7, R"(["two"])"), Done(-1, "null"), nullptr, nullptr, kPending,
                                         nullptr})}));
  const std::vector<Json> asked = module.Journal();  // in any order: the sub-requests run side by side
  EXPECT_EQ(std::multiset<Json>(asked.begin(), asked.end()),
            (std::multiset<Json>{Routed("Sat1", "Echo", 1), Routed("Sat2", "Ping", nullptr), Routed("Sat1", "Echo", 2),
                                 Routed("Nobody", "Nothing", 0), Routed("Any", "Broken", 0)}));
  const std::string warn = "[WARN] - threadKroRequest exception: ";
  EXPECT_EQ(log.Count(warn + "Variant passed to VUtil::GetElement is not a variant array"), 1u);
  EXPECT_EQ(log.Count(warn + "SafeArrayGetElement failed in VUtil::GetElement"), 2u);
  EXPECT_EQ(log.Count(warn + "Element is not a string"), 1u);

  // A group of one is a single broker request.
  EXPECT_EQ(module.Call(L"MultiRequest", R"([["Sat1", "Echo", 2]])").output, Json::array({Done(7, R"(["two"])")}));

  // Empty groups and unreadable input start nothing.
  const size_t asked_before = module.Journal().size();
  const std::pair<const char*, LONG> refused[] = {
      {"[]", -1}, {R"({"array": [], "of": "bstr"})", -1}, {"5", 1}, {R"({"array": [["Sat1", "Echo", 1]], "lbound": 1})", 1},
      {R"({"array": ["Sat1", "Echo", "x"], "of": "bstr"})", 1}, {R"({"byref": [["Sat1", "Echo", 1]]})", 1},
      {R"({"bstr": null})", 1}};
  for (const auto& [input, code] : refused) {
    EXPECT_EQ(Outcome(module.Call(L"MultiRequest", input, 55)), Json::array({code, nullptr})) << input;
  }
  EXPECT_EQ(module.Journal().size(), asked_before);
  EXPECT_EQ(log.Count("[WARN] - MakeGroupedRequest exception: Array is not zero indexed! (VUtil::GetArrayLength)"), 1u);
}

TEST_F(GroupedRequestTest, MoreThanSixtyFourSubRequestsAllRunAndAreAllWaitedFor) {
  // The later batches answer more slowly than the first, so a wait on the first batch alone shows.
  constexpr int kCount = 150;
  std::string answers;
  std::string input;
  Json expected = Json::array();
  for (int i = 0; i < kCount; ++i) {
    expected.push_back(Done(0, "[" + std::to_string(i * 3) + "]"));
    answers += (i ? ", " : "") + std::string(R"({"when": )") + std::to_string(i) + R"(, "answer": )" +
               std::to_string(i * 3) + (i >= 64 ? R"(, "delay_ms": 100})" : "}");
    input += (i ? ", " : "") + std::string(R"(["Many", "Index", )") + std::to_string(i) + "]";
  }
  RunningModule module(R"({"Many": {"Index": [)" + answers + "]}}");
  EXPECT_EQ(Outcome(module.Call(L"MultiRequest", "[" + input + "]", 5)), Json::array({0, expected}));
  EXPECT_EQ(module.Journal().size(), static_cast<size_t>(kCount));
}

TEST_F(GroupedRequestTest, ATimeOutAnswersTheFinishedSlotsAndAnEmptyPairForTheRest) {
  const std::string late = Narrow(zeltest::UniqueName(L"Late"));
  LogWindow log;
  RunningModule module(R"({"Fast": {"Go": [{"when": 0, "answer": "zero"}, {"when": 2, "answer": "two"}]},
                           "Slow": {")" + late + R"(": {"answer": "late", "delay_ms": 1500}}})");
  EXPECT_EQ(GroupWithin(R"([["Fast", "Go", 0], ["Slow", ")" + late + R"(", 1], ["Fast", "Go", 2]])", 500),
            Json::array({0, Json::array({Done(0, R"(["zero"])"), kPending, Done(0, R"(["two"])")})}));
  EXPECT_EQ(log.Count("[WARN] - Multi request timed out"), 1u);
  // The late sub-request comes back before the next test starts.
  EXPECT_TRUE(Eventually([&] { return !ModuleLogLinesWith("Request " + late + " returned 0").empty(); }));

  // Starting the threads counts against the limit too: once it has passed, no more start.
  EXPECT_EQ(GroupWithin(R"([["Fast", "Go", 0], ["Fast", "Go", 2]])", 0),
            Json::array({0, Json::array({kPending, kPending})}));
  EXPECT_EQ(log.Count("[WARN] - MakeGroupedRequest: 2 of 2 sub-requests were not started within 0 ms"), 1u);
  EXPECT_EQ(module.Journal().size(), 3u);
}

// An answer object that counts how many of its kind are alive.
class Counted final : public ComObject<IUnknown> {
 public:
  static inline std::atomic<int> alive{0};
  Counted() { ++alive; }
  ~Counted() override { --alive; }
  // True once every Counted answer has been released, within 10 s.
  static bool AllReleased() { return Eventually([] { return alive.load() == 0; }); }
};

// Answers every request with a Counted object; "Pause" after 20 ms, the services "Gate0",
// "Gate1", ... only once the test opens that gate (or after 10 s). Counts the requests that have arrived, so that a test can
// time its steps from the moment every sub-request is running rather than by guesses about how
// long starting threads takes.
class GatedRouter : public zelhost::SatelliteRouter {
 public:
  GatedRouter() {
    for (UniqueKernelHandle& gate : gates_) gate.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  }
  void Open(int gate) { ::SetEvent(gates_[gate].Get()); }
  bool AwaitArrivals(LONG count) { return Eventually([&] { return arrived_.load() >= count; }); }
  LONG Arrived() const { return arrived_.load(); }
  // The most requests that were in the router at the same time.
  LONG MostAtOnce() const { return most_.load(); }
  // The parameters of the request behind `gate`, as they read once it opened; null until then.
  Json LateParameters(int gate) {
    std::lock_guard<std::mutex> lock(mutex_);
    return late_parameters_[gate];
  }
  HRESULT Answer(const std::wstring&, const std::wstring& service, const VARIANT& parameters, VARIANT* result,
                 VARIANT* status) override {
    ++arrived_;
    const LONG now = ++inside_;
    for (LONG most = most_.load(); now > most && !most_.compare_exchange_weak(most, now);) {
    }
    if (service == L"Pause") ::Sleep(20);
    if (service.rfind(L"Gate", 0) == 0) {
      const int gate = std::stoi(service.substr(4));
      ::WaitForSingleObject(gates_[gate].Get(), 10000);
      std::lock_guard<std::mutex> lock(mutex_);
      late_parameters_[gate] = J(parameters);
    }
    ScopedVariant answer;
    V_VT(answer.Get()) = VT_UNKNOWN;
    V_UNKNOWN(answer.Get()) = new Counted();
    VUtil::CreateArray(result, VT_VARIANT, 1);
    VUtil::PutElement(*result, 0, *answer);
    zelhost::MakeStatus(0, status);
    --inside_;
    return S_OK;
  }

 private:
  UniqueKernelHandle gates_[2];
  std::atomic<LONG> arrived_{0};
  std::atomic<LONG> inside_{0};
  std::atomic<LONG> most_{0};
  std::mutex mutex_;
  Json late_parameters_[2];
};

const Json kCountedAnswer = Done(0, R"([{"vt": 13}])");

TEST_F(GroupedRequestTest, ATimedOutGroupIsReleasedByItsLastThreadAlsoAfterClose) {
  auto router = std::make_shared<GatedRouter>();
  {
    RunningModule module;
    module.Scope().Broker().SetRouter(router);
    EXPECT_EQ(GroupWithin(R"([["Any", "Gate0", 0], ["Any", "Quick", 0]])", 300),
              Json::array({0, Json::array({kPending, kCountedAnswer})}));
    // The quick answer moved into the output, which is gone: no record keeps a copy of it.
    EXPECT_EQ(Counted::alive.load(), 0);
  }  // Close, with the gated sub-request still waiting in the broker
  router->Open(0);  // the late answer finds its slot taken by the output, and is dropped
  EXPECT_TRUE(Counted::AllReleased());
}

// Past the cap, sub-requests wait for a place and are all sent within the limit, never more of
// them at once than the cap allows.
TEST_F(GroupedRequestTest, PastTheCapSubRequestsWaitForAPlaceAndAreAllAnswered) {
  auto router = std::make_shared<GatedRouter>();
  RunningModule module;
  module.Scope().Broker().SetRouter(router);
  auto places = std::make_shared<SubRequestPlaces>(4);
  LogWindow log;
  std::string input;
  for (int i = 0; i < 40; ++i) input += (i ? ", " : "") + std::string(R"(["Any", "Pause", 0])");
  EXPECT_EQ(GroupWithin("[" + input + "]", 10000, places), Json::array({0, Json(40, kCountedAnswer)}));
  EXPECT_LE(router->MostAtOnce(), 4);
  EXPECT_GE(router->MostAtOnce(), 2) << "side by side";
  EXPECT_EQ(log.Count("were not started"), 0u);
  EXPECT_EQ(places->Taken(), 0);
  // A target each: no place is handed on; each is given back and taken again for the next line.
  input.clear();
  for (int i = 0; i < 3000; ++i) input += (i ? ", " : "") + std::string(R"(["T)") + std::to_string(i) + R"(", "Quick", 0])";
  EXPECT_EQ(GroupWithin("[" + input + "]", 20000, places), Json::array({0, Json(3000, kCountedAnswer)}));
  EXPECT_EQ(places->Taken(), 0);
  EXPECT_TRUE(Counted::AllReleased());
}

// A satellite that never answers holds its sub-requests' places; it cannot take the last ones, so
// that the sub-requests of a satellite that answers are still sent, in another group or in the
// same, while its own wait in the queue and answer empty when the time is up.
TEST_F(GroupedRequestTest, ASatelliteThatNeverAnswersDoesNotStarveTheOthers) {
  auto router = std::make_shared<GatedRouter>();
  RunningModule module;
  module.Scope().Broker().SetRouter(router);
  auto places = std::make_shared<SubRequestPlaces>(4);  // one place in reserve
  LogWindow log;
  const std::string dead = R"(["Dead", "Gate0", 0])";
  const std::string live = R"(["Live", "Pause", 0])";
  EXPECT_EQ(GroupWithin("[" + dead + ", " + dead + ", " + dead + ", " + dead + ", " + dead + "]", 300, places),
            Json::array({0, Json(5, kPending)}));
  EXPECT_EQ(places->Taken(), 3);
  EXPECT_EQ(log.Count("[WARN] - MakeGroupedRequest: 2 of 5 sub-requests were not started within 300 ms (3 of 4 places "
                      "taken)"),
            1u);
  EXPECT_EQ(GroupWithin("[" + live + ", " + live + ", " + live + "]", 5000, places),
            Json::array({0, Json(3, kCountedAnswer)}));
  EXPECT_EQ(GroupWithin("[" + dead + ", " + live + ", " + dead + ", " + live + "]", 1000, places),
            Json::array({0, Json::array({kPending, kCountedAnswer, kPending, kCountedAnswer})}));
  EXPECT_EQ(log.Count("[WARN] - MakeGroupedRequest: 2 of 4 sub-requests were not started"), 1u);
  EXPECT_EQ(router->Arrived(), 3 + 3 + 2);
  router->Open(0);  // the waiting calls come back and free their places
  EXPECT_TRUE(Eventually([&] { return places->Taken() == 0; }));
  EXPECT_TRUE(Counted::AllReleased());
}

// ["Any", service, parameters] as a VARIANT; `parameters` may hold references.
ScopedVariant SubRequestTo(const std::string& service, const VARIANT& parameters) {
  ScopedVariant request = V(R"(["Any", ")" + service + R"(", null])");
  VUtil::PutElement(*request, 2, parameters);
  return request;
}

TEST_F(GroupedRequestTest, ASubRequestOutlivingTheCallOwnsItsParameters) {
  auto router = std::make_shared<GatedRouter>();
  RunningModule module;
  module.Scope().Broker().SetRouter(router);
  // Parameters that point into the caller's memory, which the caller reuses once the call is over.
  ScopedVariant text = V(R"("as sent")");
  ScopedVariant reference;
  V_VT(reference.Get()) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(reference.Get()) = text.Get();
  ScopedVariant nested = V(R"([1, null])");
  VUtil::PutElement(*nested, 1, *reference);
  ScopedVariant input;
  VUtil::CreateArray(input.Get(), VT_VARIANT, 2);
  VUtil::PutElement(*input, 0, *SubRequestTo("Gate0", *reference));
  VUtil::PutElement(*input, 1, *SubRequestTo("Gate1", *nested));

  auto channel = ModuleChannel();
  auto places = std::make_shared<SubRequestPlaces>();
  ScopedVariant output;
  EXPECT_EQ(MakeGroupedRequest(channel, places, DecodeGroupRequest(*input), *output, 200), 0);
  EXPECT_EQ(J(*output), Json::array({kPending, kPending}));
  text = V("666");
  auto late_parameters = [&](int gate) {
    router->Open(gate);
    Eventually([&] { return router->LateParameters(gate) != nullptr; });
    return router->LateParameters(gate);
  };
  EXPECT_EQ(late_parameters(0), "as sent");
  EXPECT_EQ(late_parameters(1), Json::parse(R"([1, "as sent"])"));
  EXPECT_TRUE(Counted::AllReleased());

  // A reference cycle is refused instead of being followed forever.
  LogWindow log;
  ScopedVariant cycle = V("[null]");
  V_VARIANTREF(reference.Get()) = cycle.Get();
  VUtil::PutElement(*cycle, 0, *reference);
  VUtil::PutElement(*input, 1, *SubRequestTo("Gate1", *cycle));
  EXPECT_EQ(zeltest::Dispatch(L"MultiRequest", *input, *output), 1);
  EXPECT_EQ(log.Count("[WARN] - MakeGroupedRequest exception: Sub-request parameters nest too deeply"), 1u);
}

TEST_F(GroupedRequestTest, AllBatchesShareOneTimeLimit) {
  // Sub-request 10 (first batch) is let go 1 s after all are running, sub-request 69 (second batch)
  // 2.5 s after. Within one limit of 2 s the second is still running when the group answers; a
  // limit started afresh for the second batch would last until 3 s and see it finished.
  auto router = std::make_shared<GatedRouter>();
  RunningModule module;
  module.Scope().Broker().SetRouter(router);
  std::string input;
  for (int i = 0; i < 70; ++i) {
    input += (i ? ", " : "") + std::string(R"(["Any", ")") + (i == 10 ? "Gate0" : i == 69 ? "Gate1" : "Now") + R"(", 0])";
  }
  Json outcome;
  std::thread caller([&] { outcome = GroupWithin("[" + input + "]", 2000); });
  EXPECT_TRUE(router->AwaitArrivals(70));
  ::Sleep(1000);
  router->Open(0);
  ::Sleep(1500);
  router->Open(1);
  caller.join();
  Json slots(70, kCountedAnswer);
  slots[69] = kPending;
  EXPECT_EQ(outcome, Json::array({0, slots}));
  EXPECT_TRUE(Counted::AllReleased());
}

}  // namespace
}  // namespace zel::media

namespace zel::media {
namespace {

// A place handed straight on stays taken, and the call that came back ends its target's stall, so
// that the target may take the reserve again; one that never came back keeps it out.
TEST(SubRequestPlacesTest, APlaceHandedOnStaysTakenAndEndsItsTargetsStall) {
  SubRequestPlaces places(4);  // one place in reserve
  SubRequestPlaces::Ticket tickets[4] = {};
  for (int k = 0; k < 3; ++k) ASSERT_TRUE(places.TryTake(L"Slow", &tickets[k]));
  EXPECT_FALSE(places.TryTake(L"Slow", &tickets[3])) << "nothing has come back: stalled, no reserve";
  tickets[0] = places.HandOn(L"Slow", tickets[0]);
  EXPECT_EQ(places.Taken(), 3);
  ASSERT_TRUE(places.TryTake(L"Slow", &tickets[3])) << "one came back: the reserve is open to it";
  SubRequestPlaces::Ticket spare = 0;
  EXPECT_FALSE(places.TryTake(L"Other", &spare)) << "the cap";
  for (const auto ticket : tickets) places.GiveBack(L"Slow", ticket);
  places.GiveBack(L"Slow", tickets[0]);  // twice: nothing more is given back
  EXPECT_EQ(places.Taken(), 0);
}

}  // namespace
}  // namespace zel::media
