#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/module_log.h"
#include "common/unique_handle.h"
#include "common/vutil.h"
#include "files/file_transfer.h"
#include "support/test_support.h"

namespace zel::files {
namespace {

using zeltest::J;
using zeltest::Json;
using zeltest::ModuleLogLinesWith;
using zeltest::Narrow;
using zeltest::V;

std::string Quoted(const std::wstring& path) { return zelhost::DumpJson(Narrow(path)); }

struct Answer {
  LONG rc;
  Json output;
};

Answer Get(const std::string& input_json) {
  ScopedVariant input = zeltest::V(input_json);
  ScopedVariant output;
  const LONG rc = GetFile(*input, *output);
  return {rc, J(*output)};
}

Answer Info(const std::string& input_json) {
  ScopedVariant input = zeltest::V(input_json);
  ScopedVariant output;
  const LONG rc = GetFileInfo(*input, *output);
  return {rc, J(*output)};
}

Json Bytes(const std::string& text) {
  ScopedVariant bytes;
  VUtil::PutBinaryIntoVariant(bytes.Get(), text.data(), text.size());
  return J(*bytes);
}

class FileTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ModuleLog().SetLevel(CTkLog::kDebug);
    ten_ = Quoted(folder_.WriteFile(L"ten.bin", "0123456789"));
  }
  void TearDown() override { ModuleLog().SetLevel(CTkLog::kError); }

  zeltest::TempFolder folder_;
  std::string ten_;
};

TEST_F(FileTransferTest, RangesOfATenByteFile) {
  EXPECT_EQ(Get("[" + ten_ + ", 4, 0]").output, Bytes("456789"));
  const Answer long_maximum = Get("[" + ten_ + ", 4, 100]");  // the array holds what was read
  EXPECT_EQ(long_maximum.rc, 0);
  EXPECT_EQ(long_maximum.output, Bytes("456789"));
  EXPECT_EQ(Get("[" + ten_ + ", 20, 0]").output, Bytes(""));
  EXPECT_EQ(Get("[" + ten_ + ", -5, 3]").output, Bytes("012"));
  EXPECT_EQ(Get("[" + ten_ + ", {\"ui4\": 2147483648}, 2]").output, Bytes("01"));  // widened: negative
  EXPECT_EQ(Get("[" + ten_ + ", {\"i8\": 8}, {\"ui8\": 1}]").output, Bytes("8"));
  EXPECT_EQ(Get("[" + ten_ + ", 2, -1]").output, Bytes("23456789"));
  EXPECT_EQ(Get("[" + ten_ + "]").output, Bytes("0123456789"));
  EXPECT_EQ(Get("{\"array\": [" + ten_ + "], \"of\": \"bstr\"}").output, Bytes("0123456789"));
  EXPECT_EQ(Get("[" + ten_ + ", 0, 0]").rc, 0);
}

TEST_F(FileTransferTest, WrongParameterTypesAnswerMinusOneWithTheirWarning) {
  const std::string offset_line = "[WARN] - GetFile: Error, the offset must be a VT_I4 or VT_I8";
  const std::string maximum_line = "[WARN] - GetFile: Error, the maxLength must be a VT_I4 or VT_I8";
  const size_t offsets_before = ModuleLogLinesWith(offset_line).size();
  const size_t maximums_before = ModuleLogLinesWith(maximum_line).size();
  EXPECT_EQ(Get("[" + ten_ + ", \"4\"]").rc, -1);
  const Answer bad_maximum = Get("[" + ten_ + ", 0, 2.5]");
  EXPECT_EQ(bad_maximum.rc, -1);
  EXPECT_EQ(bad_maximum.output, nullptr);
  EXPECT_EQ(ModuleLogLinesWith(offset_line).size(), offsets_before + 1);
  EXPECT_EQ(ModuleLogLinesWith(maximum_line).size(), maximums_before + 1);
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
       {folder + L"\\missing.bin", std::wstring(), folder, folder + L"\\*", std::wstring(L"CON"), std::wstring(L"NUL"),
        std::wstring(L"\\\\.\\CONIN$"), std::wstring(L"\\\\.\\pipe\\zel-no-such-pipe"), std::wstring(L"a<b>|c"),
        std::wstring(L"\\\\?\\") + folder + L"\\missing", folder + L"\\" + std::wstring(5000, L'x')}) {
    EXPECT_EQ(Get("[" + Quoted(path) + "]").rc, 404) << Narrow(path);
  }
  EXPECT_EQ(Get(R"([{"bstr": null}])").rc, 404);
  EXPECT_EQ(Info("[" + Quoted(folder + L"\\missing.bin") + "]").rc, -1);
  EXPECT_EQ(Info(R"([{"bstr": null}])").rc, -1);
  EXPECT_EQ(Info(R"([7])").rc, -1);  // never read as a string
}

TEST_F(FileTransferTest, InfoAnswersTheSizeAsI8) {
  const Answer info = Info("[" + ten_ + "]");
  EXPECT_EQ(info.rc, 0);
  EXPECT_EQ(info.output, Json::parse(R"([{"i8": 10}])"));
  EXPECT_EQ(Info(R"([null])").rc, -1);  // the empty path
}

TEST_F(FileTransferTest, RangesOfFourGiBOrMoreAreRefusedWithoutAllocating) {
  const std::wstring path = folder_.Path() + L"\\five-gib.bin";
  {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    LARGE_INTEGER end;
    end.QuadPart = 5368709120LL;
    ASSERT_TRUE(::SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(file.Get()));
  }
  EXPECT_EQ(Info("[" + Quoted(path) + "]").output, Json::parse(R"([{"i8": 5368709120}])"));
  EXPECT_EQ(Get("[" + Quoted(path) + ", 0, 0]").rc, 8);
  EXPECT_EQ(Get("[" + ten_ + ", 0, {\"i8\": 4294967296}]").rc, 8);
  const Answer tail = Get("[" + Quoted(path) + ", {\"i8\": 5368709118}, 0]");
  EXPECT_EQ(tail.rc, 0);
  EXPECT_EQ(tail.output, Bytes(std::string(2, '\0')));
}

TEST_F(FileTransferTest, AFileHeldOpenForWritingByOthersCanStillBeRead) {
  const std::wstring path = folder_.WriteFile(L"held.log", "held open");
  UniqueFile writer(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  EXPECT_EQ(Get("[" + Quoted(path) + "]").output, Bytes("held open"));
  EXPECT_EQ(Info("[" + Quoted(path) + "]").output, Json::parse(R"([{"i8": 9}])"));
}

TEST_F(FileTransferTest, ConcurrentReadsOfOneFile) {
  std::string content;
  for (int i = 0; i < 100000; ++i) content += static_cast<char>(i * 7);
  const std::string path = Quoted(folder_.WriteFile(L"shared.bin", content));
  std::vector<std::thread> readers;
  std::vector<int> good(8, 0);
  for (int r = 0; r < 8; ++r) {
    readers.emplace_back([&, r] {
      for (int i = 0; i < 20; ++i) {
        const int offset = (r * 1000 + i * 37) % 90000;
        const Answer answer = Get("[" + path + ", " + std::to_string(offset) + ", 5000]");
        good[r] += answer.rc == 0 && answer.output == Bytes(content.substr(offset, 5000));
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  for (int r = 0; r < 8; ++r) EXPECT_EQ(good[r], 20) << "reader " << r;
}

}  // namespace
}  // namespace zel::files
