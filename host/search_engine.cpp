#include "search_engine.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "lingering_server.h"

namespace zelhost {
namespace {

constexpr int kXmlResultsMax = 50;
constexpr int kLongResults = 400;
constexpr size_t kStreamBlock = 64 * 1024;
// Silent and delayed answers each hold a thread until the stand-in stops.
constexpr size_t kServingThreads = 32;
constexpr const char* kXmlType = "text/xml; charset=UTF-8";

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 0x0F];
  }
  return out;
}

std::string XmlText(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
  }
  return out;
}

}  // namespace

bool ParseEngineBody(const std::string& name, EngineBody* body) {
  static const std::pair<const char*, EngineBody> kNames[] = {
      {"xml", EngineBody::kXml},   {"empty", EngineBody::kEmpty}, {"long", EngineBody::kLong},
      {"half", EngineBody::kHalf}, {"huge", EngineBody::kHuge},   {"silent", EngineBody::kSilent},
      {"trickle", EngineBody::kTrickle}};
  for (const auto& [text, value] : kNames) {
    if (name == text) {
      *body = value;
      return true;
    }
  }
  return false;
}

std::string SearchEngineStandIn::Parameter(const std::string& target, const std::string& name) {
  const size_t question = target.find('?');
  if (question == std::string::npos) return {};
  httplib::Params params;
  httplib::detail::parse_query_text(target.substr(question + 1), params);
  const auto found = params.find(name);
  return found == params.end() ? std::string() : found->second;
}

std::string SearchEngineStandIn::AnswerFor(const std::string& target, EngineBody body) {
  const std::string query = Parameter(target, "q");
  const int start = std::atoi(Parameter(target, "start").c_str());
  const int count = body == EngineBody::kXml
                        ? std::clamp(std::atoi(Parameter(target, "num").c_str()), 0, kXmlResultsMax)
                        : kLongResults;
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<results query_hex=\"" + Hex(query) +
                    "\" start=\"" + XmlText(Parameter(target, "start")) + "\" num=\"" +
                    XmlText(Parameter(target, "num")) + "\" flags=\"" + XmlText(Parameter(target, "flags")) +
                    "\" format=\"" + XmlText(Parameter(target, "format")) + "\">\n<query>" + XmlText(query) +
                    "</query>\n";
  for (int i = 0; i < count; ++i) {
    const std::string id = std::to_string(start + i);
    xml += "<result id=\"" + id + "\"><title>Document " + id + "</title><url>file:///C:/Documents/doc" + id +
           ".txt</url></result>\n";
  }
  return xml + "</results>\n";
}

SearchEngineStandIn::SearchEngineStandIn(const SearchEngineOptions& options)
    : options_(options),
      stopping_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      server_(std::make_unique<LingeringServer>()) {
  server_->new_task_queue = [] { return new httplib::ThreadPool(kServingThreads); };
  server_->set_keep_alive_max_count(1);
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    Answer(request, response);
  });
  const int port = options.port == 0 ? server_->bind_to_any_port("127.0.0.1")
                                     : (server_->bind_to_port("127.0.0.1", options.port) ? options.port : -1);
  if (port <= 0) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options.port));
  port_ = static_cast<unsigned short>(port);
  listener_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() does nothing to a server that is not running yet: the destructor must find it running.
  while (!server_->is_running()) ::Sleep(1);
}

SearchEngineStandIn::~SearchEngineStandIn() {
  ::SetEvent(stopping_.Get());
  server_->stop();
  listener_.join();
}

std::wstring SearchEngineStandIn::SearchUrl() const {
  return L"http://127.0.0.1:" + std::to_wstring(port_) + L"/search?q=";
}

std::vector<EngineRequest> SearchEngineStandIn::Requests() const {
  std::lock_guard<zel::TkSection> lock(lock_);
  return requests_;
}

bool SearchEngineStandIn::Wait(DWORD ms) { return ::WaitForSingleObject(stopping_.Get(), ms) == WAIT_TIMEOUT; }

void SearchEngineStandIn::Answer(const httplib::Request& request, httplib::Response& response) {
  const EngineRequest seen{request.target, request.get_header_value("Range"), request.get_header_value("User-Agent")};
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    requests_.push_back(seen);
  }
  // Ranges are answered below, the way the engine does: the library must not cut the body again.
  const_cast<httplib::Request&>(request).ranges.clear();
  const DWORD delay = options_.body == EngineBody::kSilent    ? INFINITE
                      : options_.body == EngineBody::kTrickle ? 0
                                                              : options_.delay_ms;
  if (!Wait(delay)) {
    response.status = 503;  // stopping: whoever still waits learns it now
    return;
  }
  const int status = options_.status;
  response.status = status;
  switch (options_.body) {
    case EngineBody::kHuge:
      response.set_content_provider(
          static_cast<size_t>(kHugeBytes), kXmlType, [this](size_t, size_t left, httplib::DataSink& sink) {
            std::string block(std::min<size_t>(left, kStreamBlock), '\0');
            for (size_t i = 0; i < block.size(); ++i) block[i] = "<huge/>\n"[i % 8];
            return Wait(0) && sink.write(block.data(), block.size());
          });
      return;
    case EngineBody::kHalf: {
      // Announces the whole list, sends half of it, and the connection breaks off.
      auto body = std::make_shared<std::string>(AnswerFor(seen.target, EngineBody::kLong));
      response.set_content_provider(body->size(), kXmlType, [body](size_t offset, size_t, httplib::DataSink& sink) {
        return offset < body->size() / 2 && sink.write(body->data(), body->size() / 2);
      });
      return;
    }
    case EngineBody::kTrickle: {
      // Never silent for as long as delay_ms, so that only a limit on the whole answer ends it.
      auto body = std::make_shared<std::string>(AnswerFor(seen.target, EngineBody::kLong));
      response.set_content_provider(body->size(), kXmlType,
                                    [this, body](size_t offset, size_t, httplib::DataSink& sink) {
                                      return Wait(options_.delay_ms) && sink.write(body->data() + offset, 1);
                                    });
      return;
    }
    default:
      break;
  }
  const std::string body = options_.body == EngineBody::kEmpty ? std::string() : AnswerFor(seen.target, options_.body);
  if (status == 200 && seen.range.rfind("bytes=", 0) == 0) {
    const unsigned long long from = std::strtoull(seen.range.c_str() + 6, nullptr, 10);
    if (from >= body.size()) {
      response.status = 416;
      response.set_header("Content-Range", "bytes */" + std::to_string(body.size()));
      response.set_content("", kXmlType);
      return;
    }
    response.status = 206;
    response.set_header("Content-Range", "bytes " + std::to_string(from) + "-" + std::to_string(body.size() - 1) +
                                             "/" + std::to_string(body.size()));
    response.set_content(body.substr(from), kXmlType);
    return;
  }
  response.set_content(body, kXmlType);
}

}  // namespace zelhost
