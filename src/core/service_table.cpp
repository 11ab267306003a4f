#include "core/service_table.h"

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

// The row shapes. Each decodes the input into its service's typed request (the decoder named
// first), then runs the handler with the part of the module it needs: none, one part, the router
// of medium ids, or the requester too.
#define ZEL_DECODED(decode, handler) \
  [](ServiceCall& call) -> LONG { return handler(decode(call.input), call.output); }
#define ZEL_NO_INPUT(handler) [](ServiceCall& call) -> LONG { return handler(call.output); }
#define ZEL_PART_ONLY(part, handler) [](ServiceCall& call) -> LONG { return handler(call.module.part, call.output); }
#define ZEL_WITH(part, decode, handler) \
  [](ServiceCall& call) -> LONG { return handler(call.module.part, decode(call.input), call.output); }
#define ZEL_ROUTED(decode, handler) ZEL_WITH(Router(), decode, handler)
// Services that answer with their return code alone.
#define ZEL_ROUTED_CODE(decode, handler) \
  [](ServiceCall& call) -> LONG { return handler(call.module.Router(), decode(call.input)); }
#define ZEL_REQUESTER(part, decode, handler) \
  [](ServiceCall& call) -> LONG { return handler(call.module.part, call.requester, decode(call.input), call.output); }
// The zip services turn medium ids into paths through the medium-list query.
#define ZEL_ZIP_RESOLVER                                                                   \
  [&call](const std::wstring& first, const VARIANT& ids, std::vector<std::wstring>* paths) { \
    return media::GetMediumListPath(call.module.Router(), first, ids, paths);               \
  }

// The WARN line and codes each family answers bad input and other errors with.
constexpr ErrorMap Minus1(const wchar_t* warn_format) { return {warn_format, -1, -1}; }
constexpr ErrorMap kGetMedium = Minus1(L"GetMediumFromId: %s");
constexpr ErrorMap kPlaylistCreate = Minus1(L"PlaylistCreate: %s");
// Bad input of "GoogleDesktopSearch" reaches the dispatcher after the service set the return code to 0.
constexpr ErrorMap kSearch{L"Onservicerequested exception: %s", 0, 0};

const ServiceEntry kServiceTable[kServiceCount] = {
    {0, L"GetFileInfo", ZEL_DECODED(files::DecodeFileInfoRequest, files::GetFileInfo), Minus1(L"GetFileInfo: %s")},
    {1, L"GetFile", ZEL_DECODED(files::DecodeFileRangeRequest, files::GetFile), Minus1(L"GetFile: %s")},
    {2, L"GetMediumFromId", ZEL_ROUTED(media::DecodeIdRequest, media::GetMediumFromId), kGetMedium},
    {3, L"GetMediumInfoFromId", ZEL_ROUTED(media::DecodeIdRequest, media::GetMediumInfoFromId), kGetMedium},
    {4, L"GetMediumListInfoFromId", ZEL_ROUTED(media::DecodeListRequest, media::GetMediumListInfoFromId),
     Minus1(L"GetMediumListFromId: %s")},
    {5, L"my-ZEL_GetVersion", ZEL_NO_INPUT(files::GetVersion)},
    {6, L"my-ZEL_TailLog", ZEL_DECODED(files::DecodeTailRequest, files::TailLog), {L"my-ZEL_TailLog: %s", 1, -1}},
    {7, L"GetAudioCategoryTotals", ZEL_WITH(Channel(), media::DecodeTotalsRequest, media::GetAudioCategoryTotals),
     kReachesDispatcher},
    {8, L"GetTVCategoryTotals", ZEL_PART_ONLY(Channel(), media::GetTVCategoryTotals)},
    {9, L"MultiRequest",
     [](ServiceCall& call) -> LONG {
       return media::MakeGroupedRequest(call.module.channel, call.module.sub_requests,
                                        media::DecodeGroupRequest(call.input), call.output);
     },
     {L"MakeGroupedRequest exception: %s", 1, 1}},
    {10, L"QueryFileSize",
     [](ServiceCall& call) -> LONG {
       return zip::QueryFileSize(zip::DecodeZipRequest(call.input), call.output, ZEL_ZIP_RESOLVER);
     },
     Minus1(L"QueryFileSize: %s")},
    {11, L"CreateZip",
     [](ServiceCall& call) -> LONG {
       return zip::CreateZip(call.module.zip_jobs, zip::DecodeZipRequest(call.input), call.output, ZEL_ZIP_RESOLVER);
     },
     Minus1(L"CreateZip: %s")},
    {12, L"DeleteTempFile",
     [](ServiceCall& call) {
       return zip::DeleteTempFile(call.module.zip_jobs, zip::DecodeDeleteRequest(call.input));
     },
     Minus1(L"DeleteTempFile: %s")},
    {13, L"ZipLogs", ZEL_DECODED(zip::DecodeLogsRequest, zip::ZipLogs), Minus1(L"ZipLogs: %s")},
    {14, L"GetZelDataFolder", ZEL_NO_INPUT(files::GetZelDataFolder)},
    {15, L"Register Custom MediumId",
     ZEL_REQUESTER(prefixes, media::DecodeCustomMediumId, media::RegisterCustomMediumId),
     {L"RegisterCustomMediumId exception: %s", 1, 1}},
    {16, L"Register Custom DVR",
     [](ServiceCall& call) {
       return media::RegisterCustomDvr(call.module.dvrs, call.requester, media::DecodeCustomDvr(call.input));
     },
     {L"RegisterCustomDVR exception: %s", 1, 1}},
    {17, L"Get Registered DVRs", ZEL_PART_ONLY(dvrs, media::GetRegisteredDvrs)},
    {18, L"IsMediumShared", ZEL_ROUTED_CODE(media::DecodeShareRequest, media::IsMediumShared),
     Minus1(L"IsMediumShared: %s")},
    {19, L"SetPlayPosition", ZEL_ROUTED(media::DecodeIdRequest, media::SetPlayPosition),
     Minus1(L"SetPlayPosition: %s")},
    {20, L"GetPlaylistFromId", ZEL_ROUTED(media::DecodeIdRequest, media::GetPlaylistFromId), kGetMedium},
    {21, L"PlaylistNew", ZEL_ROUTED(media::DecodeIdRequest, media::PlaylistService<media::PlaylistOperation::kNew>),
     kPlaylistCreate},
    {22, L"PlaylistDestroy",
     ZEL_ROUTED(media::DecodeIdRequest, media::PlaylistService<media::PlaylistOperation::kDestroy>),
     Minus1(L"PlaylistDestroy: %s")},
    {23, L"PlaylistClear", ZEL_ROUTED(media::DecodeIdRequest, media::PlaylistService<media::PlaylistOperation::kClear>),
     Minus1(L"PlaylistClear: %s")},
    {24, L"PlaylistAdd", ZEL_ROUTED(media::DecodeIdRequest, media::PlaylistService<media::PlaylistOperation::kAdd>),
     Minus1(L"PlaylistAdd: %s")},
    {25, L"PlaylistDelete",
     ZEL_ROUTED(media::DecodeIdRequest, media::PlaylistService<media::PlaylistOperation::kDelete>),
     Minus1(L"PlaylistDelete: %s")},
    {26, L"PlaylistGet", ZEL_ROUTED(media::DecodeIdRequest, media::PlaylistService<media::PlaylistOperation::kGet>),
     Minus1(L"PlaylistGet: %s")},
    {27, L"PlaylistReorder",
     ZEL_ROUTED(media::DecodeIdRequest, media::PlaylistService<media::PlaylistOperation::kReorder>),
     Minus1(L"PlaylistReorder: %s")},
    {28, L"PlaylistListAll", ZEL_ROUTED(media::DecodeLibraryRequest, media::PlaylistListAll),
     Minus1(L"PlaylistListAll: %s")},
    {29, L"SetPlaylistPlayPosition", ZEL_ROUTED(media::DecodeIdRequest, media::SetPlayPosition),
     Minus1(L"SetPlayPosition: %s")},
    {30, L"PlaylistCreateAndSet", ZEL_ROUTED_CODE(media::DecodePlaylistItemRequest, media::PlaylistCreateAndSet),
     kPlaylistCreate},
    {31, L"PlaylistAddItems", ZEL_ROUTED_CODE(media::DecodePlaylistItemRequest, media::PlaylistAddItems),
     kPlaylistCreate},
    {32, L"PlaylistGetCount", ZEL_ROUTED(media::DecodePlaylistItemRequest, media::PlaylistGetCount), kPlaylistCreate},
    // Browsing switched off answers 403 before the input is read.
    {33, L"GetDiskFolderContent",
     [](ServiceCall& call) -> LONG {
       if (browse::BrowsingSwitchedOff()) return 403;
       return browse::GetDiskFolderContent(call.module.local_media, browse::DecodeFolderRequest(call.input),
                                           call.output);
     },
     {L"KroServiceGetFolderContent exception: %s", 1, 1}},
    {34, L"StartUpload", nullptr},  // registered for the broker; never dispatched
    {35, L"SendData", nullptr},
    {36, L"StopUpload", nullptr},
    {37, L"GoogleDesktopSearch",
     [](ServiceCall& call) {
       return search::GoogleDesktopSearch(call.requester, search::DecodeSearchRequest(call.input), call.output);
     },
     kSearch},
    {38, L"GetZelConfig", ZEL_NO_INPUT(files::GetZelConfig), {L"KroServiceGetConfig exception: %s", 0, 0}},
    {39, L"GenerateCrash", [](ServiceCall& call) { return files::GenerateCrash(files::DecodeCrashMode(call.input)); }},
};

void StartServices(const ModuleParts& parts) { parts.zip_jobs.Start(); }

void StopServices(const ModuleParts& parts) {
  constexpr DWORD kZipStopWaitMs = 10000;
  parts.zip_jobs.Stop(kZipStopWaitMs);
}

#undef ZEL_DECODED
#undef ZEL_NO_INPUT
#undef ZEL_PART_ONLY
#undef ZEL_WITH
#undef ZEL_ROUTED
#undef ZEL_ROUTED_CODE
#undef ZEL_REQUESTER
#undef ZEL_ZIP_RESOLVER

}  // namespace zel::core
