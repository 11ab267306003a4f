#include "http_gateway.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include <httplib.h>

#include "broker/kro_broker.h"
#include "common/product_folders.h"
#include "common/safearray_lock.h"

namespace zelhost {
namespace {

constexpr const wchar_t* kRequester = L"zelhost-http";
// A zip job that adds nothing to its archive for this long is taken as stuck.
constexpr DWORD kStallMs = 30000;
constexpr DWORD kGrowthPollMs = 5;

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

Json JsonBody(const httplib::Request& request) {
  const Json body = ParseJson(request.body);
  if (!body.is_object()) throw JsonError("the request body must be a JSON object");
  return body;
}

}  // namespace

HttpGateway::HttpGateway(HostSession& session, const GatewayOptions& options, HttpAccess access)
    : session_(session), options_(options), access_(std::move(access)), server_(std::make_unique<httplib::Server>()) {
  httplib::Server& server = *server_;
  server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
    if (!access_.Screen(request, response)) return httplib::Server::HandlerResponse::Unhandled;
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
  server.Get("/api/logs", route(&HttpGateway::TailLog));
  server.Get("/api/logs.zip", route(&HttpGateway::ZipLogs));
  server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
    if (response.body.empty() && !response.content_provider_) {
      AnswerError(response, response.status, httplib::detail::status_message(response.status));
    }
  });
  if (!options_.console_folder.empty() && !server.set_mount_point("/", ToUtf8(options_.console_folder))) {
    throw HostError("the console folder " + ToUtf8(options_.console_folder) + " does not exist");
  }
  port_ = options_.port == 0 ? server.bind_to_any_port(options_.address)
                             : (server.bind_to_port(options_.address, options_.port) ? options_.port : -1);
  if (port_ <= 0) {
    throw HostError("cannot listen on " + options_.address + ":" + std::to_string(options_.port));
  }
}

HttpGateway::~HttpGateway() { Stop(); }

bool HttpGateway::Run() { return server_->listen_after_bind(); }

void HttpGateway::Stop() { server_->stop(); }

HRESULT HttpGateway::Deliver(const wchar_t* service, const Json& input, zel::ScopedVariant* output, LONG* rc) {
  VariantArena arena;
  zel::ScopedVariant in;
  JsonToVariant(input, in.Get(), &arena);
  *rc = 0;
  return session_.Deliver(kRequester, service, *in.Get(), output->Get(), rc);
}

bool HttpGateway::ReadPiece(const std::wstring& path, uint64_t offset, size_t size, std::string* bytes) {
  zel::ScopedVariant out;
  LONG rc = 0;
  const Json input = Json::array({ToUtf8(path), {{"i8", offset}}, {{"i8", size}}});
  if (FAILED(Deliver(L"GetFile", input, &out, &rc)) || rc != 0 || out.Get()->vt != (VT_ARRAY | VT_UI1)) return false;
  SAFEARRAY* array = out.Get()->parray;
  LONG lower = 0;
  LONG upper = -1;
  ::SafeArrayGetLBound(array, 1, &lower);
  ::SafeArrayGetUBound(array, 1, &upper);
  if (upper < lower) return true;
  zel::SafeArrayDataLock data(array);
  if (!data.Ok()) return false;
  bytes->append(static_cast<const char*>(data.Data()), static_cast<size_t>(upper - lower + 1));
  return true;
}

void HttpGateway::DeleteTempFile(const std::wstring& path) {
  zel::ScopedVariant out;
  LONG rc = 0;
  Deliver(L"DeleteTempFile", Json::array({"", ToUtf8(path)}), &out, &rc);
}

void HttpGateway::CallService(const httplib::Request& request, httplib::Response& response) {
  const Json body = JsonBody(request);
  const Json input = body.value("input", Json(nullptr));
  const std::wstring requester = FromUtf8(body.value("requester", std::string("console")));
  const LONG rc = body.value("rc", 0);
  const std::wstring service = FromUtf8(request.matches[1]);
  const HostSession::Reply reply = session_.Call(requester, service, input, rc);
  if (reply.delivery == kErrorNotRegistered) {
    AnswerError(response, 404, "no component registered the service " + ToUtf8(service));
  } else if (FAILED(reply.delivery)) {
    char code[16];
    snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(reply.delivery));
    AnswerError(response, 502, "the broker could not deliver " + ToUtf8(service) + " (" + code + ")");
  } else {
    response.set_content(DumpJson(Json{{"rc", reply.rc}, {"output", reply.output}}), "application/json");
  }
}

void HttpGateway::GetFile(const httplib::Request& request, httplib::Response& response) {
  const std::string path = request.get_param_value("path");
  zel::ScopedVariant out;
  LONG rc = 0;
  const HRESULT hr = Deliver(L"GetFileInfo", Json::array({path}), &out, &rc);
  const Json info = VariantToJson(*out.Get());
  if (FAILED(hr) || rc != 0 || !info.is_array() || info.size() != 1 || !info[0].contains("i8")) {
    response.status = 404;
    response.set_content(DumpJson(Json{{"error", "the file cannot be read: " + path}, {"rc", rc}}), "application/json");
    return;
  }
  Stream(request, response, {FromUtf8(path), info[0]["i8"].get<uint64_t>(), BaseName(path), false, false, true});
}

void HttpGateway::CreateZip(const httplib::Request& request, httplib::Response& response) {
  const Json body = JsonBody(request);
  const Json ids = body.value("ids", Json::array());
  if (!ids.is_array() || ids.empty() || !std::all_of(ids.begin(), ids.end(), [](const Json& id) { return id.is_string(); })) {
    throw JsonError("\"ids\" must be a non-empty list of medium ids");
  }
  std::string name = body.value("name", std::string("download.zip"));
  if (name.empty()) name = "download.zip";
  Json input = Json::array({""});
  input.insert(input.end(), ids.begin(), ids.end());
  zel::ScopedVariant out;
  LONG rc = 0;
  if (FAILED(Deliver(L"CreateZip", input, &out, &rc))) throw HostError("the broker could not deliver CreateZip");
  const Json answer = VariantToJson(*out.Get());
  if (rc != 0 || !answer.is_array() || answer.size() != 2 || !answer[0].is_string()) {
    response.set_content(DumpJson(Json{{"rc", rc}, {"error", "CreateZip failed"}}), "application/json");
    return;
  }
  const uint64_t size = answer[1].contains("i8") ? answer[1]["i8"].get<uint64_t>() : answer[1].get<uint64_t>();
  const std::string id = MakeAccessToken().substr(0, 24);
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    archives_[id] = {FromUtf8(answer[0].get<std::string>()), size, name};
  }
  response.set_content(DumpJson(Json{{"rc", 0}, {"url", "/api/zip/" + id}, {"size", size}}), "application/json");
}

void HttpGateway::GetZip(const httplib::Request& request, httplib::Response& response) {
  Archive archive;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    const auto found = archives_.find(request.matches[1]);
    if (found == archives_.end()) {
      AnswerError(response, 404, "no such archive (each one is downloaded once)");
      return;
    }
    archive = found->second;
    archives_.erase(found);
  }
  Stream(request, response, {archive.path, archive.size, archive.name, true, true, false});
}

void HttpGateway::TailLog(const httplib::Request& request, httplib::Response& response) {
  const std::optional<std::wstring> logs = zel::GetProductFolder(zel::ProductFolder::kLogs);
  if (!logs) throw HostError("the log folder is unknown");
  const std::string size = request.has_param("size") ? request.get_param_value("size") : "20000";
  const std::wstring path = *logs + L"\\ZovIdivariRuder.log";
  zel::ScopedVariant out;
  LONG rc = 0;
  if (FAILED(Deliver(L"my-ZEL_TailLog", Json::array({ToUtf8(path), std::stol(size)}), &out, &rc))) {
    throw HostError("the broker could not deliver my-ZEL_TailLog");
  }
  response.set_content(DumpJson(Json{{"rc", rc}, {"path", ToUtf8(path)}, {"output", VariantToJson(*out.Get())}}),
                       "application/json");
}

void HttpGateway::ZipLogs(const httplib::Request& request, httplib::Response& response) {
  zel::ScopedVariant out;
  LONG rc = 0;
  const HRESULT hr = Deliver(L"ZipLogs", nullptr, &out, &rc);
  const Json answer = VariantToJson(*out.Get());
  if (FAILED(hr) || rc != 0 || !answer.is_array() || answer.size() != 2 || !answer[0].is_string()) {
    response.status = 502;
    response.set_content(DumpJson(Json{{"rc", rc}, {"error", "ZipLogs failed"}}), "application/json");
    return;
  }
  Stream(request, response,
         {FromUtf8(answer[0].get<std::string>()), answer[1].get<uint64_t>(), "zel-logs.zip", false, true, false});
}

void HttpGateway::Stream(const httplib::Request& request, httplib::Response& response, const Download& download) {
  uint64_t first = 0;
  uint64_t length = download.size;
  if (download.ranges && !request.ranges.empty()) {
    // One range, clamped to the file; anything else cannot be satisfied here.
    const auto [from, to] = request.ranges.front();
    const int64_t size = static_cast<int64_t>(download.size);
    int64_t start = from < 0 ? size - std::min<int64_t>(to, size) : from;
    int64_t end = from < 0 || to < 0 ? size - 1 : std::min<int64_t>(to, size - 1);
    if (request.ranges.size() != 1 || start >= size || start > end || (from < 0 && to == 0)) {
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
  response.set_header("Accept-Ranges", download.ranges ? "bytes" : "none");
  const std::string type = download.name.size() > 4 && download.name.compare(download.name.size() - 4, 4, ".zip") == 0
                               ? "application/zip"
                               : "application/octet-stream";
  auto provider = [this, download, first](size_t offset, size_t length, httplib::DataSink& sink) {
    std::string piece;
    DWORD waited = 0;
    while (piece.empty()) {
      if (!ReadPiece(download.path, first + offset, std::min(length, kPieceBytes), &piece)) return false;
      if (!piece.empty()) break;
      // Nothing at this offset yet: a zip job has not written it; a finished file was cut short.
      if (!download.growing || waited >= kStallMs || !sink.is_writable()) return false;
      ::Sleep(kGrowthPollMs);
      waited += kGrowthPollMs;
    }
    return sink.write(piece.data(), std::min(piece.size(), length));
  };
  if (length == 0) {
    response.set_content("", type);
    if (download.temporary) DeleteTempFile(download.path);
    return;
  }
  response.set_content_provider(static_cast<size_t>(length), type, provider, [this, download](bool) {
    // A finished download's archive is no longer needed; a broken one cancels its job.
    if (download.temporary) DeleteTempFile(download.path);
  });
}

int ServeHttp(const HostOptions& options, const std::wstring& listen, const std::wstring& console_folder) {
  GatewayOptions gateway_options;
  gateway_options.console_folder = console_folder;
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
  return gateway.Run() ? 0 : 1;
}

}  // namespace zelhost
