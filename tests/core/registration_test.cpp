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
  std::vector<std::wstring> expected = ExpectedRegistration(40);
  expected.push_back(L"CompleteRegistration localhost VarIrUzovuVudir");
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
  BrokerFaults tenth, refused, no_begin, no_advise;
  tenth.fail_register_call = 10;
  refused.complete_answer = 3;
  no_begin.fail_begin = true;
  no_advise.fail_advise = true;
  std::vector<std::wstring> completed = ExpectedRegistration(40);
  completed.push_back(L"CompleteRegistration localhost VarIrUzovuVudir");
  // Each fault with what the broker has seen once Initialize is over.
  const std::pair<BrokerFaults, std::vector<std::wstring>> cases[] = {
      {tenth, ExpectedRegistration(10)},  // ids 0 to 8 registered, the call for id 9 failed
      {refused, completed},
      {no_begin, {L"Advise", L"BeginRegistration 40"}},
      {no_advise, {L"Advise"}},
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
