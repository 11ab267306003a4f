// The HTTP gateway as a browser meets it: zelhost.exe serve --http on a free port, spoken to over
// HTTP from this program.

#include <windows.h>

#include <gtest/gtest.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/product_folders.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "crash_handler.h"
#include "gateway_server.h"
#include "http_gateway.h"
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
    port_ = started["port"].get<u_short>();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
    client_->set_read_timeout(30, 0);
  }

  httplib::Headers WithToken(httplib::Headers headers = {}) const {
    headers.emplace("X-Zel-Token", token_);
    return headers;
  }
  static std::string Escaped(const std::wstring& path) { return httplib::detail::encode_query_param(Narrow(path)); }

  // The local medium id of `path`.
  static std::string LocalId(std::wstring path) {
    for (wchar_t& c : path) c = c == L'\\' ? L'|' : c == L'.' ? L'>' : c == L' ' ? L'*' : c;
    return Narrow(L"F*" + path);
  }
  // POST /api/zip of `ids`: the status and the answer.
  std::pair<int, Json> PostZip(const Json& ids) {
    const httplib::Result made =
        client_->Post("/api/zip", WithToken(), DumpJson(Json{{"ids", ids}, {"name", "three.zip"}}), "application/json");
    return made ? std::make_pair(made->status, ParseJson(made->body)) : std::make_pair(0, Json());
  }
  // POST /api/zip of three files of 70,000 bytes (a.txt, b.bin, c.mp3) and of Missing(), which is
  // left out: {"id", "url", "name", "size", "leftOut"}.
  Json MakeZip() {
    Json ids = Json::array();
    for (const wchar_t* name : {L"a.txt", L"b.bin", L"c.mp3"}) {
      ids.push_back(LocalId(folder_.WriteFile(name, std::string(70000, static_cast<char>(name[0])))));
    }
    ids.push_back(LocalId(Missing()));
    return PostZip(ids).second;
  }
  std::wstring Missing() const { return folder_.Path() + L"\\missing.txt"; }

  zeltest::LogLevelValue level_{3};
  zeltest::TempFolder folder_;
  zeltest::RunningHost host_{{L"serve", L"--http", L"127.0.0.1:0"}};
  std::string token_;
  u_short port_ = 0;
  std::unique_ptr<httplib::Client> client_;
};

// A plain connection to the gateway, as a browser or a slow client makes it, whose reads give up
// after 10 s of silence; closed at the end of the scope.
class LoopbackConnection {
 public:
  explicit LoopbackConnection(u_short port) : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
    const DWORD wait_ms = 10000;
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait_ms), sizeof(wait_ms));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    connected_ = ::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~LoopbackConnection() { ::closesocket(socket_); }
  LoopbackConnection(const LoopbackConnection&) = delete;
  LoopbackConnection& operator=(const LoopbackConnection&) = delete;

  bool Send(const std::string& bytes) {
    connected_ = connected_ && ::send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0) ==
                                   static_cast<int>(bytes.size());
    return connected_;
  }
  // recv's result: bytes read, 0 once the gateway closed, negative on an error or a timeout.
  int Receive(char* buffer, int size) { return connected_ ? ::recv(socket_, buffer, size, 0) : -1; }
  void SetNonBlocking() {
    u_long on = 1;
    ::ioctlsocket(socket_, FIONBIO, &on);
  }

 private:
  SOCKET socket_;
  bool connected_ = false;
};

// The gateway answers only requests that name it in Host.
std::string HostLine(u_short port) { return "Host: 127.0.0.1:" + std::to_string(port) + "\r\n"; }

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
      {"bytes=-0", 416, 0, 0, "bytes */300000"},
      // Not one byte range: the header is ignored and the whole file sent.
      {"bytes=0-1,5-6", 200, 0, 300000, ""},
      {"bytes=0-99,50-149", 200, 0, 300000, ""},
      {"bytes=x-y", 200, 0, 300000, ""},
      {"bytes=5-2", 200, 0, 300000, ""},
      {"bytes=", 200, 0, 300000, ""},
      {"items=0-5", 200, 0, 300000, ""},
      {"0-5", 200, 0, 300000, ""},
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
  // Several pieces, each read while the one before is sent: they come in order, from any start.
  std::string large(3 * HttpGateway::kPieceBytes + 12345, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 2654435761u) >> 24);
  const std::string large_target = "/api/files?path=" + Escaped(folder_.WriteFile(L"large.bin", large));
  for (const size_t first : {size_t{0}, HttpGateway::kPieceBytes - 7}) {
    const httplib::Result result =
        client_->Get(large_target.c_str(), WithToken({{"Range", "bytes=" + std::to_string(first) + "-"}}));
    ASSERT_TRUE(result) << first;
    EXPECT_TRUE(result->body == large.substr(first)) << first;
  }
  // A client that stops reading holds its worker only until a send has waited out the write
  // timeout (5 s): the connection then ends short of the announced length.
  {
    const size_t stalled_size = 32 << 20;  // far more than the connection's buffers hold
    const std::wstring stalled = folder_.WriteFile(L"stalled.bin", std::string(stalled_size, 's'));
    LoopbackConnection connection(port_);
    ASSERT_TRUE(connection.Send("GET /api/files?path=" + Escaped(stalled) + " HTTP/1.1\r\n" + HostLine(port_) +
                                "X-Zel-Token: " + token_ + "\r\n\r\n"));
    ::Sleep(8000);
    size_t received = 0;
    std::vector<char> buffer(1 << 20);
    for (int got; (got = connection.Receive(buffer.data(), static_cast<int>(buffer.size()))) > 0;) received += got;
    EXPECT_GT(received, 0u);
    EXPECT_LT(received, stalled_size);
  }
  const httplib::Result empty = client_->Get(("/api/files?path=" + Escaped(folder_.WriteFile(L"e", ""))).c_str(), WithToken());
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 200);
  EXPECT_EQ(empty->body, "");
}

TEST_F(HttpGatewayTest, RequestsWithoutTheTokenForAnotherHostOrFromAnotherOriginOrMalformedAreRefused) {
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
      {"localhost", "/api/services/GetFileInfo", WithToken({{"Host", "LocalHost:" + std::to_string(port_)}}), info, 200},
      {"no token, the console", "/", {}, "", 401},
      {"no token, a console file", "/console.js", {{"Cookie", "zel_token=" + std::string(64, '0')}}, "", 401},
      {"another host", "/api/services/GetFileInfo", WithToken({{"Host", "evil.example"}}), info, 421},
      {"another host, its port", "/", {{"Host", "evil.example:" + std::to_string(port_)}, {"Cookie", "zel_token=" + token_}}, "", 421},
      {"another port", "/api/services/GetFileInfo", WithToken({{"Host", "127.0.0.1:1"}}), info, 421},
      {"no host", "/api/services/GetFileInfo", WithToken({{"Host", ""}}), info, 421},
      {"another origin, its host", "/api/services/GetFileInfo", WithToken({{"Origin", "http://evil.example"}}), info, 403},
      {"other origin", "/api/services/GetFileInfo", WithToken({{"Origin", "http://example.com"}}), info, 403},
      {"cross site", "/api/services/GetFileInfo", WithToken({{"Sec-Fetch-Site", "cross-site"}}), info, 403},
      {"malformed", "/api/services/GetFileInfo", WithToken(), "{\"input\": [", 400},
      {"not an object", "/api/services/GetFileInfo", WithToken(), "[1]", 400},
      {"unknown tag", "/api/services/GetFile", WithToken(), R"({"input": {"nosuchtag": 1}})", 400},
      {"rc not a number", "/api/services/GetFile", WithToken(), R"({"input": null, "rc": "x"})", 400},
      {"zip without ids", "/api/zip", WithToken(), R"({"ids": []})", 400},
      {"no such archive", "/api/zip/0123abc", WithToken(), "", 404},
      {"no such archive's progress", "/api/zip/0123abc/progress", WithToken(), "", 404},
      {"the crash service", "/api/services/GenerateCrash", WithToken(), R"({"input": 0})", 403},
      {"the crash service, in capitals", "/api/services/GENERATECRASH", WithToken(), "{}", 403},
      {"no such route", "/api/nothing", WithToken(), "", 404},
      {"no such route, with a body", "/api/files/x", WithToken(), "{}", 404},
      {"a device", "/con", WithToken(), "", 404},
      {"a device in capitals", "/COM1", WithToken(), "", 404},
      {"a device with an extension", "/aux.txt", WithToken(), "", 404},
      {"a device in mixed case", "/cOm1.Js", WithToken(), "", 404},
      {"a device with a superscript", "/LPT%C2%B9", WithToken(), "", 404},
      {"a device with a blank", "/nul%20.html", WithToken(), "", 404},
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

// Every route that calls the module answers by the same rule: 0 200, 403 and 404 as they are, any
// other code 500, a service no component registered 404; a failure's body names the service and
// the code. The answers of the gateway's own routes carry named fields.
TEST_F(HttpGatewayTest, EveryRouteMapsTheModulesReturnCodeToTheSameStatus) {
  const std::wstring five = folder_.WriteFile(L"five.txt", "hello");
  const std::wstring held = folder_.WriteFile(L"held.txt", "held exclusively");
  const zel::UniqueFile holder(::CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  const auto input = [](const Json& value) { return DumpJson(Json{{"input", value}}); };
  const auto ids = [](const std::vector<std::string>& list) { return DumpJson(Json{{"ids", list}}); };
  struct Case {
    const char* label;
    std::string target;
    std::string body;  // empty: a GET
    int status;
    std::optional<LONG> rc;   // the module's code in a failure's body; nullopt: none (not delivered)
    const char* service;      // the service a failure names
    std::vector<const char*> fields;  // named fields of a success
  };
  const Case cases[] = {
      {"service, 0", "/api/services/GetFileInfo", input({Narrow(five)}), 200, 0, "", {"rc", "output"}},
      {"service, 404", "/api/services/GetFile", input({Narrow(Missing())}), 404, 404, "GetFile", {}},
      {"service, 403", "/api/services/DeleteTempFile", input({"", Narrow(five)}), 403, 403, "DeleteTempFile", {}},
      {"service, 1", "/api/services/my-ZEL_TailLog", input({Narrow(five)}), 500, 1, "my-ZEL_TailLog", {}},
      {"service, 8", "/api/services/GetFile", input({Narrow(five), 0, Json{{"i8", 1LL << 32}}}), 500, 8, "GetFile", {}},
      {"service not registered", "/api/services/NoSuchService", "{}", 404, std::nullopt, "NoSuchService", {}},
      {"file, 0", "/api/files?path=" + Escaped(five), "", 200, 0, "", {}},
      {"file, 404", "/api/files?path=" + Escaped(Missing()), "", 404, 404, "GetFile", {}},
      {"zip, 0", "/api/zip", ids({LocalId(five)}), 200, 0, "", {"id", "url", "name", "size", "leftOut"}},
      {"zip, 404: nothing exists", "/api/zip", ids({LocalId(Missing())}), 404, 404, "CreateZip", {}},
      {"zip, 403: nothing readable", "/api/zip", ids({LocalId(held)}), 403, 403, "CreateZip", {}},
      {"zip, 404: no owner", "/api/zip", ids({"Q1"}), 404, 404, "CreateZip", {}},
      {"zip, -1: the owner's answer is no list", "/api/zip", ids({"M1"}), 500, -1, "CreateZip", {}},
      {"logs, 0", "/api/logs?size=100", "", 200, 0, "", {"path", "fileSize", "length", "text"}},
      {"logs.zip, 0", "/api/logs.zip", "", 200, 0, "", {}},
  };
  for (const Case& c : cases) {
    const httplib::Result result = c.body.empty() ? client_->Get(c.target.c_str(), WithToken())
                                                  : client_->Post(c.target.c_str(), WithToken(), c.body, "application/json");
    ASSERT_TRUE(result) << c.label;
    EXPECT_EQ(result->status, c.status) << c.label << ": " << result->body.substr(0, 300);
    const bool json = result->get_header_value("Content-Type") == "application/json";
    if (c.status != 200) {
      ASSERT_TRUE(json) << c.label;
      const Json answer = ParseJson(result->body);
      EXPECT_TRUE(answer.contains("error")) << c.label << ": " << answer;
      EXPECT_EQ(answer.value("service", ""), c.service) << c.label << ": " << answer;
      EXPECT_EQ(answer.contains("rc") ? std::optional<LONG>(answer["rc"].get<LONG>()) : std::nullopt, c.rc)
          << c.label << ": " << answer;
    } else if (!c.fields.empty()) {
      ASSERT_TRUE(json) << c.label;
      const Json answer = ParseJson(result->body);
      for (const char* field : c.fields) EXPECT_TRUE(answer.contains(field)) << c.label << ": " << field << " in " << answer;
      if (answer.contains("url")) {  // the archive is downloaded, which deletes it
        EXPECT_EQ(client_->Get(answer["url"].get<std::string>().c_str(), WithToken())->status, 200) << c.label;
      }
    }
  }
}

// Started with --allow-crash-service, the gateway hands "GenerateCrash" to the module like any
// other service, and the host ends as the crash handling ends it.
TEST_F(HttpGatewayTest, TheCrashServiceIsReachedOnlyWhenTheHostWasStartedToAllowIt) {
  zeltest::RunningHost allowing({L"serve", L"--http", L"127.0.0.1:0", L"--allow-crash-service"});
  const Json started = ParseJson(allowing.ReadLine());
  ASSERT_TRUE(started.contains("port")) << started;
  httplib::Client client("127.0.0.1", started["port"].get<int>());
  client.set_read_timeout(60, 0);
  const httplib::Result crashed = client.Post("/api/services/GenerateCrash", {{"X-Zel-Token", started["token"]}},
                                              R"({"input": 0})", "application/json");
  EXPECT_FALSE(crashed && crashed->status == 403);
  EXPECT_EQ(allowing.WaitForExit(60000), std::optional<DWORD>(static_cast<DWORD>(kExitCrashed)));
}

// Sends the parts on one connection a moment apart, so that each arrives on its own as from a slow
// client, and answers all that comes back until the gateway closes it.
std::string Exchange(u_short port, const std::vector<std::string>& parts) {
  LoopbackConnection connection(port);
  for (const std::string& part : parts) {
    ::Sleep(200);
    connection.Send(part);
  }
  std::string answers;
  char buffer[4096];
  for (int got; (got = connection.Receive(buffer, sizeof(buffer))) > 0;) answers.append(buffer, got);
  return answers;
}

TEST_F(HttpGatewayTest, ARefusedRequestsBodyIsNeverTakenForTheConnectionsNextRequest) {
  const std::string body = R"({"input": ["Z:\\x"]})";
  const std::string head = "POST /api/services/GetFileInfo HTTP/1.1\r\n" + HostLine(port_) +
                           "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\n\r\n";
  const std::string next = "GET /api/logs?size=10 HTTP/1.1\r\n" + HostLine(port_) + "X-Zel-Token: " + token_ +
                           "\r\nConnection: close\r\n\r\n";
  const std::string answers = Exchange(port_, {head, body, next});
  EXPECT_EQ(answers.rfind("HTTP/1.1 401 ", 0), 0u) << answers;
  EXPECT_NE(answers.find("HTTP/1.1 200 "), std::string::npos) << answers;
  EXPECT_EQ(answers.find("HTTP/1.1 400 "), std::string::npos) << answers;
}

TEST_F(HttpGatewayTest, TheConsoleAddressSetsTheCookieThatOpensTheBuiltInConsole) {
  const httplib::Result right = client_->Get(("/?token=" + token_).c_str());
  ASSERT_TRUE(right);
  EXPECT_EQ(right->status, 303);
  EXPECT_EQ(right->get_header_value("Location"), "/");
  EXPECT_EQ(right->get_header_value("Set-Cookie"), "zel_token=" + token_ + "; Path=/; HttpOnly; SameSite=Strict");
  const httplib::Result wrong = client_->Get("/?token=abc");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 401);
  EXPECT_EQ(wrong->get_header_value("Set-Cookie"), "");
  // The host was started without --console: its files are the ones built into it.
  const httplib::Headers cookie{{"Cookie", "zel_token=" + token_}};
  const struct {
    const char* path;
    const char* type;
    const char* holds;
  } files[] = {{"/", "text/html", "console.js"}, {"/api.js", "text/javascript", "fetch("}, {"/console.css", "text/css", "{"}};
  for (const auto& file : files) {
    const httplib::Result got = client_->Get(file.path, cookie);
    ASSERT_TRUE(got) << file.path;
    EXPECT_EQ(got->status, 200) << file.path;
    EXPECT_EQ(got->get_header_value("Content-Type").rfind(file.type, 0), 0u) << file.path;
    EXPECT_NE(got->body.find(file.holds), std::string::npos) << file.path;
  }
}

// A --console folder serves the files its own listing holds now, and nothing else: not its
// subfolders, not the built-in set. (Every spelling of a way out of it, or of the built-in console
// and the API, is the corpus of the gateway's fuzzer, tests/host/fuzz_gateway.py.)
TEST_F(HttpGatewayTest, AConsoleFolderServesWhatItsOwnListingHolds) {
  const std::wstring console = folder_.Path() + L"\\console";
  ASSERT_TRUE(::CreateDirectoryW(console.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW((console + L"\\sub").c_str(), nullptr));
  folder_.WriteFile(L"console\\index.html", "<p>edited console</p>");
  folder_.WriteFile(L"console\\sub\\inner.txt", "inner");
  zeltest::RunningHost edited({L"serve", L"--http", L"127.0.0.1:0", L"--console", console});
  const Json started = ParseJson(edited.ReadLine());
  ASSERT_TRUE(started.contains("port")) << started;
  // The folder's own files are served, from the folder as it is now.
  httplib::Client client("127.0.0.1", started["port"].get<int>());
  const httplib::Headers cookie{{"Cookie", "zel_token=" + started["token"].get<std::string>()}};
  const httplib::Result page = client.Get("/", cookie);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->body, "<p>edited console</p>");
  folder_.WriteFile(L"console\\added.js", "added();");
  const httplib::Result added = client.Get("/added.js", cookie);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->body, "added();");
  EXPECT_EQ(client.Get("/console.js", cookie)->status, 404);  // not in the folder: the built-in set is not mixed in
  EXPECT_EQ(client.Get("/sub", cookie)->status, 404);
  EXPECT_EQ(client.Get("/sub/inner.txt", cookie)->status, 404);
}

// 64 clients that each send a header line every 250 ms wait in the intake, not in the workers: a
// request with the token is answered at once, and each slow client is dropped once its header
// section is late, however steadily it sends.
TEST_F(HttpGatewayTest, SlowClientsHoldNoWorkerAndAreDroppedWhenTheirHeadersAreLate) {
  constexpr int kSlow = 64;
  constexpr ULONGLONG kLineMs = 250;
  const ULONGLONG deadline_ms = GatewayServer::kLimits.header_ms;
  struct Slow {
    std::unique_ptr<LoopbackConnection> connection;
    ULONGLONG dropped = 0;  // ms from the start
  };
  std::vector<Slow> slow(kSlow);
  const ULONGLONG start = ::GetTickCount64();
  for (Slow& client : slow) {
    client.connection = std::make_unique<LoopbackConnection>(port_);
    ASSERT_TRUE(client.connection->Send("GET /api/logs HTTP/1.1\r\n" + HostLine(port_)));
    client.connection->SetNonBlocking();
  }
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    for (int left = kSlow; left > 0 && ::GetTickCount64() - start < deadline_ms + 5000;) {
      for (Slow& client : slow) {
        if (client.dropped != 0) continue;
        char buffer[512];
        int got = 0;
        while ((got = client.connection->Receive(buffer, sizeof(buffer))) > 0) {
        }
        if (got == 0 || (got < 0 && ::WSAGetLastError() != WSAEWOULDBLOCK) || !client.connection->Send("X-Slow: 1\r\n")) {
          client.dropped = ::GetTickCount64() - start;
          --left;
        }
      }
      ::Sleep(kLineMs);
    }
    trickling = false;
  });
  ::Sleep(1000);
  const ULONGLONG asked = ::GetTickCount64();
  const httplib::Result answer = client_->Get("/api/logs?size=10", WithToken());
  const ULONGLONG answered_ms = ::GetTickCount64() - asked;
  const bool still_trickling = trickling;
  trickle.join();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_LT(answered_ms, 1000u);
  EXPECT_TRUE(still_trickling);
  std::cout << "answered in " << answered_ms << " ms among " << kSlow << " slow clients\n";
  ULONGLONG last = 0;
  for (const Slow& client : slow) {
    EXPECT_GE(client.dropped, deadline_ms - 500);  // none before its time...
    EXPECT_LE(client.dropped, deadline_ms + 2000);  // ...and each soon after it
    last = std::max(last, client.dropped);
  }
  std::cout << "the last slow client dropped after " << last << " ms\n";
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
std::set<std::wstring> TemporaryArchives() {
  wchar_t folder[MAX_PATH];
  ::GetTempPathW(MAX_PATH, folder);
  std::set<std::wstring> archives;
  WIN32_FIND_DATAW data;
  const HANDLE find = ::FindFirstFileW((std::wstring(folder) + L"Zu*.tmp").c_str(), &data);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(find, &data)) {
    archives.insert(folder + std::wstring(data.cFileName));
  }
  if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
  return archives;
}

// How a download read over a plain socket ended: a connection the gateway closes is told apart
// from one that only stops sending, which the socket gives up on after 10 s.
struct RawDownload {
  enum End { kComplete, kClosed, kStalled } end = kStalled;  // kClosed: before Content-Length bytes
  size_t length = 0;  // Content-Length
  std::string body;
};

RawDownload GetRaw(u_short port, const std::string& target, const std::string& token,
                   const std::function<void(size_t)>& on_body = nullptr) {
  RawDownload download;
  const std::string request =
      "GET " + target + " HTTP/1.1\r\n" + HostLine(port) + "Connection: close\r\nX-Zel-Token: " + token + "\r\n\r\n";
  std::string received;
  size_t body_at = std::string::npos;
  LoopbackConnection connection(port);
  if (connection.Send(request)) {
    char buffer[65536];
    int got = 0;
    while ((got = connection.Receive(buffer, sizeof(buffer))) > 0) {
      received.append(buffer, static_cast<size_t>(got));
      if (body_at == std::string::npos && (body_at = received.find("\r\n\r\n")) != std::string::npos) {
        body_at += 4;
        const size_t field = received.find("Content-Length: ");
        download.length = field < body_at ? std::stoul(received.substr(field + 16)) : 0;
      }
      if (body_at != std::string::npos && on_body) on_body(received.size() - body_at);
    }
    // Read to the close (the request asked for it), so the gateway is through with the download.
    const bool closed = got == 0 || ::WSAGetLastError() != WSAETIMEDOUT;
    const bool whole = body_at != std::string::npos && received.size() - body_at == download.length;
    download.end = !closed ? RawDownload::kStalled : whole ? RawDownload::kComplete : RawDownload::kClosed;
  }
  if (body_at != std::string::npos) download.body = received.substr(body_at);
  return download;
}

TEST_F(HttpGatewayTest, AZipDownloadsOnceWithTheAnnouncedLengthAndIsDeleted) {
  const std::set<std::wstring> archives = TemporaryArchives();
  const Json answer = MakeZip();
  ASSERT_TRUE(answer.contains("url")) << answer;
  const std::string url = answer["url"];
  EXPECT_EQ(answer["name"], "three.zip");
  // What the archive could not hold is named with the module's reason.
  EXPECT_EQ(answer["leftOut"], Json::parse(R"([{"path": )" + DumpJson(Narrow(Missing())) + R"(, "reason": "it does not exist"}])"));
  // A job this small is through before "CreateZip" answers: all of it is written.
  const auto progress = [&] { return client_->Get((url + "/progress").c_str(), WithToken()); };
  const httplib::Result written = progress();
  ASSERT_TRUE(written);
  EXPECT_EQ(ParseJson(written->body), (Json{{"written", answer["size"]}, {"size", answer["size"]}}));

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
  // The archive goes once the download's answer is out, which may be a moment after the client has it.
  for (int i = 0; i < 500 && TemporaryArchives() != archives; ++i) ::Sleep(10);
  EXPECT_EQ(TemporaryArchives(), archives);
  const httplib::Result gone = progress();
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->status, 410);
}

// The configuration document of the prefix, put back as it was at the end of the scope.
class ConfigDocument {
 public:
  ConfigDocument() : path_(zel::GetProductFolder(zel::ProductFolder::kConfig).value_or(L"") + L"\\zel.xml") {
    if (::GetFileAttributesW(path_.c_str()) != INVALID_FILE_ATTRIBUTES) previous_ = zeltest::ReadBytes(path_);
  }
  ~ConfigDocument() { Set(previous_); }
  // nullopt: no document at all.
  void Set(const std::optional<std::string>& text) const {
    ::RemoveDirectoryW(path_.c_str());
    ::DeleteFileW(path_.c_str());
    if (!text) return;
    const HANDLE file = ::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, text->data(), static_cast<DWORD>(text->size()), &written, nullptr);
    ::CloseHandle(file);
  }
  const std::wstring& Path() const { return path_; }

 private:
  std::wstring path_;
  std::optional<std::string> previous_;
};

TEST_F(HttpGatewayTest, ThePrefixTableIsShownAsTheModuleWouldLoadIt) {
  const ConfigDocument document;
  const auto table = [](const std::string& prefixes) {
    return "<?xml version=\"1.0\" ?>\n<Settings Version=\"1.0\"><Common><MediumIdPrefixs>" + prefixes +
           "</MediumIdPrefixs></Common></Settings>\n";
  };
  const Json two = Json::parse(R"([
    {"prefix": "AB", "satellite": "Disc", "getMediumFromId": "G", "getMediumInfoFromId": "I",
     "getMediumListInfoFromId": "L", "isMediumShared": "", "timestamp": 1700000000},
    {"prefix": "BA", "satellite": "Tuner \u00e9", "getMediumFromId": "g", "getMediumInfoFromId": "i",
     "getMediumListInfoFromId": "l", "isMediumShared": "s", "timestamp": -5}])");
  struct Case {
    const char* label;
    std::optional<std::string> text;  // nullopt: no document; "<dir>": a folder in its place
    const char* state;
    Json prefixes;
  };
  const Case cases[] = {
      {"absent", std::nullopt, "absent", Json::array()},
      {"two, out of key order",
       table(R"(<MediumIdPrefix Prefix="BA" Satellite="Tuner )" "\xC3\xA9" R"(" Timestamp="-5" GetMediumFromId="g")"
             R"( GetMediumInfoFromId="i" GetMediumListInfoFromId="l" IsMediumShared="s"/>)"
             R"(<MediumIdPrefix Prefix="AB" Satellite="Disc" Timestamp="1700000000" GetMediumFromId="G")"
             R"( GetMediumInfoFromId="I" GetMediumListInfoFromId="L"/>)"),
       "loaded", two},
      {"no table in it", table(""), "loaded", Json::array()},
      {"cut short", table("<MediumIdPrefix Prefix=\"AB\"/>").substr(0, 60), "refused", Json::array()},
      {"another version", "<Settings Version=\"2.0\"/>", "refused", Json::array()},
      {"not XML", std::string("\0\xFF\xFEgarbage", 10), "refused", Json::array()},
      {"too deep", std::string(5000, '<'), "refused", Json::array()},
      {"a folder", "<dir>", "refused", Json::array()},
  };
  for (const Case& c : cases) {
    if (c.text && *c.text == "<dir>") {
      document.Set(std::nullopt);
      ASSERT_TRUE(::CreateDirectoryW(document.Path().c_str(), nullptr));
    } else {
      document.Set(c.text);
    }
    const httplib::Result result = client_->Get("/api/host/prefixes", WithToken());
    ASSERT_TRUE(result) << c.label;
    EXPECT_EQ(result->status, 200) << c.label;
    const Json answer = ParseJson(result->body);
    EXPECT_EQ(answer.value("state", ""), c.state) << c.label << ": " << answer;
    EXPECT_TRUE(answer["prefixes"] == c.prefixes) << c.label << ": " << answer;
    EXPECT_EQ(answer.contains("error"), std::string(c.state) == "refused") << c.label;
    EXPECT_EQ(answer.value("path", ""), Narrow(document.Path())) << c.label;
  }
  // What a registration through the gateway saves is what the table then shows.
  document.Set(std::nullopt);
  const httplib::Result registered = client_->Post("/api/services/Register%20Custom%20MediumId", WithToken(),
                                                   R"({"input": ["A", "B", "C"], "requester": "Sat"})", "application/json");
  ASSERT_TRUE(registered);
  EXPECT_EQ(ParseJson(registered->body), Json({{"rc", 0}, {"output", "XAA"}}));
  const httplib::Result shown = client_->Get("/api/host/prefixes", WithToken());
  ASSERT_TRUE(shown);
  const Json prefixes = ParseJson(shown->body)["prefixes"];
  ASSERT_EQ(prefixes.size(), 1u) << prefixes;
  EXPECT_EQ(prefixes[0]["prefix"], "AA");
  EXPECT_EQ(prefixes[0]["satellite"], "Sat");
  EXPECT_EQ(prefixes[0]["getMediumListInfoFromId"], "C");
  EXPECT_EQ(client_->Get("/api/host/prefixes")->status, 401);
}

// The test plays the job behind a zip download: the real job ends at once, and the test then
// takes its archive over as a job that still writes it (open for writing and cut short, the rest
// written once the gateway has sent what there is), or as one that ended with another archive than
// it announced. Before, a short archive held the download for 30 s and a longer one was sent cut
// to the announced length, as if whole.
TEST_F(HttpGatewayTest, AZipDownloadWaitsForItsJobAndBreaksOffWhenTheJobLeftAnotherArchive) {
  struct Case {
    const char* label;
    long change;       // bytes the archive ends with beyond (+) or short of (-) the announced size
    bool still_held;   // a writer holds the short archive and writes the rest later
    RawDownload::End end;
  };
  const Case cases[] = {
      {"still written", -100000, true, RawDownload::kComplete},
      {"left short", -100000, false, RawDownload::kClosed},
      {"left longer", 100, false, RawDownload::kClosed},
  };
  for (const Case& c : cases) {
    const std::set<std::wstring> before = TemporaryArchives();
    const Json answer = MakeZip();
    ASSERT_TRUE(answer.contains("url")) << answer;
    const size_t size = answer["size"].get<size_t>();
    std::wstring archive;
    for (const std::wstring& path : TemporaryArchives()) {
      if (before.count(path) == 0) archive = path;
    }
    const std::string bytes = zeltest::ReadBytes(archive);
    ASSERT_EQ(bytes.size(), size) << c.label;

    zel::UniqueFile writer(::CreateFileW(archive.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer) << c.label;
    const size_t kept = c.change < 0 ? size - static_cast<size_t>(-c.change) : size;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(kept);
    DWORD written = 0;
    ASSERT_TRUE(::SetFilePointerEx(writer.Get(), at, nullptr, FILE_BEGIN) && ::SetEndOfFile(writer.Get()));
    if (c.change > 0) ::WriteFile(writer.Get(), bytes.data(), static_cast<DWORD>(c.change), &written, nullptr);
    if (!c.still_held) writer.Reset();
    const RawDownload download = GetRaw(port_, answer["url"].get<std::string>(), token_, [&](size_t received) {
      if (writer && received == kept) {
        ::WriteFile(writer.Get(), bytes.data() + kept, static_cast<DWORD>(size - kept), &written, nullptr);
        writer.Reset();
      }
    });
    EXPECT_EQ(download.end, c.end) << c.label;
    EXPECT_EQ(download.length, size) << c.label;
    if (c.end == RawDownload::kComplete) {
      EXPECT_TRUE(download.body == bytes) << c.label;
    } else {
      EXPECT_LE(download.body.size(), kept) << c.label;  // never past what the job had when it ended
    }
    EXPECT_EQ(TemporaryArchives(), before) << c.label;
  }
}

}  // namespace
}  // namespace zelhost
