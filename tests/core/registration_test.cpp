#include <gtest/gtest.h>

#include "core/module.h"
#include "core/service_table.h"
#include "support/test_support.h"

namespace zel {
namespace {

using zeltest::BrokerScope;
using zelhost::BrokerFaults;

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
  EXPECT_EQ(scope.Broker().Operations(), expected);
  EXPECT_EQ(scope.Broker().RegisteredComponent(), L"VarIrUzovuVudir");
  EXPECT_EQ(scope.Broker().RegisteredServiceCount(), 40u);
  EXPECT_NE(CurrentBroker(), nullptr);

  EXPECT_EQ(CloseModule(), 0);
  EXPECT_EQ(CloseModule(), 0);
  expected.insert(expected.end(), {L"Unregister", L"Detach", L"Unadvise"});
  EXPECT_EQ(scope.Broker().Operations(), expected);
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
    EXPECT_EQ(scope.Broker().Operations(), initialized);
    EXPECT_EQ(scope.Broker().RegisteredComponent(), L"");
    EXPECT_EQ(CurrentBroker() != nullptr, !faults.fail_advise);
    ScopedVariant output;
    LONG rc = 5;
    EXPECT_EQ(scope.Call(L"GetFileInfo", *zeltest::V(R"(["x"])"), output.Get(), &rc), zelhost::kErrorNotRegistered);
    // Close closes the event connection, if there is one, without unregistering.
    EXPECT_EQ(CloseModule(), 0);
    std::vector<std::wstring> closed = initialized;
    if (!faults.fail_advise) closed.push_back(L"Unadvise");
    EXPECT_EQ(scope.Broker().Operations(), closed);
  }
  // No broker class registered at all.
  EXPECT_EQ(InitializeModule(), 0);
  EXPECT_EQ(CurrentBroker(), nullptr);
  EXPECT_EQ(CloseModule(), 0);
}

}  // namespace
}  // namespace zel
