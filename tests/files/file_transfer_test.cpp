#include <windows.h>

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

Answer Get(const std::string& input) { return Serve(GetFile, input); }
Answer Info(const std::string& input) { return Serve(GetFileInfo, input); }

Json Bytes(const std::string& text) { return Json{{"bytes", zelhost::Base64Encode(text)}}; }

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
  for (const auto& [range, bytes] : ranges) {
    const Answer answer = Get("[" + ten_ + range + "]");
    EXPECT_EQ(answer.rc, 0) << range;
    EXPECT_EQ(answer.output, Bytes(bytes)) << range;
  }
  EXPECT_EQ(Get("{\"array\": [" + ten_ + "], \"of\": \"bstr\"}").output, Bytes("0123456789"));
  const Answer info = Info("[" + ten_ + "]");
  EXPECT_EQ(info.rc, 0);
  EXPECT_EQ(info.output, Json::parse(R"([{"i8": 10}])"));

  UniqueFile writer(::CreateFileW(ten_path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  EXPECT_EQ(Get("[" + ten_ + ", 8]").output, Bytes("89"));
  EXPECT_EQ(Info("[" + ten_ + "]").output, info.output);
}

TEST_F(FileTransferTest, WrongParameterTypesAnswerMinusOneWithTheirWarning) {
  for (const auto& [range, what] : {std::pair<std::string, std::string>{", \"4\"", "offset"}, {", 0, 2.5", "maxLength"}}) {
    const std::string line = "[WARN] - GetFile: Error, the " + what + " must be a VT_I4 or VT_I8";
    const size_t before = ModuleLogLinesWith(line).size();
    const Answer answer = Get("[" + ten_ + range + "]");
    EXPECT_EQ(answer.rc, -1);
    EXPECT_EQ(answer.output, nullptr);
    EXPECT_EQ(ModuleLogLinesWith(line).size(), before + 1) << line;
  }
  std::vector<std::string> unusable = {"5", "[]", "[5]", "[[\"a\"]]", "[{\"byref\": " + ten_ + "}]",
                                       "{\"array\": [" + ten_ + "], \"lbound\": 1}"};
  for (const std::string& input : unusable) EXPECT_EQ(Info(input).rc, -1) << input;
  EXPECT_EQ(Info("{\"array\": [" + ten_ + "], \"of\": \"bstr\"}").rc, -1);  // a variant array only
  // "GetFile" also reads the offset, which a string array cannot hold.
  unusable.push_back("{\"array\": [" + ten_ + ", \"x\"], \"of\": \"bstr\"}");
  unusable.push_back("[" + ten_ + ", {\"byref\": 1}]");
  for (const std::string& input : unusable) EXPECT_EQ(Get(input).rc, -1) << input;
}

TEST_F(FileTransferTest, UnusablePathsAnswerNotFoundAndNeverBlock) {
  const std::wstring folder = folder_.Path();
  for (const std::wstring& path :
       {folder + L"\\missing.bin", std::wstring(), folder, folder + L"\\*", std::wstring(L"CON"),
        std::wstring(L"\\\\.\\pipe\\zel-no-such-pipe"), folder + L"\\" + std::wstring(5000, L'x')}) {
    EXPECT_EQ(Get("[" + Quoted(path) + "]").rc, 404) << zeltest::Narrow(path);
  }
  EXPECT_EQ(Get(R"([{"bstr": null}])").rc, 404);
  for (const char* input : {R"([{"bstr": null}])", "[null]", "[7]"}) EXPECT_EQ(Info(input).rc, -1) << input;
  EXPECT_EQ(Info("[" + Quoted(folder + L"\\missing.bin") + "]").rc, -1);
}

TEST_F(FileTransferTest, RangesOfFourGiBOrMoreAreRefusedWithoutAllocating) {
  const std::wstring path = SparseFile(folder_.Path() + L"\\five-gib.bin", 5368709120LL);
  EXPECT_EQ(Info("[" + Quoted(path) + "]").output, Json::parse(R"([{"i8": 5368709120}])"));
  EXPECT_EQ(Get("[" + Quoted(path) + ", 0, 0]").rc, 8);
  EXPECT_EQ(Get("[" + ten_ + ", 0, {\"i8\": 4294967296}]").rc, 8);
  const Answer tail = Get("[" + Quoted(path) + ", {\"i8\": 5368709118}, 0]");
  EXPECT_EQ(tail.rc, 0);
  EXPECT_EQ(tail.output, Bytes(std::string(2, '\0')));
}

}  // namespace
}  // namespace zel::files
