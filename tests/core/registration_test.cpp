#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/module.h"
#include "core/service_table.h"
#include "support/test_support.h"

namespace zel {
namespace {

using zeltest::BrokerScope;
using zelhost::BrokerFaults;

std::vector<std::wstring> ExpectedRegistration(size_t services) {
  std::vector<std::wstring> operations = {L"Advise", L"BeginRegistration 40"};
  for (size_t i = 0; i < services; ++i) {
    const std::wstring name = kServiceTable[i].name;
    operations.push_back(L"RegisterService " + std::to_wstring(i) + L" " + name + L" " + name);
  }
  return operations;
}

TEST(RegistrationTest, RegistersTheFortyServicesInTableOrderAndUnregistersAtClose) {
  BrokerScope scope;
  EXPECT_EQ(InitializeModule(), 0);
  std::vector<std::wstring> expected = ExpectedRegistration(40);
  expected.push_back(L"CompleteRegistration localhost VarIrUzovuVudir");
  EXPECT_EQ(scope.Broker().Operations(), expected);
  EXPECT_EQ(scope.Broker().RegisteredComponent(), L"VarIrUzovuVudir");
  EXPECT_EQ(scope.Broker().RegisteredServiceCount(), 40u);
  EXPECT_NE(CurrentBroker(), nullptr);

  EXPECT_EQ(CloseModule(), 0);
  expected.insert(expected.end(), {L"Unregister", L"Detach", L"Unadvise"});
  EXPECT_EQ(scope.Broker().Operations(), expected);
  EXPECT_EQ(CurrentBroker(), nullptr);
}

TEST(RegistrationTest, TheServiceTableHasFortyDistinctNamesWithTheirIds) {
  for (size_t i = 0; i < kServiceCount; ++i) {
    EXPECT_EQ(kServiceTable[i].id, static_cast<LONG>(i));
    for (size_t j = 0; j < i; ++j) EXPECT_STRNE(kServiceTable[i].name, kServiceTable[j].name);
  }
  EXPECT_STREQ(kServiceTable[15].name, L"Register Custom MediumId");
  EXPECT_STREQ(kServiceTable[39].name, L"GenerateCrash");
  for (size_t i : {34, 35, 36}) EXPECT_EQ(kServiceTable[i].handler, nullptr) << i;
}

TEST(RegistrationTest, AFailingTenthRegisterCallStopsTheSequence) {
  BrokerFaults faults;
  faults.fail_register_call = 10;
  BrokerScope scope(faults);
  EXPECT_EQ(InitializeModule(), 0);
  // Ids 0 to 8 registered; the call for id 9 failed; complete-registration never called.
  EXPECT_EQ(scope.Broker().Operations(), ExpectedRegistration(10));
  EXPECT_EQ(scope.Broker().RegisteredComponent(), L"");

  // Close after a failed registration closes the event connection without unregistering.
  EXPECT_EQ(CloseModule(), 0);
  std::vector<std::wstring> expected = ExpectedRegistration(10);
  expected.push_back(L"Unadvise");
  EXPECT_EQ(scope.Broker().Operations(), expected);
}

TEST(RegistrationTest, ARefusedCompletionLeavesTheModuleUnregistered) {
  BrokerFaults faults;
  faults.complete_answer = 3;
  BrokerScope scope(faults);
  EXPECT_EQ(InitializeModule(), 0);
  EXPECT_EQ(scope.Broker().RegisteredServiceCount(), 0u);
  ScopedVariant output;
  LONG rc = 5;
  EXPECT_EQ(scope.Call(L"GetFileInfo", *zeltest::V(R"(["x"])"), output.Get(), &rc), zelhost::kErrorNotRegistered);
  EXPECT_EQ(CloseModule(), 0);
  const std::vector<std::wstring> operations = scope.Broker().Operations();
  EXPECT_EQ(operations.back(), L"Unadvise");
  EXPECT_EQ(std::count(operations.begin(), operations.end(), L"Unregister"), 0);
}

TEST(RegistrationTest, ABrokerThatCannotBeReachedLeavesTheModuleLoadedAndQuiet) {
  {
    BrokerFaults faults;
    faults.fail_advise = true;
    BrokerScope scope(faults);
    EXPECT_EQ(InitializeModule(), 0);
    EXPECT_EQ(scope.Broker().Operations(), std::vector<std::wstring>{L"Advise"});
    EXPECT_EQ(CurrentBroker(), nullptr);
    EXPECT_EQ(CloseModule(), 0);
    EXPECT_EQ(scope.Broker().Operations(), std::vector<std::wstring>{L"Advise"});
  }
  {
    BrokerFaults faults;
    faults.fail_begin = true;
    BrokerScope scope(faults);
    EXPECT_EQ(InitializeModule(), 0);
    EXPECT_EQ(CloseModule(), 0);
    EXPECT_EQ(scope.Broker().Operations(),
              (std::vector<std::wstring>{L"Advise", L"BeginRegistration 40", L"Unadvise"}));
  }
  // No broker class registered at all.
  EXPECT_EQ(InitializeModule(), 0);
  EXPECT_EQ(CurrentBroker(), nullptr);
  EXPECT_EQ(CloseModule(), 0);
}

TEST(RegistrationTest, CloseWithoutInitializeAndTwiceIsHarmless) {
  EXPECT_EQ(CloseModule(), 0);
  BrokerScope scope;
  EXPECT_EQ(InitializeModule(), 0);
  EXPECT_EQ(InitializeModule(), 0);  // refused: one module object only
  EXPECT_EQ(scope.Broker().RegisteredServiceCount(), 40u);
  EXPECT_EQ(CloseModule(), 0);
  EXPECT_EQ(CloseModule(), 0);
  const std::vector<std::wstring> operations = scope.Broker().Operations();
  EXPECT_EQ(std::count(operations.begin(), operations.end(), L"BeginRegistration 40"), 1);
  EXPECT_EQ(std::count(operations.begin(), operations.end(), L"Unregister"), 1);
}

}  // namespace
}  // namespace zel
