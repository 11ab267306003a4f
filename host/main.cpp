// zelhost: the standalone host. It plays the media server's part: registers the embedded broker,
// loads ZovIdivariRuder.dll, calls Initialize, sends requests through the broker, calls Close.
//
//   zelhost [options] call SERVICE 'INPUT-JSON' [--requester NAME] [--rc N]
//   zelhost [options] serve --stdio
//   zelhost [options] serve --http [ADDRESS:]PORT [--console FOLDER] [--allow-crash-service]
//                                [--until-input-ends]                 (see http_gateway.h)
//   zelhost search-engine [--port N] [--status N] [--body KIND] [--charset NAME] [--delay-ms N] [--seconds N]
// options: --satellites FILE  --journal FILE  --log-level N  --module PATH  --workers N
//          --search-url URL  --broker embedded|local-server
//
// Exit status: 0 when the request was delivered (whatever its return code), 2 for malformed JSON
// or usage, 3 when the broker could not deliver it, 1 when the host could not start, 4 when it
// crashed (see crash_handler.h).

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "crash_handler.h"
#include "host_session.h"
#include "http_gateway.h"
#include "json_call.h"
#include "json_variant.h"
#include "module_client.h"
#include "search_engine.h"

namespace zelhost {
namespace {

constexpr int kExitDelivered = 0;
constexpr int kExitHostFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotDelivered = 3;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CommandLine {
  HostOptions options;
  std::vector<std::wstring> words;  // the command and its positional arguments
  std::wstring requester = L"zelhost";
  LONG rc = 0;
  SearchEngineOptions engine;
  DWORD engine_seconds = 0;  // 0: until the process is ended
  std::wstring console_folder;
  bool allow_crash_service = false;
  bool until_input_ends = false;
};

LONG ParseLong(const std::wstring& text, const char* what) {
  size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used, 0);
  } catch (...) {
    used = 0;
  }
  if (used != text.size() || value < INT32_MIN || value > UINT32_MAX) {
    throw UsageError(std::string(what) + " must be a 32-bit number");
  }
  return static_cast<LONG>(value);
}

CommandLine Parse(const std::vector<std::wstring>& args) {
  CommandLine line;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::wstring& arg = args[i];
    auto value = [&](const char* name) -> const std::wstring& {
      if (i + 1 >= args.size()) throw UsageError(std::string(name) + " needs a value");
      return args[++i];
    };
    if (arg == L"--satellites") {
      line.options.satellites_path = value("--satellites");
    } else if (arg == L"--journal") {
      line.options.journal_path = value("--journal");
    } else if (arg == L"--module") {
      line.options.module_path = value("--module");
    } else if (arg == L"--log-level") {
      line.options.log_level = static_cast<DWORD>(ParseLong(value("--log-level"), "--log-level"));
    } else if (arg == L"--workers") {
      const LONG workers = ParseLong(value("--workers"), "--workers");
      if (workers < 1 || workers > 256) throw UsageError("--workers must be between 1 and 256");
      line.options.workers = static_cast<unsigned>(workers);
    } else if (arg == L"--broker") {
      const std::wstring& mode = value("--broker");
      if (mode != L"embedded" && mode != L"local-server") throw UsageError("--broker must be embedded or local-server");
      line.options.broker_mode = mode == L"embedded" ? BrokerMode::kEmbedded : BrokerMode::kLocalServer;
    } else if (arg == L"--requester") {
      line.requester = value("--requester");
    } else if (arg == L"--rc") {
      line.rc = ParseLong(value("--rc"), "--rc");
    } else if (arg == L"--search-url") {
      line.options.search_url = value("--search-url");
    } else if (arg == L"--port") {
      const LONG port = ParseLong(value("--port"), "--port");
      if (port < 0 || port > 65535) throw UsageError("--port must be between 0 and 65535");
      line.engine.port = static_cast<unsigned short>(port);
    } else if (arg == L"--status") {
      line.engine.status = ParseLong(value("--status"), "--status");
      if (line.engine.status < 100 || line.engine.status > 999) throw UsageError("--status must be an HTTP status");
    } else if (arg == L"--body") {
      if (!ParseEngineBody(ToUtf8(value("--body")), &line.engine.body)) {
        throw UsageError("--body must be xml, empty, long, half, huge, silent, trickle or hang-up");
      }
    } else if (arg == L"--charset") {
      if (!ParseEngineCharset(ToUtf8(value("--charset")), &line.engine.charset)) {
        throw UsageError("--charset must be utf-8, windows-1252, iso-8859-1 or none");
      }
    } else if (arg == L"--delay-ms") {
      line.engine.delay_ms = static_cast<DWORD>(ParseLong(value("--delay-ms"), "--delay-ms"));
    } else if (arg == L"--seconds") {
      line.engine_seconds = static_cast<DWORD>(ParseLong(value("--seconds"), "--seconds"));
    } else if (arg == L"--console") {
      line.console_folder = value("--console");
    } else if (arg == L"--allow-crash-service") {
      line.allow_crash_service = true;
    } else if (arg == L"--until-input-ends") {
      line.until_input_ends = true;
    } else if (arg == L"--stdio" || arg == L"--http" || arg.rfind(L"--", 0) != 0) {
      line.words.push_back(arg);
    } else {
      throw UsageError("unknown option " + ToUtf8(arg));
    }
  }
  return line;
}

void PrintLine(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

// {"rc": N, "output": ...} on one line. The output is written as it is dumped, never copied into a
// line first: a large byte array costs its base64 text twice at most (the JSON and its dump).
void PrintReply(const JsonReply& reply) {
  const std::string head = "{\"rc\": " + std::to_string(reply.outcome.rc) + ", \"output\": ";
  const std::string output = DumpJson(reply.output);
  fwrite(head.data(), 1, head.size(), stdout);
  fwrite(output.data(), 1, output.size(), stdout);
  PrintLine("}");
}

std::string HresultText(HRESULT hr) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

int RunCall(const CommandLine& line) {
  if (line.words.size() != 3) throw UsageError("usage: call SERVICE 'INPUT-JSON' [--requester NAME] [--rc N]");
  const Json input = ParseJson(ToUtf8(line.words[2]));
  {
    // Reject an unknown type tag before the module is loaded, let alone called.
    VariantArena arena;
    zel::ScopedVariant probe;
    JsonToVariant(input, probe.Get(), &arena);
  }
  HostSession session(line.options);
  const ModuleClient module(session, line.requester);
  const JsonReply reply = CallWithJson(module, line.requester, line.words[1], input, line.rc);
  if (FAILED(reply.outcome.delivery)) {
    std::cerr << "zelhost: the broker could not deliver " << ToUtf8(line.words[1]) << " ("
              << HresultText(reply.outcome.delivery) << ")\n";
    return kExitNotDelivered;
  }
  PrintReply(reply);
  return kExitDelivered;
}

// One request per input line, {"service", "input", "requester", "rc"} (only "service" required);
// one answer line each. A line that cannot be used answers {"error": ...} and is reported on
// stderr; serving goes on.
int RunServe(const CommandLine& line) {
  if (line.words.size() == 3 && line.words[1] == L"--http") {
    GatewayOptions gateway;
    gateway.console_folder = line.console_folder;
    gateway.allow_crash_service = line.allow_crash_service;
    return ServeHttp(line.options, line.words[2], gateway, line.until_input_ends);
  }
  if (line.words.size() != 2 || line.words[1] != L"--stdio") throw UsageError("usage: serve --stdio | serve --http [ADDRESS:]PORT [--console FOLDER]");
  HostSession session(line.options);
  const ModuleClient module(session, line.requester);
  std::string text;
  while (std::getline(std::cin, text)) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.find_first_not_of(" \t") == std::string::npos) continue;
    try {
      const Json request = ParseJson(text);
      if (!request.is_object() || !request.contains("service") || !request["service"].is_string()) {
        throw JsonError("a request needs \"service\" as a string");
      }
      const std::wstring requester =
          request.contains("requester") ? FromUtf8(request["requester"].get<std::string>()) : line.requester;
      const LONG rc = request.contains("rc") ? request["rc"].get<LONG>() : 0;
      const Json input = request.contains("input") ? request["input"] : Json(nullptr);
      const std::wstring service = FromUtf8(request["service"].get<std::string>());
      const JsonReply reply = CallWithJson(module, requester, service, input, rc);
      if (FAILED(reply.outcome.delivery)) {
        throw JsonError("the broker could not deliver " + ToUtf8(service) + " (" + HresultText(reply.outcome.delivery) + ")");
      }
      PrintReply(reply);
    } catch (const std::exception& error) {  // JsonError, and nlohmann's type errors
      std::cerr << "zelhost: " << error.what() << "\n";
      PrintLine("{\"error\": " + DumpJson(error.what()) + "}");
    }
  }
  return kExitDelivered;
}

// Serves as the desktop-search engine on 127.0.0.1 until the process is ended (or for --seconds);
// prints {"search_url": ...}, the value to give "search_url" (or --search-url) for it.
int RunSearchEngine(const CommandLine& line) {
  if (line.words.size() != 1) {
    throw UsageError("usage: search-engine [--port N] [--status N] [--body xml|empty|long|half|huge|silent|trickle|hang-up] "
                     "[--charset utf-8|windows-1252|iso-8859-1|none] [--delay-ms N] [--seconds N]");
  }
  SearchEngineStandIn engine(line.engine);
  PrintLine("{\"search_url\": " + DumpJson(ToUtf8(engine.SearchUrl())) + "}");
  const DWORD seconds = line.engine_seconds;
  ::Sleep(seconds > 0 && seconds < INFINITE / 1000 ? seconds * 1000 : INFINITE);
  return kExitDelivered;
}

int Run(const std::vector<std::wstring>& args) {
  try {
    const CommandLine line = Parse(args);
    if (line.words.size() == 1 && line.words[0] == L"version") {
      PrintLine("zelhost 1.0");
      return 0;
    }
    if (line.words.empty()) throw UsageError("usage: zelhost [options] call|serve|search-engine ...");
    if (line.words[0] == L"call") return RunCall(line);
    if (line.words[0] == L"serve") return RunServe(line);
    if (line.words[0] == L"search-engine") return RunSearchEngine(line);
    throw UsageError("unknown command " + ToUtf8(line.words[0]));
  } catch (const UsageError& error) {
    std::cerr << "zelhost: " << error.what() << "\n";
    return kExitUsage;
  } catch (const JsonError& error) {
    std::cerr << "zelhost: " << error.what() << "\n";
    return kExitUsage;
  } catch (const std::exception& error) {
    std::cerr << "zelhost: " << error.what() << "\n";
    return kExitHostFailed;
  }
}

}  // namespace
}  // namespace zelhost

int wmain(int argc, wchar_t** argv) {
  zelhost::InstallCrashHandling();
  _setmode(_fileno(stdout), _O_BINARY);  // JSON lines end in LF, bytes are UTF-8
  _setmode(_fileno(stdin), _O_BINARY);
  std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == L"--version") args[0] = L"version";
  return zelhost::Run(args);
}
