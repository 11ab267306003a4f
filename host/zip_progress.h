#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "common/tk_section.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace zelhost {

// How far the job behind an announced zip has written its archive, for a page whose download the
// browser saves by itself and so cannot count:
//   GET /api/zip/{id}/progress -> {"written": bytes on disk now, "size": the announced size}
// 404 for an id never announced, 410 once its archive is gone (downloaded and deleted, expired,
// or its job failed). The archive's own size on disk is the measure: the job writes a stored
// archive front to back, so what is on disk is what it has written.
class ZipProgress {
 public:
  // Remembers the archive behind a download id. Archives deleted since the last call are
  // forgotten here, so what is remembered never outgrows the archives that exist.
  void Track(const std::string& id, const std::wstring& path, uint64_t size);

  // The gateway deleted this archive: its id answers 410 until the next Track forgets it.
  void Deleted(const std::wstring& path);

  // The route's answer for request.matches[1]. Never throws.
  void Answer(const httplib::Request& request, httplib::Response& response);

 private:
  struct Archive {
    std::wstring path;
    uint64_t size = 0;
    bool deleted = false;
  };

  zel::TkSection lock_;
  std::map<std::string, Archive> archives_;  // by download id; guarded by lock_
};

}  // namespace zelhost
