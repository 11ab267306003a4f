#include "core/service_table.h"

#include "files/file_transfer.h"
#include "zip/zip_jobs.h"
#include "zip/zip_logs.h"

namespace zel {

// The handler call shapes: most handlers take the input and the output only.
#define ZEL_ORDINARY(handler) [](ServiceCall& call) -> LONG { return handler(call.input, call.output); }

const ServiceEntry kServiceTable[kServiceCount] = {
    {0, L"GetFileInfo", ZEL_ORDINARY(files::GetFileInfo)},
    {1, L"GetFile", ZEL_ORDINARY(files::GetFile)},
    {2, L"GetMediumFromId", nullptr},
    {3, L"GetMediumInfoFromId", nullptr},
    {4, L"GetMediumListInfoFromId", nullptr},
    {5, L"my-ZEL_GetVersion", nullptr},
    {6, L"my-ZEL_TailLog", nullptr},
    {7, L"GetAudioCategoryTotals", nullptr},
    {8, L"GetTVCategoryTotals", nullptr},
    {9, L"MultiRequest", nullptr},
    {10, L"QueryFileSize", nullptr},
    {11, L"CreateZip", nullptr},
    {12, L"DeleteTempFile", ZEL_ORDINARY(zip::DeleteTempFile)},
    {13, L"ZipLogs", ZEL_ORDINARY(zip::ZipLogs)},
    {14, L"GetZelDataFolder", nullptr},
    {15, L"Register Custom MediumId", nullptr},
    {16, L"Register Custom DVR", nullptr},
    {17, L"Get Registered DVRs", nullptr},
    {18, L"IsMediumShared", nullptr},
    {19, L"SetPlayPosition", nullptr},
    {20, L"GetPlaylistFromId", nullptr},
    {21, L"PlaylistNew", nullptr},
    {22, L"PlaylistDestroy", nullptr},
    {23, L"PlaylistClear", nullptr},
    {24, L"PlaylistAdd", nullptr},
    {25, L"PlaylistDelete", nullptr},
    {26, L"PlaylistGet", nullptr},
    {27, L"PlaylistReorder", nullptr},
    {28, L"PlaylistListAll", nullptr},
    {29, L"SetPlaylistPlayPosition", nullptr},
    {30, L"PlaylistCreateAndSet", nullptr},
    {31, L"PlaylistAddItems", nullptr},
    {32, L"PlaylistGetCount", nullptr},
    {33, L"GetDiskFolderContent", nullptr},
    {34, L"StartUpload", nullptr},  // registered for the broker; never dispatched
    {35, L"SendData", nullptr},
    {36, L"StopUpload", nullptr},
    {37, L"GoogleDesktopSearch", nullptr},
    {38, L"GetZelConfig", nullptr},
    {39, L"GenerateCrash", nullptr},
};

#undef ZEL_ORDINARY

}  // namespace zel
