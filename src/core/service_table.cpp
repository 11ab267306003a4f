#include "core/service_table.h"

#include "common/scoped_variant.h"
#include "common/wide_error.h"
#include "browse/folder_content.h"
#include "files/file_transfer.h"
#include "files/crash_service.h"
#include "files/host_config.h"
#include "files/tail_log.h"
#include "files/version_info.h"
#include "media/category_totals.h"
#include "media/grouped_request.h"
#include "media/lookup_services.h"
#include "media/playlist_services.h"
#include "media/registrations.h"
#include "search/desktop_search.h"
#include "zip/zip_jobs.h"
#include "zip/zip_logs.h"

namespace zel::core {

// The handler call shapes: most handlers take the input and the output only.
#define ZEL_ORDINARY(handler) [](ServiceCall& call) -> LONG { return handler(call.input, call.output); }
// Handlers given one part of the module: the channel, the router of medium ids, ...
#define ZEL_WITH(part, handler) \
  [](ServiceCall& call) -> LONG { return handler(call.module.part, call.input, call.output); }
#define ZEL_ROUTED(handler) ZEL_WITH(Router(), handler)
#define ZEL_REQUESTER(part, handler) \
  [](ServiceCall& call) -> LONG { return handler(call.module.part, call.requester, call.input, call.output); }
// The zip services turn medium ids into paths through the medium-list query.
#define ZEL_ZIP_RESOLVER                                                                   \
  [&call](const std::wstring& first, const VARIANT& ids, std::vector<std::wstring>* paths) { \
    return media::GetMediumListPath(call.module.Router(), first, ids, paths);              \
  }
// "GoogleDesktopSearch" runs on no object, with the requester, a copy of the input that it owns
// and the request's own return-code location: it sets the code before an input error leaves it.
#define ZEL_REQUESTER_COPY_RC(handler)                                                               \
  [](ServiceCall& call) -> LONG {                                                                    \
    ScopedVariant copy;                                                                              \
    if (FAILED(copy.CopyFrom(call.input))) throw WideError(L"The input could not be copied");       \
    return handler(call.requester, *copy, call.output, call.return_code);                           \
  }

const ServiceEntry kServiceTable[kServiceCount] = {
    {0, L"GetFileInfo", ZEL_ORDINARY(files::GetFileInfo)},
    {1, L"GetFile", ZEL_ORDINARY(files::GetFile)},
    {2, L"GetMediumFromId", ZEL_ROUTED(media::GetMediumFromId)},
    {3, L"GetMediumInfoFromId", ZEL_ROUTED(media::GetMediumInfoFromId)},
    {4, L"GetMediumListInfoFromId", ZEL_ROUTED(media::GetMediumListInfoFromId)},
    {5, L"my-ZEL_GetVersion", ZEL_ORDINARY(files::GetVersion)},
    {6, L"my-ZEL_TailLog", ZEL_ORDINARY(files::TailLog)},
    {7, L"GetAudioCategoryTotals", ZEL_WITH(Channel(), media::GetAudioCategoryTotals)},
    {8, L"GetTVCategoryTotals", ZEL_WITH(Channel(), media::GetTVCategoryTotals)},
    {9, L"MultiRequest", [](ServiceCall& call) -> LONG {
       return media::MakeGroupedRequest(call.module.channel, call.module.sub_requests, call.input, call.output);
     }},
    {10, L"QueryFileSize", [](ServiceCall& call) -> LONG { return zip::QueryFileSize(call.input, call.output, ZEL_ZIP_RESOLVER); }},
    {11, L"CreateZip",
     [](ServiceCall& call) -> LONG { return zip::CreateZip(call.module.zip_jobs, call.input, call.output, ZEL_ZIP_RESOLVER); }},
    {12, L"DeleteTempFile", ZEL_WITH(zip_jobs, zip::DeleteTempFile)},
    {13, L"ZipLogs", ZEL_ORDINARY(zip::ZipLogs)},
    {14, L"GetZelDataFolder", ZEL_ORDINARY(files::GetZelDataFolder)},
    {15, L"Register Custom MediumId", ZEL_REQUESTER(prefixes, media::RegisterCustomMediumId)},
    {16, L"Register Custom DVR", ZEL_REQUESTER(dvrs, media::RegisterCustomDvr)},
    {17, L"Get Registered DVRs", ZEL_WITH(dvrs, media::GetRegisteredDvrs)},
    {18, L"IsMediumShared", ZEL_ROUTED(media::IsMediumShared)},
    {19, L"SetPlayPosition", ZEL_ROUTED(media::SetPlayPosition)},
    {20, L"GetPlaylistFromId", ZEL_ROUTED(media::GetPlaylistFromId)},
    {21, L"PlaylistNew", ZEL_ROUTED(media::PlaylistService<media::PlaylistOperation::kNew>)},
    {22, L"PlaylistDestroy", ZEL_ROUTED(media::PlaylistService<media::PlaylistOperation::kDestroy>)},
    {23, L"PlaylistClear", ZEL_ROUTED(media::PlaylistService<media::PlaylistOperation::kClear>)},
    {24, L"PlaylistAdd", ZEL_ROUTED(media::PlaylistService<media::PlaylistOperation::kAdd>)},
    {25, L"PlaylistDelete", ZEL_ROUTED(media::PlaylistService<media::PlaylistOperation::kDelete>)},
    {26, L"PlaylistGet", ZEL_ROUTED(media::PlaylistService<media::PlaylistOperation::kGet>)},
    {27, L"PlaylistReorder", ZEL_ROUTED(media::PlaylistService<media::PlaylistOperation::kReorder>)},
    {28, L"PlaylistListAll", ZEL_ROUTED(media::PlaylistListAll)},
    {29, L"SetPlaylistPlayPosition", ZEL_ROUTED(media::SetPlayPosition)},
    {30, L"PlaylistCreateAndSet", ZEL_ROUTED(media::PlaylistCreateAndSet)},
    {31, L"PlaylistAddItems", ZEL_ROUTED(media::PlaylistAddItems)},
    {32, L"PlaylistGetCount", ZEL_ROUTED(media::PlaylistGetCount)},
    {33, L"GetDiskFolderContent",
     ZEL_WITH(local_media, browse::GetDiskFolderContent)},
    {34, L"StartUpload", nullptr},  // registered for the broker; never dispatched
    {35, L"SendData", nullptr},
    {36, L"StopUpload", nullptr},
    {37, L"GoogleDesktopSearch", ZEL_REQUESTER_COPY_RC(search::GoogleDesktopSearch)},
    {38, L"GetZelConfig", ZEL_ORDINARY(files::GetZelConfig)},
    {39, L"GenerateCrash", ZEL_ORDINARY(files::GenerateCrash)},
};

void StartServices(const ModuleParts& parts) { parts.zip_jobs.Start(); }

void StopServices(const ModuleParts& parts) {
  constexpr DWORD kZipStopWaitMs = 10000;
  parts.zip_jobs.Stop(kZipStopWaitMs);
}

#undef ZEL_ORDINARY
#undef ZEL_WITH
#undef ZEL_ROUTED
#undef ZEL_REQUESTER
#undef ZEL_REQUESTER_COPY_RC
#undef ZEL_ZIP_RESOLVER

}  // namespace zel::core
