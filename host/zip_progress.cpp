#include "zip_progress.h"

#include <windows.h>

#include <httplib.h>

#include <mutex>
#include <optional>

#include "common/unique_handle.h"
#include "http_access.h"
#include "json_variant.h"

namespace zelhost {
namespace {

// The archive's size on disk, nullopt when it is gone. Asking for its attributes alone needs no
// share with the job, which holds it open for writing; a directory listing's size could lag behind
// an open file on some file systems.
std::optional<uint64_t> SizeOnDisk(const std::wstring& path) {
  const zel::UniqueFile file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER size{};
  if (!file || !::GetFileSizeEx(file.Get(), &size)) return std::nullopt;
  return static_cast<uint64_t>(size.QuadPart);
}

}  // namespace

void ZipProgress::Track(const std::string& id, const std::wstring& path, uint64_t size) {
  std::lock_guard<zel::TkSection> lock(lock_);
  for (auto it = archives_.begin(); it != archives_.end();) {
    it = it->second.deleted ? archives_.erase(it) : std::next(it);
  }
  archives_[id] = {path, size};
}

void ZipProgress::Deleted(const std::wstring& path) {
  std::lock_guard<zel::TkSection> lock(lock_);
  for (auto& [id, archive] : archives_) archive.deleted = archive.deleted || archive.path == path;
}

void ZipProgress::Answer(const httplib::Request& request, httplib::Response& response) {
  Archive archive;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    const auto found = archives_.find(request.matches[1]);
    if (found == archives_.end()) {
      AnswerError(response, 404, "no such archive");
      return;
    }
    archive = found->second;
  }
  const std::optional<uint64_t> written = archive.deleted ? std::nullopt : SizeOnDisk(archive.path);
  if (!written) {
    AnswerError(response, 410, "the archive is gone: downloaded, expired or its job failed");
    return;
  }
  response.set_content(DumpJson(Json{{"written", *written}, {"size", archive.size}}), "application/json");
}

}  // namespace zelhost
