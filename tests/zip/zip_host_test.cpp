// The zip services as a client of the real host reaches them: zelhost.exe loading the module DLL.

#include <gtest/gtest.h>

#include <string>

#include "base64.h"
#include "common/text.h"
#include "json_variant.h"
#include "support/host_process.h"
#include "support/test_support.h"
#include "zip_test_support.h"

namespace zel::zip {
namespace {

using zelhost::DumpJson;
using zelhost::ParseJson;

TEST(ZipHostTest, ZipLogsAnswersAnArchiveThatGetFileReturnsAndDeleteTempFileRemoves) {
  zeltest::LogLevelValue restored_afterwards(3);  // the host writes the value it is given
  const zeltest::HostRun zipped = zeltest::RunHost({L"call", L"ZipLogs", L"null", L"--log-level", L"3"});
  ASSERT_EQ(zipped.exit_code, 0u) << zipped.err;
  const zeltest::Json answer = ParseJson(zipped.out);
  ASSERT_EQ(answer["rc"], 0) << zipped.out;
  const std::string path = answer["output"][0];
  const long long size = answer["output"][1];
  EXPECT_NE(path.find("\\Zuv"), std::string::npos) << path;

  const std::wstring quoted = Utf8ToWide("[" + DumpJson(path) + "]");
  const zeltest::HostRun fetched = zeltest::RunHost({L"call", L"GetFile", quoted});
  ASSERT_EQ(fetched.exit_code, 0u) << fetched.err;
  const zeltest::Json bytes = ParseJson(fetched.out);
  ASSERT_EQ(bytes["rc"], 0);
  const auto decoded = zelhost::Base64Decode(bytes["output"]["bytes"].get<std::string>());
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(static_cast<long long>(decoded->size()), size);
  const ziptest::Bytes archive = ziptest::ToBytes(*decoded);
  EXPECT_EQ(archive, ziptest::ReadFileBytes(Utf8ToWide(path)));
  const ziptest::ZipListing listing = ziptest::ReadListing(archive);
  ASSERT_TRUE(listing.ok);
  bool has_log = false;
  for (const auto& [name, contents] : ziptest::ReadAllEntries(archive)) {
    has_log = has_log || name.find("Logs/ZovIdivariRuder.log") != std::string::npos;
  }
  EXPECT_TRUE(has_log) << "the run logged at level 3 before zipping, so the module log is there";

  const zeltest::HostRun deleted = zeltest::RunHost({L"call", L"DeleteTempFile", Utf8ToWide("[\"\", " + DumpJson(path) + "]")});
  EXPECT_EQ(ParseJson(deleted.out)["rc"], 0) << deleted.out;
  EXPECT_EQ(::GetFileAttributesW(Utf8ToWide(path).c_str()), INVALID_FILE_ATTRIBUTES);
  const zeltest::HostRun outside = zeltest::RunHost({L"call", L"DeleteTempFile", L"[\"\", \"C:\\\\windows\\\\win.ini\"]"});
  EXPECT_EQ(ParseJson(outside.out)["rc"], 403) << outside.out;
}

}  // namespace
}  // namespace zel::zip
