#include "http_gateway.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <thread>

#include "gateway_server.h"

#include "common/product_folders.h"
#include "common/unique_handle.h"
#include "http_prefixes.h"
#include "json_call.h"
#include "module_status.h"
#include "piece_reader.h"

namespace zelhost {
namespace {

constexpr const wchar_t* kRequester = L"zelhost-http";
// A zip job that adds nothing to its archive for this long is taken as stuck.
constexpr DWORD kStallMs = 30000;
constexpr DWORD kGrowthPollMs = 5;
// Longer paths name nothing here; refusing them keeps the routes' patterns off huge inputs.
constexpr size_t kLongestPath = 1024;
// Room for a few pieces in the connection's send buffer: a send returns once its piece is copied
// there, and the next piece is read while the client takes the last one.
constexpr int kSendBufferBytes = 4 * static_cast<int>(HttpGateway::kPieceBytes);

enum class ArchiveState { kWriting, kComplete, kBroken };

// Where the job behind a growing archive stands. The job holds the archive open for writing until
// it is through; this open leaves no room for a writer, so it fails exactly while one is there.
// A job that failed deletes its archive or leaves it at another size than it announced.
ArchiveState ProbeArchive(const std::wstring& path, uint64_t announced) {
  const zel::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
  if (!file) return ::GetLastError() == ERROR_SHARING_VIOLATION ? ArchiveState::kWriting : ArchiveState::kBroken;
  LARGE_INTEGER size{};
  return ::GetFileSizeEx(file.Get(), &size) && static_cast<uint64_t>(size.QuadPart) == announced
             ? ArchiveState::kComplete
             : ArchiveState::kBroken;
}

// Content-Disposition for a download name: an ASCII fallback and the exact UTF-8 form.
std::string Disposition(const std::string& name) {
  std::string plain;
  std::string encoded;
  for (const char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    plain += (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') ? '_' : c;
    if (std::isalnum(byte) || c == '.' || c == '-' || c == '_') {
      encoded += c;
    } else {
      char escape[4];
      snprintf(escape, sizeof(escape), "%%%02X", byte);
      encoded += escape;
    }
  }
  return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" + encoded;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Byte ranges are answered by Stream alone: the library would otherwise cut error bodies and
// announce ranges it never checked against the file.
void ForgetRanges(const httplib::Request& request) { const_cast<httplib::Request&>(request).ranges.clear(); }

// The service that ends the process by design, named in any case (the broker ignores case).
bool IsCrashService(std::wstring service) {
  if (!service.empty()) ::CharLowerBuffW(&service[0], static_cast<DWORD>(service.size()));
  return service == L"generatecrash";
}

Json JsonBody(const httplib::Request& request) {
  const Json body = ParseJson(request.body);
  if (!body.is_object()) throw JsonError("the request body must be a JSON object");
  return body;
}

}  // namespace

HttpGateway::HttpGateway(HostSession& session, const GatewayOptions& options, HttpAccess access)
    : module_(session, kRequester),
      options_(options),
      access_(std::move(access)),
      console_(options.console_folder.empty() ? ConsoleFiles() : ConsoleFiles(options.console_folder)),
      server_(std::make_unique<GatewayServer>()),
      archives_([this](const std::wstring& path) {
        DeleteTempFile(path);
        zip_progress_.Deleted(path);
      }) {
  const DWORD console_attributes = ::GetFileAttributesW(options_.console_folder.c_str());
  if (!options_.console_folder.empty() &&
      (console_attributes == INVALID_FILE_ATTRIBUTES || (console_attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)) {
    throw HostError("the console folder " + ToUtf8(options_.console_folder) + " does not exist");
  }
  httplib::Server& server = *server_;
  server.set_socket_options([](socket_t socket) {
    httplib::default_socket_options(socket);
    ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&kSendBufferBytes),
                 sizeof(kSendBufferBytes));
  });
  // Every request is screened before routing, the console's files as much as the API. A refusal
  // here leaves the request's body unread; the server hands the routes exactly one framed request,
  // so that body can never be taken for the connection's next request (gateway_server.h).
  // The console's files are answered here too: a plain name looked up in a fixed set, never a path.
  server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
    if (!access_.Screen(request, response)) {
      if (request.path.size() > kLongestPath) {
        AnswerError(response, 414, "the request's path is too long");
      } else if (request.path.rfind("/api/", 0) == 0) {
        return httplib::Server::HandlerResponse::Unhandled;
      } else if (request.method != "GET" && request.method != "HEAD") {
        AnswerError(response, 405, "the console's files are only read");
      } else if (const std::optional<ConsoleFiles::File> file = console_.Find(request.path)) {
        response.set_content(file->bytes, file->type);
      } else {
        AnswerError(response, 404, "the console has no such file");
      }
    }
    ForgetRanges(request);
    return httplib::Server::HandlerResponse::Handled;
  });
  auto route = [this](void (HttpGateway::*handler)(const httplib::Request&, httplib::Response&)) {
    return [this, handler](const httplib::Request& request, httplib::Response& response) {
      try {
        (this->*handler)(request, response);
      } catch (const HostError& error) {
        AnswerError(response, 502, error.what());
      } catch (const std::exception& error) {  // JsonError, and nlohmann's type errors
        AnswerError(response, 400, error.what());
      }
      ForgetRanges(request);
    };
  };
  server.Post(R"(/api/services/([^/]+))", route(&HttpGateway::CallService));
  server.Get("/api/files", route(&HttpGateway::GetFile));
  server.Post("/api/zip", route(&HttpGateway::CreateZip));
  server.Get(R"(/api/zip/([0-9a-f]+))", route(&HttpGateway::GetZip));
  server.Get(R"(/api/zip/([0-9a-f]+)/progress)", [this](const auto& q, auto& r) { zip_progress_.Answer(q, r); });
  server.Get("/api/logs", route(&HttpGateway::TailLog));
  server.Get("/api/logs.zip", route(&HttpGateway::ZipLogs));
  server.Get("/api/host/prefixes", route(&HttpGateway::PrefixTable));
  server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
    if (response.body.empty() && !response.content_provider_) {
      AnswerError(response, response.status, httplib::status_message(response.status));
    }
  });
  port_ = options_.port == 0 ? server.bind_to_any_port(options_.address)
                             : (server.bind_to_port(options_.address, options_.port) ? options_.port : -1);
  if (port_ <= 0) {
    throw HostError("cannot listen on " + options_.address + ":" + std::to_string(options_.port));
  }
  access_.SetListening(options_.address, port_);
}

HttpGateway::~HttpGateway() {
  Stop();
  // The downloads first: each releases its archive as it ends; the shelf then deletes the rest.
  server_.reset();
}

bool HttpGateway::Run() { return server_->listen_after_bind(); }

void HttpGateway::Stop() { server_->stop(); }

bool HttpGateway::Serving() const { return server_->is_running(); }

std::unique_ptr<FileBytes> HttpGateway::FetchPiece(const std::wstring& path, uint64_t offset, size_t size) {
  ModuleAnswer<FileBytes> read = module_.GetFile(path, offset, size);
  if (!read.value || read.value->Size() > size) return nullptr;
  return std::make_unique<FileBytes>(std::move(*read.value));
}

bool HttpGateway::SendGrowing(const Download& download, uint64_t offset, size_t size, httplib::DataSink& sink) {
  for (DWORD waited = 0;; waited += kGrowthPollMs) {
    // Gone: the job failed or was cancelled, and deleted its archive.
    const std::unique_ptr<FileBytes> piece = FetchPiece(download.path, offset, size);
    if (piece == nullptr) return false;
    if (piece->Size() > 0 && offset + piece->Size() < download.size) return sink.write(piece->Data(), piece->Size());
    // Nothing new yet, or the bytes that would complete the download: those wait for the job's end,
    // since a job can still fail after writing them, and are read again after it.
    const ArchiveState state = ProbeArchive(download.path, download.size);
    if (state == ArchiveState::kBroken) return false;
    if (state == ArchiveState::kComplete) {
      const std::unique_ptr<FileBytes> last = FetchPiece(download.path, offset, size);
      return last != nullptr && last->Size() > 0 && sink.write(last->Data(), last->Size());
    }
    if (waited >= kStallMs || !sink.is_writable()) return false;
    ::Sleep(kGrowthPollMs);
  }
}

void HttpGateway::DeleteTempFile(const std::wstring& path) { module_.DeleteTempFile(path); }

void HttpGateway::CallService(const httplib::Request& request, httplib::Response& response) {
  if (!options_.allow_crash_service && IsCrashService(FromUtf8(request.matches[1]))) {
    AnswerError(response, 403, "GenerateCrash ends the server's process; the host was not started with --allow-crash-service");
    return;
  }
  const Json body = JsonBody(request);
  const Json input = body.value("input", Json(nullptr));
  const std::wstring requester = FromUtf8(body.value("requester", std::string("console")));
  const LONG rc = body.value("rc", 0);
  const std::string service = request.matches[1];
  JsonReply reply = CallWithJson(module_, requester, FromUtf8(service), input, rc);
  if (FAILED(reply.outcome.delivery)) {
    AnswerFailedCall(response, service.c_str(), reply.outcome, "the request was not delivered");
    return;
  }
  // The answer is the module's whatever its code; the status says how the call ended. The output
  // moves into the answer, whose JSON is gone before the text is handed on.
  Json answer{{"rc", reply.outcome.rc}, {"output", std::move(reply.output)}};
  if (reply.outcome.rc != 0) {
    answer["error"] = service + " answered " + std::to_string(reply.outcome.rc);
    answer["service"] = service;
  }
  response.status = HttpStatusOf(reply.outcome);
  response.set_content(DumpJson(answer), "application/json");
}

void HttpGateway::GetFile(const httplib::Request& request, httplib::Response& response) {
  const std::string path = request.get_param_value("path");
  const std::wstring wide_path = FromUtf8(path);
  const ModuleAnswer<uint64_t> info = module_.GetFileInfo(wide_path);
  if (info.Succeeded() && !info.value) return AnswerUnusable(response, "GetFileInfo");
  if (!info.Succeeded()) {
    // "GetFileInfo" answers -1 for whatever it cannot examine; what "GetFile" answers for the
    // first byte says why (404: the file cannot be opened), so the status follows the usual rule.
    const ModuleAnswer<FileBytes> first = module_.GetFile(wide_path, 0, 1);
    const bool told = !first.Succeeded() && SUCCEEDED(first.delivery);
    const CallOutcome& outcome = told ? static_cast<const CallOutcome&>(first) : info;
    return AnswerFailedCall(response, told ? "GetFile" : "GetFileInfo", outcome, "the file cannot be read: " + path);
  }
  Stream(request, response, {DownloadKind::kFile, wide_path, *info.value, BaseName(path)});
}

void HttpGateway::CreateZip(const httplib::Request& request, httplib::Response& response) {
  const Json body = JsonBody(request);
  const Json ids = body.value("ids", Json::array());
  if (!ids.is_array() || ids.empty() || !std::all_of(ids.begin(), ids.end(), [](const Json& id) { return id.is_string(); })) {
    throw JsonError("\"ids\" must be a non-empty list of medium ids");
  }
  std::string name = body.value("name", std::string("download.zip"));
  if (name.empty()) name = "download.zip";
  std::vector<std::wstring> wide_ids;
  for (const Json& id : ids) wide_ids.push_back(FromUtf8(id.get<std::string>()));
  const ModuleAnswer<ArchiveAnswer> made = module_.CreateZip(wide_ids);
  if (!made.Succeeded()) return AnswerFailedCall(response, "CreateZip", made, "no archive was made");
  if (!made.value) return AnswerUnusable(response, "CreateZip");
  Json left_out = Json::array();
  for (const LeftOut& source : made.value->left_out) {
    left_out.push_back({{"path", ToUtf8(source.path)}, {"reason", ToUtf8(source.why)}});
  }
  const std::string id = archives_.Shelve({made.value->path, made.value->size, name});
  zip_progress_.Track(id, made.value->path, made.value->size);
  response.set_content(DumpJson(Json{{"id", id},
                                     {"url", "/api/zip/" + id},
                                     {"name", name},
                                     {"size", made.value->size},
                                     {"leftOut", std::move(left_out)}}),
                       "application/json");
}

void HttpGateway::GetZip(const httplib::Request& request, httplib::Response& response) {
  const std::optional<ArchiveShelf::Archive> archive = archives_.Take(request.matches[1]);
  if (!archive) {
    AnswerError(response, 404, "no such archive (each one is downloaded once, within 10 minutes)");
    return;
  }
  Stream(request, response, {DownloadKind::kGrowingArchive, archive->path, archive->size, archive->name});
}

void HttpGateway::PrefixTable(const httplib::Request&, httplib::Response& response) {
  AnswerPrefixTable(zel::GetProductFolder(zel::ProductFolder::kConfig), response);
}

void HttpGateway::TailLog(const httplib::Request& request, httplib::Response& response) {
  const std::optional<std::wstring> logs = zel::GetProductFolder(zel::ProductFolder::kLogs);
  if (!logs) throw HostError("the log folder is unknown");
  const std::string size = request.has_param("size") ? request.get_param_value("size") : "20000";
  const std::wstring path = *logs + L"\\ZovIdivariRuder.log";
  const ModuleAnswer<LogTail> tail = module_.TailLog(path, std::stol(size));
  if (!tail.Succeeded()) return AnswerFailedCall(response, "my-ZEL_TailLog", tail, "the log cannot be read: " + ToUtf8(path));
  if (!tail.value) return AnswerUnusable(response, "my-ZEL_TailLog");
  response.set_content(DumpJson(Json{{"path", ToUtf8(path)},
                                     {"fileSize", tail.value->file_size},
                                     {"length", tail.value->length},
                                     {"text", tail.value->text ? Json(ToUtf8(*tail.value->text)) : Json(nullptr)}}),
                       "application/json");
}

void HttpGateway::ZipLogs(const httplib::Request& request, httplib::Response& response) {
  const ModuleAnswer<ArchiveAnswer> made = module_.ZipLogs();
  if (!made.Succeeded()) return AnswerFailedCall(response, "ZipLogs", made, "the logs were not archived");
  if (!made.value) return AnswerUnusable(response, "ZipLogs");
  archives_.Hold(made.value->path);
  Stream(request, response, {DownloadKind::kFinishedArchive, made.value->path, made.value->size, "zel-logs.zip"});
}

void HttpGateway::Stream(const httplib::Request& request, httplib::Response& response, const Download& download) {
  uint64_t first = 0;
  uint64_t length = download.size;
  // One range, clamped to the file. Several are not served as parts: the whole file answers them,
  // as a server may do with any Range (a Range that is no byte range never reaches here).
  if (download.Ranges() && request.ranges.size() == 1) {
    const auto [from, to] = request.ranges.front();
    const int64_t size = static_cast<int64_t>(download.size);
    int64_t start = from < 0 ? size - std::min<int64_t>(to, size) : from;
    int64_t end = from < 0 || to < 0 ? size - 1 : std::min<int64_t>(to, size - 1);
    if (start >= size || start > end || (from < 0 && to == 0)) {
      response.status = 416;
      response.set_header("Content-Range", "bytes */" + std::to_string(download.size));
      return;
    }
    first = static_cast<uint64_t>(start);
    length = static_cast<uint64_t>(end - start + 1);
    response.status = 206;
    response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(end) + "/" +
                                             std::to_string(download.size));
  }
  response.set_header("Content-Disposition", Disposition(download.name));
  response.set_header("Accept-Ranges", download.Ranges() ? "bytes" : "none");
  const std::string type = download.name.size() > 4 && download.name.compare(download.name.size() - 4, 4, ".zip") == 0
                               ? "application/zip"
                               : "application/octet-stream";
  if (length == 0) {
    response.set_content("", type);
    if (download.Temporary()) archives_.Release(download.path);
    return;
  }
  std::shared_ptr<PieceReader> reader;
  if (!download.Growing()) {
    reader = std::make_shared<PieceReader>(
        [this, path = download.path](uint64_t offset, size_t size) { return FetchPiece(path, offset, size); }, first,
        length, kPieceBytes);
  }
  auto provider = [this, download, first, reader](size_t offset, size_t length, httplib::DataSink& sink) {
    const size_t size = std::min(length, kPieceBytes);
    if (download.Growing()) return SendGrowing(download, first + offset, size, sink);
    const std::unique_ptr<FileBytes> piece = reader->Take(first + offset, size);
    // A finished file that ends before its announced length was cut short: the download breaks off.
    return piece != nullptr && piece->Size() > 0 && sink.write(piece->Data(), piece->Size());
  };
  response.set_content_provider(static_cast<size_t>(length), type, provider, [this, download](bool) {
    // A finished download's archive is no longer needed; a broken one cancels its job.
    if (download.Temporary()) archives_.Release(download.path);
  });
}

int ServeHttp(const HostOptions& options, const std::wstring& listen, GatewayOptions gateway_options,
              bool until_input_ends) {
  const std::string text = ToUtf8(listen);
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) gateway_options.address = text.substr(0, colon);
  const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  size_t used = 0;
  try {
    gateway_options.port = std::stoi(port, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != port.size() || gateway_options.port < 0 || gateway_options.port > 65535 ||
      gateway_options.address.empty()) {
    throw JsonError("serve --http needs [ADDRESS:]PORT, not " + text);
  }
  HostSession session(options);
  HttpGateway gateway(session, gateway_options);
  const std::string address = gateway.ConsoleAddress();
  std::cerr << "zelhost: the console is at " << address << "\n";
  const std::string line = DumpJson(Json{{"console", address}, {"token", gateway.Access().Token()}, {"port", gateway.Port()}});
  fwrite(line.data(), 1, line.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
  std::thread watcher;
  if (until_input_ends) {
    watcher = std::thread([&gateway] {
      char ignored[512];
      DWORD read = 0;
      while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), ignored, sizeof(ignored), &read, nullptr) && read > 0) {
      }
      // A stop asked for before the server runs would be lost.
      while (!gateway.Serving()) ::Sleep(10);
      gateway.Stop();
    });
  }
  const bool served = gateway.Run();
  // Served to the end: the watcher stopped it. Otherwise its read ends with the process.
  if (watcher.joinable()) served ? watcher.join() : watcher.detach();
  return served ? 0 : 1;
}

}  // namespace zelhost
