#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "archive_shelf.h"
#include "console_files.h"
#include "host_session.h"
#include "http_access.h"
#include "module_client.h"
#include "zip_progress.h"

namespace httplib {
class DataSink;
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace zelhost {

struct GatewayOptions {
  std::string address = "127.0.0.1";
  int port = 0;                 // 0: any free port
  std::wstring console_folder;  // the console's files for editing them without a rebuild; empty: the built-in ones
  bool allow_crash_service = false;  // "GenerateCrash" ends the process: refused unless asked for
};

// The module over HTTP, in front of the host's broker. The gateway's own routes answer JSON with
// named fields; a failed module call answers by the one rule of module_status.h with
// {"error", "service", "rc"}:
//   POST /api/services/{name}  {"input", "requester", "rc"} -> {"rc", "output"} (the JSON of `call`);
//                              "GenerateCrash" only with GatewayOptions::allow_crash_service
//   GET  /api/files?path=P     the file through "GetFileInfo" and "GetFile", in bounded pieces,
//                              one byte range on request
//   POST /api/zip              {"ids": [...], "name"} -> "CreateZip" ->
//                              {"id", "url", "name", "size", "leftOut": [{"path", "reason"}, ...]}
//   GET  /api/zip/{id}         the archive while the job writes it, then deleted (unfetched ones
//                              after ArchiveShelf::kKeepMs, and all when the gateway goes)
//   GET  /api/zip/{id}/progress how far its job has written it (zip_progress.h)
//   GET  /api/logs?size=N      the log's tail ("my-ZEL_TailLog") -> {"path", "fileSize", "length", "text"}
//   GET  /api/logs.zip         every log as one archive ("ZipLogs"), then deleted
//   GET  /api/host/prefixes    the medium-id prefix table of zel.xml (http_prefixes.h)
//   GET  /NAME                 the console's files (console_files.h), "/" its page
// Every request passes HttpAccess first. The server's threads call the broker directly.
class HttpGateway {
 public:
  // Binds at once; throws HostError when it cannot.
  HttpGateway(HostSession& session, const GatewayOptions& options, HttpAccess access = HttpAccess());
  ~HttpGateway();
  HttpGateway(const HttpGateway&) = delete;
  HttpGateway& operator=(const HttpGateway&) = delete;

  int Port() const noexcept { return port_; }
  const HttpAccess& Access() const noexcept { return access_; }
  std::string ConsoleAddress() const { return access_.ConsoleAddress(options_.address, port_); }

  // Serves until Stop() (from another thread); false when the server failed.
  bool Run();
  void Stop();
  // Whether Run() serves by now: a Stop() before that is lost.
  bool Serving() const;

  // The largest piece asked of "GetFile" at a time: what one download holds in memory.
  static constexpr size_t kPieceBytes = 1 << 20;

 private:
  // What a download reads, and so what it waits for, what it allows and what follows it.
  enum class DownloadKind {
    kFile,             // a finished file: a single byte range may be asked for
    kGrowingArchive,   // a zip job still writes it: wait for bytes not there yet; deleted after
    kFinishedArchive,  // an archive already complete ("ZipLogs"): deleted after
  };
  struct Download {
    DownloadKind kind = DownloadKind::kFile;
    std::wstring path;
    uint64_t size = 0;
    std::string name;
    bool Growing() const noexcept { return kind == DownloadKind::kGrowingArchive; }
    bool Temporary() const noexcept { return kind != DownloadKind::kFile; }  // an archive of the shelf, deleted when the download ends
    bool Ranges() const noexcept { return kind == DownloadKind::kFile; }
  };

  // What "GetFile" answers for at most `size` bytes at `offset`; null when the call failed.
  std::unique_ptr<FileBytes> FetchPiece(const std::wstring& path, uint64_t offset, size_t size);
  // Sends the next bytes of an archive a zip job is still writing: waits for bytes not written
  // yet, and sends the last ones only once the job has left exactly the announced archive. False
  // (the connection is cut) when the job failed, was cancelled or stopped adding bytes.
  bool SendGrowing(const Download& download, uint64_t offset, size_t size, httplib::DataSink& sink);
  void DeleteTempFile(const std::wstring& path);

  void CallService(const httplib::Request& request, httplib::Response& response);
  void GetFile(const httplib::Request& request, httplib::Response& response);
  void CreateZip(const httplib::Request& request, httplib::Response& response);
  void GetZip(const httplib::Request& request, httplib::Response& response);
  void TailLog(const httplib::Request& request, httplib::Response& response);
  void PrefixTable(const httplib::Request& request, httplib::Response& response);
  void ZipLogs(const httplib::Request& request, httplib::Response& response);
  void Stream(const httplib::Request& request, httplib::Response& response, const Download& download);

  ModuleClient module_;
  GatewayOptions options_;
  HttpAccess access_;
  ConsoleFiles console_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  ZipProgress zip_progress_;
  ArchiveShelf archives_;  // the destructor ends server_, whose downloads release archives, before it goes
};

// `zelhost serve --http [ADDRESS:]PORT`: prints {"console", "token", "port"} once it listens, then
// serves until the process ends, or, with `until_input_ends`, until its standard input ends (the
// gateway then stops and deletes the archives it made). Throws HostError.
int ServeHttp(const HostOptions& options, const std::wstring& listen, GatewayOptions gateway_options,
              bool until_input_ends);

}  // namespace zelhost
