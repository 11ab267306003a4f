// The HTTP gateway against the broker it stands in front of, in the same run:
// - a 512 MiB file through GET /api/files, against "GetFile" driven directly through the broker in
//   pieces of the size the gateway asks for, in interleaved rounds (target: at least 80 % of it);
// - a zip of 1 GiB of stored files through POST /api/zip and GET of its address: the time to the
//   first byte of the archive, against the time until the whole archive has arrived (target: the
//   first byte within 1 s).
// The gateway runs in this process on its own threads; the client is a plain socket that reads in
// 1 MiB pieces, as a browser would, so that the figures are the gateway's and not a small-buffer
// client's. The inputs live in a folder of the build tree and are deleted at the end.

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "common/unique_handle.h"
#include "http_gateway.h"
#include "json_variant.h"
#include "module_client.h"

namespace {

constexpr LONGLONG kDownloadBytes = 512LL << 20;
constexpr int kZipFiles = 64;
constexpr DWORD kZipFileBytes = 16u << 20;  // 64 x 16 MiB = 1 GiB

// A folder beside bin/ in the build tree, deleted with everything in it when the run ends.
class BenchFolder {
 public:
  BenchFolder() {
    wchar_t program[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    path_.assign(program, length);
    for (int up = 0; up < 2; ++up) path_.erase(path_.find_last_of(L'\\'));  // ...\x86_64\bin\x.exe
    path_ += L"\\gateway-bench";
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~BenchFolder() {
    for (const std::wstring& file : files_) ::DeleteFileW(file.c_str());
    ::RemoveDirectoryW(path_.c_str());
  }
  BenchFolder(const BenchFolder&) = delete;
  BenchFolder& operator=(const BenchFolder&) = delete;

  // A new file of `size` pseudo-random (incompressible) bytes.
  std::wstring Write(const std::wstring& name, LONGLONG size, unsigned seed) {
    const std::wstring file_path = path_ + L"\\" + name;
    files_.push_back(file_path);
    zel::UniqueFile file(::CreateFileW(file_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::vector<unsigned> block(1u << 18);
    unsigned state = seed * 2654435761u + 1;
    DWORD written = 0;
    for (LONGLONG done = 0; done < size; done += 1 << 20) {
      for (unsigned& word : block) word = state = state * 1664525u + 1013904223u;
      ::WriteFile(file.Get(), block.data(), 1u << 20, &written, nullptr);
    }
    return file_path;
  }

 private:
  std::wstring path_;
  std::vector<std::wstring> files_;
};

// One HTTP exchange on a new connection, the body counted as it arrives.
struct Exchange {
  int status = 0;
  unsigned long long content_length = 0;
  unsigned long long body_bytes = 0;
  std::string body;        // kept only when asked for
  double first_byte = 0;   // Now() at the first byte of the body
  double last_byte = 0;
};

Exchange Send(int port, const std::string& request, bool keep_body) {
  Exchange exchange;
  const SOCKET connection = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::send(connection, request.data(), static_cast<int>(request.size()), 0) != static_cast<int>(request.size())) {
    ::closesocket(connection);
    return exchange;
  }
  std::vector<char> buffer(1 << 20);
  std::string head;
  bool in_body = false;
  for (;;) {
    const int got = ::recv(connection, buffer.data(), static_cast<int>(buffer.size()), 0);
    if (got <= 0) break;
    size_t body_from = 0;
    if (!in_body) {
      head.append(buffer.data(), static_cast<size_t>(got));
      const size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      exchange.status = std::atoi(head.c_str() + head.find(' ') + 1);
      std::string lower = head.substr(0, end);
      std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
      const size_t length = lower.find("\r\ncontent-length:");
      if (length != std::string::npos) exchange.content_length = std::strtoull(lower.c_str() + length + 17, nullptr, 10);
      in_body = true;
      body_from = static_cast<size_t>(got) - (head.size() - end - 4);
    }
    const size_t body = static_cast<size_t>(got) - body_from;
    if (body > 0) {
      if (exchange.body_bytes == 0) exchange.first_byte = zelbench::Now();
      exchange.body_bytes += body;
      if (keep_body) exchange.body.append(buffer.data() + body_from, body);
    }
    if (in_body && exchange.body_bytes >= exchange.content_length) break;
  }
  exchange.last_byte = zelbench::Now();
  ::closesocket(connection);
  return exchange;
}

// The gateway answers only requests that name its own address and port in Host.
std::string Request(int port, const std::string& method, const std::string& target, const std::string& token,
                    const std::string& body = "") {
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\nConnection: close\r\nX-Zel-Token: " + token + "\r\n";
  if (!body.empty()) {
    request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  return request + "\r\n" + body;
}

std::string QueryEscaped(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') {
      escaped += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "%%%02X", static_cast<unsigned char>(c));
      escaped += hex;
    }
  }
  return escaped;
}

// The local medium id of a file: "F*" and the path with \ . blank + written | > * <.
std::string LocalId(const std::wstring& path) {
  std::wstring id = path;
  for (wchar_t& c : id) c = c == L'\\' ? L'|' : c == L'.' ? L'>' : c == L' ' ? L'*' : c == L'+' ? L'<' : c;
  return zelhost::ToUtf8(L"F*" + id);
}

// MiB/s of "GetFile" in the gateway's piece size, straight through the broker.
double DirectMiBps(const zelhost::ModuleClient& module, const std::wstring& path) {
  const double start = zelbench::Now();
  LONGLONG total = 0;
  for (LONGLONG offset = 0; offset < kDownloadBytes; offset += zelhost::HttpGateway::kPieceBytes) {
    const auto piece = module.GetFile(path, offset, zelhost::HttpGateway::kPieceBytes);
    if (!piece.value) return 0;
    total += piece.value->Size();
  }
  return total / (zelbench::Now() - start) / (1 << 20);
}

double GatewayMiBps(int port, const std::string& token, const std::wstring& path) {
  const double start = zelbench::Now();
  const Exchange download =
      Send(port, Request(port, "GET", "/api/files?path=" + QueryEscaped(zelhost::ToUtf8(path)), token), false);
  if (download.status != 200 || download.body_bytes != static_cast<unsigned long long>(kDownloadBytes)) return 0;
  return download.body_bytes / (download.last_byte - start) / (1 << 20);
}

struct ZipTimes {
  double built = 0;       // seconds for "CreateZip" straight through the broker, deleted after
  double answered = 0;    // seconds from the POST to its answer
  double first_byte = 0;  // to the archive's first byte
  double complete = 0;    // to its last byte
};

// Seconds until "CreateZip" through the broker answers; 0 when it failed. Its job ends within the
// module's wait of 5 s for it, so the answer marks the finished archive.
double DirectZipSeconds(const zelhost::ModuleClient& module, const std::vector<std::wstring>& ids) {
  const double start = zelbench::Now();
  const auto made = module.CreateZip(ids);
  const double seconds = zelbench::Now() - start;
  if (!made.value) return 0;
  module.DeleteTempFile(made.value->path);
  return seconds;
}

bool ZipRound(int port, const std::string& token, const zelhost::Json& ids, ZipTimes* times) {
  const double start = zelbench::Now();
  const Exchange made =
      Send(port, Request(port, "POST", "/api/zip", token, zelhost::DumpJson({{"ids", ids}, {"name", "bench.zip"}})), true);
  times->answered = made.last_byte - start;
  const zelhost::Json answer = zelhost::ParseJson(made.body.empty() ? "null" : made.body);
  if (made.status != 200 || !answer.is_object() || !answer.contains("url")) {
    std::fprintf(stderr, "POST /api/zip: %d %s\n", made.status, made.body.c_str());
    return false;
  }
  const Exchange archive = Send(port, Request(port, "GET", answer["url"].get<std::string>(), token), false);
  if (archive.status != 200 || archive.body_bytes != answer["size"].get<unsigned long long>()) {
    std::fprintf(stderr, "GET %s: %d, %llu bytes\n", answer["url"].get<std::string>().c_str(), archive.status,
                 archive.body_bytes);
    return false;
  }
  times->first_byte = archive.first_byte - start;
  times->complete = archive.last_byte - start;
  return true;
}

}  // namespace

int main() {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  WSADATA winsock;
  ::WSAStartup(MAKEWORD(2, 2), &winsock);
  BenchFolder folder;
  const std::wstring big = folder.Write(L"download.bin", kDownloadBytes, 1);
  zelhost::Json ids = zelhost::Json::array();
  std::vector<std::wstring> module_ids;
  for (int i = 0; i < kZipFiles; ++i) {
    ids.push_back(LocalId(folder.Write(L"part" + std::to_wstring(i) + L".bin", kZipFileBytes, i + 2)));
    module_ids.push_back(zelhost::FromUtf8(ids.back().get<std::string>()));
  }

  zelhost::HostSession session(zelhost::HostOptions{});
  const zelhost::ModuleClient module(session, L"bench");
  zelhost::HttpGateway gateway(session, zelhost::GatewayOptions{});
  std::thread server([&gateway] { gateway.Run(); });
  const std::string& token = gateway.Access().Token();
  // Not a request to see it answer: a route such as /api/logs answers 200 only once the module has
  // a log, which a fresh prefix has not, and the wait never ended there.
  while (!gateway.Serving()) ::Sleep(10);

  DirectMiBps(module, big);  // the file into the page cache for both
  const auto failed_if_zero = [](double rate) { return rate > 0 ? rate : -1; };
  const zelbench::Paired download =
      zelbench::Interleave([&] { return failed_if_zero(GatewayMiBps(gateway.Port(), token, big)); },
                           [&] { return failed_if_zero(DirectMiBps(module, big)); });
  std::vector<double> built, first_byte, complete;
  bool zipped = true;
  for (int round = 0; round < zelbench::kPairs && zipped; ++round) {
    ZipTimes times;
    times.built = DirectZipSeconds(module, module_ids);
    zipped = times.built > 0 && ZipRound(gateway.Port(), token, ids, &times);
    std::printf("  zip round: CreateZip %7.1f ms; POST answered %7.1f ms, first byte %7.1f ms, last byte %7.1f ms\n",
                times.built * 1000, times.answered * 1000, times.first_byte * 1000, times.complete * 1000);
    built.push_back(times.built);
    first_byte.push_back(zipped ? times.first_byte : -1);
    complete.push_back(times.complete);
  }
  gateway.Stop();
  server.join();

  char piece[64];
  std::snprintf(piece, sizeof(piece), "GET /api/files 512 MiB (%zu KiB pieces)", zelhost::HttpGateway::kPieceBytes >> 10);
  zelbench::Judge(piece, download, "MiB/s", "(GetFile via the broker)", zelbench::AtLeast(0.8));
  const std::vector<double> second(first_byte.size(), 1.0);
  zelbench::Judge("zip of 1 GiB (stored), first byte / 1 s", zelbench::Scaled(zelbench::Summarize(first_byte, second), 1000),
                  "ms", "(1 s)", zelbench::AtMost(1));
  zelbench::Judge("  first byte / whole archive received", zelbench::Scaled(zelbench::Summarize(first_byte, complete), 1000),
                  "ms", "(last byte)");
  zelbench::Judge("  first byte / CreateZip via the broker", zelbench::Scaled(zelbench::Summarize(first_byte, built), 1000),
                  "ms", "(CreateZip)");
  return zipped ? 0 : 1;
}
