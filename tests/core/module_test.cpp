#include <comdef.h>

#include <gtest/gtest.h>

#include "common/module_log.h"
#include "common/wide_error.h"
#include "core/kro_atl.h"
#include "core/module.h"
#include "core/service_table.h"
#include "support/registry_scope.h"
#include "support/test_support.h"

namespace zel::core {
namespace {

using namespace zeltest;

// What the broker sees of a registration that stops after `services` services or completes.
std::vector<std::wstring> ExpectedRegistration(size_t services, bool completed = false) {
  std::vector<std::wstring> operations = {L"Advise", L"BeginRegistration 40"};
  for (size_t i = 0; i < services; ++i) {
    const std::wstring name = kServiceTable[i].name;
    operations.push_back(L"RegisterService " + std::to_wstring(i) + L" " + name + L" " + name);
  }
  if (completed) operations.push_back(L"CompleteRegistration localhost VarIrUzovuVudir");
  return operations;
}

TEST(RegistrationTest, RegistersTheFortyServicesInTableOrderOnceAndUnregistersAtClose) {
  for (size_t i = 0; i < kServiceCount; ++i) {
    for (size_t j = 0; j < i; ++j) EXPECT_STRNE(kServiceTable[i].name, kServiceTable[j].name);
  }
  EXPECT_STREQ(kServiceTable[15].name, L"Register Custom MediumId");
  EXPECT_STREQ(kServiceTable[39].name, L"GenerateCrash");

  EXPECT_EQ(CloseModule(), 0);  // without Initialize: harmless
  BrokerScope scope;
  EXPECT_EQ(InitializeModule(), 0);
  EXPECT_EQ(InitializeModule(), 0);  // refused: one module object only
  std::vector<std::wstring> expected = ExpectedRegistration(40, true);
  EXPECT_EQ(scope.Operations(), expected);
  EXPECT_EQ(scope.Broker().RegisteredComponent(), L"VarIrUzovuVudir");
  EXPECT_EQ(scope.Broker().RegisteredServiceCount(), 40u);
  EXPECT_NE(CurrentBroker(), nullptr);

  EXPECT_EQ(CloseModule(), 0);
  EXPECT_EQ(CloseModule(), 0);
  expected.insert(expected.end(), {L"Unregister", L"Detach", L"Unadvise"});
  EXPECT_EQ(scope.Operations(), expected);
  EXPECT_EQ(CurrentBroker(), nullptr);
}

TEST(RegistrationTest, ABrokerFaultLeavesTheModuleLoadedAndCloseUndoesOnlyWhatWasDone) {
  // Each fault with what the broker has seen once Initialize is over.
  const std::pair<BrokerFaults, std::vector<std::wstring>> cases[] = {
      {{10}, ExpectedRegistration(10)},                    // ids 0 to 8 registered, the call for id 9 failed
      {{0, false, false, 3}, ExpectedRegistration(40, true)},  // CompleteRegistration refuses
      {{0, true}, {L"Advise", L"BeginRegistration 40"}},  // BeginRegistration fails
      {{0, false, true}, {L"Advise"}},                     // Advise refused
  };
  for (const auto& [faults, initialized] : cases) {
    BrokerScope scope(faults);
    EXPECT_EQ(InitializeModule(), 0);
    EXPECT_EQ(scope.Operations(), initialized);
    EXPECT_EQ(scope.Broker().RegisteredComponent(), L"");
    EXPECT_EQ(CurrentBroker() != nullptr, !faults.fail_advise);
    ScopedVariant output;
    LONG rc = 5;
    EXPECT_EQ(scope.Call(L"GetFileInfo", *zeltest::V(R"(["x"])"), output.Get(), &rc), zelhost::kErrorNotRegistered);
    // Close closes the event connection, if there is one, without unregistering.
    EXPECT_EQ(CloseModule(), 0);
    std::vector<std::wstring> closed = initialized;
    if (!faults.fail_advise) closed.push_back(L"Unadvise");
    EXPECT_EQ(scope.Operations(), closed);
  }
  // No broker class registered at all: not in this process, and no server (a host of the prefix
  // that was killed leaves its broker server's registration behind).
  wchar_t clsid[40] = {};
  ::StringFromGUID2(kro::kClsidKroBroker, clsid, 40);
  RegistryKeyScope server(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\Classes\\CLSID\\") + clsid + L"\\LocalServer32");
  server.ClearValues();
  EXPECT_EQ(InitializeModule(), 0);
  EXPECT_EQ(CurrentBroker(), nullptr);
  EXPECT_EQ(CloseModule(), 0);
}

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { ModuleLog().SetLevel(CTkLog::kDebug); }
  void TearDown() override { ModuleLog().SetLevel(CTkLog::kError); }
};

TEST_F(DispatcherTest, NamesAreComparedExactlyAndUnhandledNamesAndEventsChangeNothing) {
  RunningModule module;
  ScopedVariant input = V(R"(["x"])");
  // The broker delivers "getfile" (it compares ignoring case); the module does not handle it.
  const LONG kept = 100000 + static_cast<LONG>(::GetTickCount() % 100000);
  for (const wchar_t* service : {L"getfile", L"StartUpload", L"SendData", L"StopUpload"}) {
    ScopedVariant untouched;
    LONG rc = kept;
    ASSERT_EQ(module.Scope().Call(service, *input, untouched.Get(), &rc), S_OK) << Narrow(service);
    EXPECT_EQ(rc, kept) << Narrow(service);
    EXPECT_EQ(untouched.Type(), VT_EMPTY);
  }
  EXPECT_FALSE(ModuleLogLinesWith(":OnServiceRequested getfile").empty());
  EXPECT_EQ(ModuleLogLinesWith(": Onservicerequested returned " + std::to_string(kept)).size(), 4u);

  // The second event is acknowledged and changes nothing.
  LONG answer = 1234;
  EXPECT_EQ(module.Scope().Broker().Notify(7, &answer), S_OK);
  EXPECT_EQ(answer, 1234);
}

std::wstring g_wide_marker;  // unique per run: the log outlives the test programs
LONG ThrowsWide(ServiceCall&) { throw WideError(g_wide_marker); }
LONG ThrowsInput(ServiceCall&) { throw WideError::Input(g_wide_marker); }
LONG ThrowsCoded(ServiceCall&) { throw WideError(404, g_wide_marker); }
LONG ThrowsCom(ServiceCall&) {
  _com_issue_error(E_ACCESSDENIED);
  return 0;
}
LONG ThrowsOther(ServiceCall&) { throw 42; }
LONG Answers(ServiceCall& call) {
  V_VT(&call.output) = VT_I4;
  V_I4(&call.output) = static_cast<LONG>(call.requester.size());
  return 9;
}

TEST_F(DispatcherTest, ErrorsEscapingAHandlerAreCaughtAtTheBoundaryAndMappedByTheRow) {
  constexpr ErrorMap kMapped{L"Mapped: %s", 3, 4};
  const ServiceEntry table[] = {
      {0, L"Wide", ThrowsWide}, {1, L"Com", ThrowsCom, kMapped}, {2, L"Other", ThrowsOther, kMapped},
      {3, L"Answers", Answers}, {4, L"Answers", ThrowsWide},  // the first match wins
      {5, L"Failing", ThrowsWide, kMapped}, {6, L"BadInput", ThrowsInput, kMapped}, {7, L"Coded", ThrowsCoded, kMapped},
      {8, L"CodedUnmapped", ThrowsCoded},
  };
  ScopedVariant input;
  ScopedVariant output;
  CKroAtl* object = new CKroAtl();
  const std::wstring requester = L"four";
  ServiceCall call{object->Parts(), requester, *input, *output};
  auto run = [&](const wchar_t* name) {
    LONG rc = 31;
    DispatchService(table, std::size(table), name, call, &rc);
    return rc;
  };
  g_wide_marker = UniqueName(L"wide-failure");
  EXPECT_EQ(run(L"Wide"), 31);
  EXPECT_EQ(ModuleLogLinesWith("[WARN] - Onservicerequested exception: " + Narrow(g_wide_marker)).size(), 1u);
  EXPECT_EQ(run(L"Com"), static_cast<LONG>(E_ACCESSDENIED));
  EXPECT_EQ(run(L"Other"), 31);
  EXPECT_EQ(run(L"Answers"), 9);
  EXPECT_EQ(J(*output), Json(4));
  EXPECT_EQ(run(L"answers"), 31);
  // A row's map: the WARN line in its format, and the error's own code, else the input code for
  // bad input, else the failure code.
  const std::string mapped = "[WARN] - Mapped: " + Narrow(g_wide_marker);
  EXPECT_EQ(run(L"Failing"), 4);
  EXPECT_EQ(run(L"BadInput"), 3);
  EXPECT_EQ(run(L"Coded"), 404);
  EXPECT_EQ(ModuleLogLinesWith(mapped).size(), 3u);
  EXPECT_EQ(run(L"CodedUnmapped"), 404);
  EXPECT_EQ(ModuleLogLinesWith("[WARN] - Onservicerequested exception: " + Narrow(g_wide_marker)).size(), 2u);
  object->ReleaseHold();
}

// Invoke is reached by the broker only, but it is the COM boundary: check its argument handling.
TEST_F(DispatcherTest, InvokeUnpacksArgumentsByTheirFixedDescriptions) {
  CKroAtl* object = new CKroAtl();
  IDispatch* sink = nullptr;
  ASSERT_EQ(object->QueryInterface(kro::kDiidKroInEvents, reinterpret_cast<void**>(&sink)), S_OK);
  void* refused = &refused;  // a refused interface must come back as a null pointer
  EXPECT_EQ(object->QueryInterface(IID_NULL, &refused), E_NOINTERFACE);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  // COM's references hold the object: the platform's stubs may keep the sink after Close.
  EXPECT_TRUE(object->IsHeldElsewhere());

  ScopedVariant output;
  LONG rc = 12;
  ScopedVariant service = V(R"("NoSuchService")");
  VARIANTARG args[5];
  args[4] = *V("5");  // the requester arrives as a number: coerced to a string
  args[3] = *service;  // borrowed: `service` keeps the string
  V_VT(&args[2]) = VT_EMPTY;
  V_VT(&args[1]) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&args[1]) = output.Get();
  V_VT(&args[0]) = VT_BYREF | VT_I4;
  V_I4REF(&args[0]) = &rc;
  DISPPARAMS params{args, nullptr, 5, 0};
  EXPECT_EQ(sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(rc, 12);

  UINT bad_arg = 99;
  V_VT(&args[0]) = VT_BYREF | VT_I2;  // a by-reference return code must be exactly a LONG*
  EXPECT_EQ(sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, &bad_arg),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad_arg, 0u);
  V_VT(&args[0]) = VT_BYREF | VT_I4;
  V_I4REF(&args[0]) = nullptr;
  EXPECT_EQ(sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), E_POINTER);
  params.cArgs = 4;
  EXPECT_EQ(sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(sink->Invoke(77, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), S_OK);
  sink->Release();
  EXPECT_FALSE(object->IsHeldElsewhere());
  object->ReleaseHold();
}

}  // namespace
}  // namespace zel::core
