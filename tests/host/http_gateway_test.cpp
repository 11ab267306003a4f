// The HTTP gateway as a browser meets it: zelhost.exe serve --http on a free port, spoken to over
// HTTP from this program.

#include <windows.h>

#include <gtest/gtest.h>

#include <httplib.h>

#include <memory>
#include <string>

#include "common/text.h"
#include "json_variant.h"
#include "support/host_process.h"
#include "support/test_support.h"

namespace zelhost {
namespace {

using zeltest::Narrow;

class HttpGatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const Json started = ParseJson(host_.ReadLine());
    token_ = started.value("token", "");
    ASSERT_EQ(token_.size(), 64u) << started;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", started["port"].get<int>());
    client_->set_read_timeout(30, 0);
  }

  httplib::Headers WithToken(httplib::Headers headers = {}) const {
    headers.emplace("X-Zel-Token", token_);
    return headers;
  }
  static std::string Escaped(const std::wstring& path) { return httplib::detail::encode_query_param(Narrow(path)); }

  zeltest::LogLevelValue level_{3};
  zeltest::TempFolder folder_;
  zeltest::RunningHost host_{{L"serve", L"--http", L"127.0.0.1:0"}};
  std::string token_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(HttpGatewayTest, FilesAreServedWithLengthsAndSingleRanges) {
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
  const std::string target = "/api/files?path=" + Escaped(folder_.WriteFile(L"data.bin", bytes));

  struct Case {
    const char* range;  // nullptr: no Range header
    int status;
    size_t first, length;  // the expected slice for 200 and 206
    const char* content_range;
  };
  const Case cases[] = {
      {nullptr, 200, 0, 300000, ""},
      {"bytes=10-19", 206, 10, 10, "bytes 10-19/300000"},
      {"bytes=-5", 206, 299995, 5, "bytes 299995-299999/300000"},
      {"bytes=299990-", 206, 299990, 10, "bytes 299990-299999/300000"},
      {"bytes=1048575-", 416, 0, 0, "bytes */300000"},
      {"bytes=100-9999999", 206, 100, 299900, "bytes 100-299999/300000"},  // beyond the end: clamped
      {"bytes=300000-300001", 416, 0, 0, "bytes */300000"},
      {"bytes=0-1,5-6", 416, 0, 0, "bytes */300000"},
      {"bytes=-0", 416, 0, 0, "bytes */300000"},
      {"bytes=x-y", 416, 0, 0, ""},
  };
  for (const Case& c : cases) {
    httplib::Headers headers = WithToken();
    if (c.range != nullptr) headers.emplace("Range", c.range);
    const httplib::Result result = client_->Get(target.c_str(), headers);
    const std::string label = c.range == nullptr ? "no range" : c.range;
    ASSERT_TRUE(result) << label;
    EXPECT_EQ(result->status, c.status) << label;
    EXPECT_EQ(result->get_header_value("Content-Range"), c.content_range) << label;
    EXPECT_EQ(result->get_header_value("Content-Length"), std::to_string(result->body.size())) << label;
    if (c.status != 416) {
      EXPECT_TRUE(result->body == bytes.substr(c.first, c.length)) << label;
      EXPECT_EQ(result->get_header_value("Content-Disposition").rfind("attachment; filename=\"data.bin\"", 0), 0u);
    }
  }
  const httplib::Result empty = client_->Get(("/api/files?path=" + Escaped(folder_.WriteFile(L"e", ""))).c_str(), WithToken());
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 200);
  EXPECT_EQ(empty->body, "");
}

TEST_F(HttpGatewayTest, RequestsWithoutTheTokenOrFromAnotherOriginOrMalformedAreRefused) {
  const std::string path = Narrow(folder_.WriteFile(L"five.txt", "hello"));
  const std::string info = DumpJson(Json{{"input", {path}}});
  struct Case {
    const char* label;
    std::string target;
    httplib::Headers headers;
    std::string body;  // empty: a GET
    int status;
  };
  const Case cases[] = {
      {"token", "/api/services/GetFileInfo", WithToken(), info, 200},
      {"cookie", "/api/services/GetFileInfo", {{"Cookie", "a=b; zel_token=" + token_}}, info, 200},
      {"same origin", "/api/services/GetFileInfo", WithToken({{"Sec-Fetch-Site", "same-origin"}}), info, 200},
      {"no token", "/api/services/GetFileInfo", {}, info, 401},
      {"wrong token", "/api/services/GetFileInfo", {{"X-Zel-Token", std::string(64, '0')}}, info, 401},
      {"no token, file", "/api/files?path=" + httplib::detail::encode_query_param(path), {}, "", 401},
      {"no token, logs", "/api/logs", {{"Cookie", "zel_token="}}, "", 401},
      {"other origin", "/api/services/GetFileInfo", WithToken({{"Origin", "http://example.com"}}), info, 403},
      {"cross site", "/api/services/GetFileInfo", WithToken({{"Sec-Fetch-Site", "cross-site"}}), info, 403},
      {"malformed", "/api/services/GetFileInfo", WithToken(), "{\"input\": [", 400},
      {"not an object", "/api/services/GetFileInfo", WithToken(), "[1]", 400},
      {"unknown tag", "/api/services/GetFile", WithToken(), R"({"input": {"nosuchtag": 1}})", 400},
      {"rc not a number", "/api/services/GetFile", WithToken(), R"({"input": null, "rc": "x"})", 400},
      {"no such service", "/api/services/NoSuchService", WithToken(), "{}", 404},
      {"no such file", "/api/files?path=Z%3A%5Cno%5Csuch", WithToken(), "", 404},
      {"zip without ids", "/api/zip", WithToken(), R"({"ids": []})", 400},
      {"no such archive", "/api/zip/0123abc", WithToken(), "", 404},
  };
  for (const Case& c : cases) {
    const httplib::Result result = c.body.empty() ? client_->Get(c.target.c_str(), c.headers)
                                                  : client_->Post(c.target.c_str(), c.headers, c.body, "application/json");
    ASSERT_TRUE(result) << c.label;
    EXPECT_EQ(result->status, c.status) << c.label << ": " << result->body;
    const Json answer = ParseJson(result->body);
    if (c.status == 200) {
      EXPECT_TRUE(answer == Json({{"rc", 0}, {"output", {{{"i8", 5}}}}})) << c.label << ": " << answer;
    } else {
      EXPECT_TRUE(answer.contains("error")) << c.label << ": " << answer;
      EXPECT_EQ(result->get_header_value("Access-Control-Allow-Origin"), "") << c.label;
    }
  }
}

TEST_F(HttpGatewayTest, TheConsoleAddressSetsTheCookieOnce) {
  const httplib::Result right = client_->Get(("/?token=" + token_).c_str());
  ASSERT_TRUE(right);
  EXPECT_EQ(right->status, 303);
  EXPECT_EQ(right->get_header_value("Location"), "/");
  EXPECT_EQ(right->get_header_value("Set-Cookie"), "zel_token=" + token_ + "; Path=/; HttpOnly; SameSite=Strict");
  const httplib::Result wrong = client_->Get("/?token=abc");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 401);
  EXPECT_EQ(wrong->get_header_value("Set-Cookie"), "");
}

// The same gateway with the broker in zelbroker.exe: a service call and a download of several
// pieces (one of them through a byte range) answer as with the broker in the host's process.
TEST_F(HttpGatewayTest, WithTheBrokerInItsOwnProcessTheAnswersAreTheSame) {
  zeltest::RunningHost remote_host({L"--broker", L"local-server", L"serve", L"--http", L"127.0.0.1:0"});
  const Json started = ParseJson(remote_host.ReadLine());
  ASSERT_TRUE(started.contains("port")) << started;
  httplib::Client remote("127.0.0.1", started["port"].get<int>());
  remote.set_read_timeout(60, 0);
  const httplib::Headers remote_token{{"X-Zel-Token", started["token"].get<std::string>()}};

  std::string bytes((2 << 20) + 12345, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 5);
  const std::wstring path = folder_.WriteFile(L"pieces.bin", bytes);
  const std::string file = "/api/files?path=" + Escaped(path);
  const std::string info = DumpJson(Json{{"input", {Narrow(path)}}});
  struct Case {
    const char* label;
    std::string target;
    std::string body;   // empty: a GET
    const char* range;  // nullptr: none
  };
  const Case cases[] = {
      {"service", "/api/services/GetFileInfo", info, nullptr},
      {"unknown service", "/api/services/NoSuchService", "{}", nullptr},
      {"file", file, "", nullptr},
      {"range", file, "", "bytes=1048570-1048589"},
  };
  for (const Case& c : cases) {
    httplib::Headers local_headers = WithToken(), remote_headers = remote_token;
    if (c.range != nullptr) {
      local_headers.emplace("Range", c.range);
      remote_headers.emplace("Range", c.range);
    }
    const auto ask = [&](httplib::Client& client, const httplib::Headers& headers) {
      return c.body.empty() ? client.Get(c.target.c_str(), headers)
                            : client.Post(c.target.c_str(), headers, c.body, "application/json");
    };
    const httplib::Result embedded = ask(*client_, local_headers);
    const httplib::Result across = ask(remote, remote_headers);
    ASSERT_TRUE(embedded) << c.label;
    ASSERT_TRUE(across) << c.label;
    EXPECT_EQ(across->status, embedded->status) << c.label;
    EXPECT_EQ(across->get_header_value("Content-Range"), embedded->get_header_value("Content-Range")) << c.label;
    EXPECT_TRUE(across->body == embedded->body) << c.label << ": " << across->body.substr(0, 200);
  }
  const httplib::Result whole = remote.Get(file.c_str(), remote_token);
  ASSERT_TRUE(whole);
  EXPECT_TRUE(whole->body == bytes);
}

// The archives in the temporary folder ("Zu" is what GetTempFileNameW keeps of the module's prefix).
size_t TemporaryArchives() {
  wchar_t folder[MAX_PATH];
  ::GetTempPathW(MAX_PATH, folder);
  WIN32_FIND_DATAW data;
  const HANDLE find = ::FindFirstFileW((std::wstring(folder) + L"Zu*.tmp").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return 0;
  size_t count = 1;
  while (::FindNextFileW(find, &data)) ++count;
  ::FindClose(find);
  return count;
}

TEST_F(HttpGatewayTest, AZipDownloadsOnceWithTheAnnouncedLengthAndIsDeleted) {
  Json ids = Json::array();
  for (const wchar_t* name : {L"a.txt", L"b.bin", L"c.mp3"}) {
    std::wstring id = L"F*" + folder_.WriteFile(name, std::string(70000, static_cast<char>(name[0])));
    for (wchar_t& c : id) c = c == L'\\' ? L'|' : c == L'.' ? L'>' : c == L' ' ? L'*' : c;
    ids.push_back(Narrow(id));
  }
  const size_t archives = TemporaryArchives();
  const httplib::Result made =
      client_->Post("/api/zip", WithToken(), DumpJson(Json{{"ids", ids}, {"name", "three.zip"}}), "application/json");
  ASSERT_TRUE(made);
  const Json answer = ParseJson(made->body);
  ASSERT_EQ(answer.value("rc", -1), 0) << answer;
  const std::string url = answer["url"];

  const httplib::Result archive = client_->Get(url.c_str(), WithToken());
  ASSERT_TRUE(archive);
  EXPECT_EQ(archive->status, 200);
  EXPECT_EQ(archive->body.size(), answer["size"].get<size_t>());
  EXPECT_EQ(archive->get_header_value("Content-Length"), std::to_string(answer["size"].get<size_t>()));
  EXPECT_EQ(archive->body.substr(archive->body.size() - 22, 4), std::string("PK\5\6"));
  EXPECT_EQ(archive->body.find(std::string(70000, 'b')) != std::string::npos, true);

  const httplib::Result again = client_->Get(url.c_str(), WithToken());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 404);
  EXPECT_EQ(TemporaryArchives(), archives);
}

}  // namespace
}  // namespace zelhost
