// The module as the media server loads it (LoadLibrary, Initialize, Close, FreeLibrary) while one of
// its event calls is still running on a broker thread: Close does not wait for it, so the module has
// to keep its code mapped under that thread.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "broker/satellites.h"
#include "support/test_support.h"

namespace zelhost {
namespace {

using zeltest::Narrow;

std::wstring ModuleBesideProgram() {
  wchar_t path[MAX_PATH];
  const std::wstring program(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
  return program.substr(0, program.find_last_of(L'\\') + 1) + L"ZovIdivariRuder.dll";
}

// The loaded module's own log (this program's linked-in copy of the module logs elsewhere).
std::vector<std::string> ModuleLines(const std::string& needle) {
  return zeltest::LinesWith(zeltest::LogsFolder() + L"ZovIdivariRuder.log", needle);
}

TEST(ModuleUnloadTest, AnEventCallStillRunningAtCloseKeepsTheUnloadedModuleMapped) {
  zeltest::LogLevelValue level(3);
  zeltest::TempFolder folder;
  zeltest::BrokerScope scope;
  // The folder listing asks for the extension lists first; each answer takes 400 ms.
  scope.Broker().SetRouter(std::make_shared<SatelliteScript>(
      ParseJson(R"({"ZidAvaraV2": {"GetExtensions": {"delay_ms": 400, "answer": [".mp3"]}}})")));
  HMODULE module = ::LoadLibraryW(ModuleBesideProgram().c_str());
  ASSERT_NE(module, nullptr);
  const auto initialize = reinterpret_cast<LONG (*)()>(::GetProcAddress(module, "Initialize"));
  const auto close = reinterpret_cast<LONG (*)()>(::GetProcAddress(module, "Close"));
  ASSERT_TRUE(initialize != nullptr && close != nullptr);
  EXPECT_EQ(initialize(), 0);

  const std::string asked = ":OnServiceRequested GetDiskFolderContent";
  const std::string stays = "still running at Close; the module stays loaded";
  const size_t before = ModuleLines(asked).size();
  const size_t stayed = ModuleLines(stays).size();
  zel::ScopedVariant input =
      zeltest::V("[\"\", " + DumpJson(Narrow(folder.Path())) + ", 3, \"\", \"title\", \"\", 0, 0]");
  zel::ScopedVariant output;
  LONG rc = -7;
  HRESULT delivered = E_FAIL;
  std::thread call([&] { delivered = scope.Call(L"GetDiskFolderContent", *input, output.Get(), &rc); });
  for (int wait = 0; wait < 200 && ModuleLines(asked).size() == before; ++wait) ::Sleep(10);
  EXPECT_GT(ModuleLines(asked).size(), before);

  EXPECT_EQ(close(), 0);
  EXPECT_TRUE(::FreeLibrary(module));
  // Unmapped here, the call would return into nothing.
  EXPECT_NE(::GetModuleHandleW(L"ZovIdivariRuder.dll"), nullptr);
  call.join();
  EXPECT_EQ(delivered, S_OK);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ModuleLines(stays).size(), stayed + 1);
}

}  // namespace
}  // namespace zelhost
