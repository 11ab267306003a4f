#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base64.h"
#include "common/module_log.h"
#include "common/unique_handle.h"
#include "files/file_transfer.h"
#include "files_test_support.h"
#include "support/test_support.h"

namespace zel::files {
namespace {

using zeltest::Json;
using zeltest::ModuleLogLinesWith;

Json Get(const std::string& input) { return Serve(L"GetFile", input); }
Json Info(const std::string& input) { return Serve(L"GetFileInfo", input); }

Json Read(const std::string& text) { return Json::array({0, {{"bytes", zelhost::Base64Encode(text)}}}); }

class FileTransferTest : public ::testing::Test {
 protected:
  void SetUp() override { ModuleLog().SetLevel(CTkLog::kDebug); }
  void TearDown() override { ModuleLog().SetLevel(CTkLog::kError); }

  zeltest::TempFolder folder_;
  std::wstring ten_path_ = folder_.WriteFile(L"ten.bin", "0123456789");
  std::string ten_ = Quoted(ten_path_);
};

TEST_F(FileTransferTest, RangesAndSizesOfATenByteFileEvenWhileOthersWriteIt) {
  const std::pair<const char*, const char*> ranges[] = {
      {", 4, 0", "456789"}, {", 4, 100", "456789"},  // a maximum past the end: what was read
      {", 20, 0", ""},      {", -5, 3", "012"},     {", {\"ui4\": 2147483648}, 2", "01"},  // widened: negative
      {", 2, -1", "23456789"}, {", {\"i8\": 8}, {\"ui8\": 1}", "8"}, {"", "0123456789"}};
  for (const auto& [range, bytes] : ranges) EXPECT_EQ(Get("[" + ten_ + range + "]"), Read(bytes)) << range;
  EXPECT_EQ(Get("{\"array\": [" + ten_ + "], \"of\": \"bstr\"}"), Read("0123456789"));
  EXPECT_EQ(Info("[" + ten_ + "]"), Json::parse(R"([0, [{"i8": 10}]])"));

  UniqueFile writer(::CreateFileW(ten_path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  EXPECT_EQ(Get("[" + ten_ + ", 8]"), Read("89"));
  EXPECT_EQ(Info("[" + ten_ + "]"), Json::parse(R"([0, [{"i8": 10}]])"));
}

TEST_F(FileTransferTest, WrongTypesAnswerMinusOneWithTheirWarningAndUnusablePathsNotFound) {
  for (const auto& [range, what] : {std::pair<std::string, std::string>{", \"4\"", "offset"}, {", 0, 2.5", "maxLength"}}) {
    const std::string line = "[WARN] - GetFile: Error, the " + what + " must be a VT_I4 or VT_I8";
    const size_t before = ModuleLogLinesWith(line).size();
    EXPECT_EQ(Get("[" + ten_ + range + "]"), Json::parse("[-1, null]"));
    EXPECT_EQ(ModuleLogLinesWith(line).size(), before + 1) << line;
  }
  std::vector<std::string> unusable = {"5", "[]", "[5]", "[[\"a\"]]", "[{\"byref\": " + ten_ + "}]",
                                       "{\"array\": [" + ten_ + "], \"lbound\": 1}"};
  for (const std::string& input : unusable) EXPECT_EQ(Info(input)[0], -1) << input;
  EXPECT_EQ(Info("{\"array\": [" + ten_ + "], \"of\": \"bstr\"}")[0], -1);  // a variant array only
  // "GetFile" also reads the offset, which a string array cannot hold.
  unusable.push_back("{\"array\": [" + ten_ + ", \"x\"], \"of\": \"bstr\"}");
  unusable.push_back("[" + ten_ + ", {\"byref\": 1}]");
  for (const std::string& input : unusable) EXPECT_EQ(Get(input)[0], -1) << input;

  // Unusable paths: not found, and never a wait on a device or a pipe.
  const std::wstring folder = folder_.Path();
  for (const std::wstring& path : {folder + L"\\missing.bin", folder, std::wstring(L"CON"),
                                   std::wstring(L"\\\\.\\pipe\\zel-no-such-pipe"), folder + L"\\" + std::wstring(5000, L'x')}) {
    EXPECT_EQ(Get("[" + Quoted(path) + "]")[0], 404) << zeltest::Narrow(path);
  }
  EXPECT_EQ(Get(R"([{"bstr": null}])")[0], 404);
  for (const char* input : {R"([{"bstr": null}])", "[null]", "[7]"}) EXPECT_EQ(Info(input)[0], -1) << input;
  EXPECT_EQ(Info("[" + Quoted(folder + L"\\missing.bin") + "]")[0], -1);
}

TEST_F(FileTransferTest, RangesOfFourGiBOrMoreAreRefusedAndBuffersHoldOnlyWhatCanBeRead) {
  const std::wstring path = SparseFile(folder_.Path() + L"\\five-gib.bin", 5368709120LL);
  EXPECT_EQ(Info("[" + Quoted(path) + "]"), Json::parse(R"([0, [{"i8": 5368709120}]])"));
  EXPECT_EQ(Get("[" + Quoted(path) + ", 0, 0]")[0], 8);
  EXPECT_EQ(Get("[" + ten_ + ", 0, {\"i8\": 4294967296}]")[0], 8);
  EXPECT_EQ(Get("[" + Quoted(path) + ", {\"i8\": 5368709118}, 0]"), Read(std::string(2, '\0')));
  // Near 4 GiB the platform's array size arithmetic would wrap, and the 4 GiB file has no buffer.
  EXPECT_EQ(Get("[" + Quoted(SparseFile(folder_.Path() + L"\\four-gib.bin", 4294967295LL)) + "]")[0], 8);

  // Maxima far beyond a small file cost no more memory than the file: the client's maximum alone
  // never sizes an allocation.
  const std::string small(100000, 'z');
  const std::string small_path = Quoted(folder_.WriteFile(L"small.bin", small));
  PROCESS_MEMORY_COUNTERS before{};
  ASSERT_TRUE(::GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof(before)));
  for (const char* maximum : {"4294967276", "4294967295", "4294967276", "2147483647", "{\"ui4\": 4294967295}"}) {
    EXPECT_TRUE(Get("[" + small_path + ", 0, " + maximum + "]") == Read(small)) << maximum;
    EXPECT_EQ(Get("[" + small_path + ", 99999, " + maximum + "]"), Read("z")) << maximum;
  }
  PROCESS_MEMORY_COUNTERS after{};
  ASSERT_TRUE(::GetProcessMemoryInfo(::GetCurrentProcess(), &after, sizeof(after)));
  EXPECT_LT(after.PeakWorkingSetSize - before.PeakWorkingSetSize, 64u << 20);  // the array is zeroed: touched
}

}  // namespace
}  // namespace zel::files
