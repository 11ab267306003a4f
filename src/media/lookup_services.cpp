#include "media/lookup_services.h"

#include <new>
#include <optional>
#include <string>

#include "browse/local_media.h"
#include "common/answer.h"
#include "common/module_log.h"
#include "common/scoped_variant.h"
#include "common/vutil.h"
#include "media/medium_route.h"
#include "media/prefix_table.h"
#include "media/satellite_request.h"

namespace zel::media {
namespace {

// The columns of the lookup routing table, one per service (GetMediumListPath shares the list
// column; SetPlaylistPlayPosition the play-position one).
enum Column { kGetMedium, kGetInfo, kGetList, kIsShared, kSetPosition, kColumns };

// What a service does with ids of one kind.
struct Cell {
  enum Kind { kForward, kLocal, kRefuse } kind;
  Owner owner;                // kForward: who answers
  const wchar_t* operation;   // kForward: the satellite's operation; null: the prefix entry names it
  LONG refusal;               // kRefuse: the answer, 403 or 404
};

constexpr Cell Forward(Owner owner, const wchar_t* operation) { return {Cell::kForward, owner, operation, 0}; }
constexpr Cell kLocal{Cell::kLocal, kNoOwner, nullptr, 0};
constexpr Cell kRefused{Cell::kRefuse, kNoOwner, nullptr, 403};
constexpr Cell kNotFound{Cell::kRefuse, kNoOwner, nullptr, 404};

struct LookupRoute {
  const wchar_t* lead;
  Cell cells[kColumns];
};

// The file operations of a media library satellite.
constexpr LookupRoute Library(const wchar_t* lead, const wchar_t* satellite, bool checks_shares) {
  return {lead,
          {Forward(Satellite(satellite), L"GetFileFromId"), Forward(Satellite(satellite), L"GetFileInfoFromId"),
           Forward(Satellite(satellite), L"GetFileListInfoFromId"),
           checks_shares ? Forward(Satellite(satellite), L"ShareCheckFile") : kRefused,
           Forward(Satellite(satellite), L"SetFilePlayPosition")}};
}

// Tested in order: "TI" must come before "T".
constexpr LookupRoute kLookupRoutes[] = {
    Library(L"O", kZidAvara, true),
    Library(L"M", kDiRuzov, true),
    Library(L"P", kRiRodera, true),
    Library(L"V", kRuRuruvi, true),
    Library(L"R", kZiRuz, false),
    Library(L"TI", kZidAvara, true),
    {L"T",
     {Forward(Satellite(kAnyTarget), L"GetChannelFromId"), Forward(Satellite(kAnyTarget), L"GetChannelInfoFromId"),
      Forward(Satellite(kAnyTarget), L"GetChannelListInfoFromId"), kRefused,
      Forward(Satellite(kAnyTarget), L"SetTVPlayPosition")}},
    {L"D",
     {Forward(kDeviceOwner, L"GetDeviceFromId"), Forward(Satellite(kAnyTarget), L"GetDeviceInfoFromId"),
      Forward(Satellite(kAnyTarget), L"GetDeviceListInfoFromId"), kRefused,
      Forward(kDeviceOwner, L"SetDevicePlayPosition")}},
    {L"X",
     {Forward(kCustomOwner, nullptr), Forward(kCustomOwner, nullptr), Forward(kCustomOwner, nullptr),
      Forward(kCustomOwner, nullptr), Forward(kCustomOwner, L"SetFilePlayPosition")}},
    {L"F", {kLocal, kLocal, kLocal, kLocal, kNotFound}},
};

// The operation a registered satellite named for each column.
constexpr std::wstring PrefixEntry::*kCustomOperations[kColumns] = {
    &PrefixEntry::getMediumFromId, &PrefixEntry::getMediumInfoFromId, &PrefixEntry::getMediumListInfoFromId,
    &PrefixEntry::isMediumShared, nullptr};

// Where a request for `id` goes.
struct Destination {
  Cell::Kind kind = Cell::kRefuse;
  LONG refusal = 0;
  std::wstring target;
  std::wstring operation;
};

Destination Route(const MediumRouter& router, Column column, const std::wstring& id) {
  Destination destination;
  const LookupRoute* row = FindRoute(kLookupRoutes, id);
  if (row == nullptr) {
    destination.refusal = column == kIsShared ? 403 : 404;
    return destination;
  }
  const Cell& cell = row->cells[column];
  destination.kind = cell.kind;
  destination.refusal = cell.refusal;
  if (cell.kind != Cell::kForward) return destination;

  if (cell.owner.kind == OwnerKind::kCustom) {
    // One look-up gives the satellite and its operation; the table lock is not held past it.
    std::optional<PrefixEntry> entry = router.prefixes.Find(PrefixKeyOf(id));
    if (!entry) return {Cell::kRefuse, 404, {}, {}};
    destination.target = std::move(entry->satellite);
    destination.operation = cell.operation != nullptr ? cell.operation : (*entry).*kCustomOperations[column];
    return destination;
  }
  std::optional<std::wstring> target = TargetOf(router.prefixes, cell.owner, id);
  if (!target) return {Cell::kRefuse, 404, {}, {}};
  destination.target = std::move(*target);
  destination.operation = cell.operation;
  return destination;
}

int ElapsedSince(DWORD start) { return static_cast<int>(::GetTickCount() - start); }

// A record string as an answer: its text, or a null string where the record has none.
ScopedVariant RecordText(const _bstr_t& text) {
  const wchar_t* chars = text;
  return chars != nullptr ? answer::String(std::wstring_view(chars, text.length())) : answer::NullString();
}

// Builds [string0, string1, empty, string3, string4]; an absent string is a null BSTR.
void PutRecord(const MediumRecord& record, VARIANT& output) {
  answer::List(RecordText(record.string0), RecordText(record.string1), ScopedVariant(), RecordText(record.string3),
               RecordText(record.string4))
      .ReleaseInto(output);
}

// The local share check: the module keeps no share state for local files, so a well-formed
// question (exactly three strings) is always answered "undetermined".
LONG LocalShareCheck(const ShareRequest& request) {
  if (request.elements != 3) throw WideError::Input(input::kWrongShape);
  for (const input::Text* text : {&request.first, &request.second, &request.id}) {
    if (text->form() == input::Text::Form::kAbsent) throw WideError::Input(input::kWrongType);
  }
  return 1;
}

// The path of one list-information item: the value of its first pair named "path" (any case).
std::optional<std::wstring> PathOf(const VARIANT& item) {
  const LONG pairs = VUtil::GetArrayLength(item);
  for (LONG i = 0; i < pairs; ++i) {
    ScopedVariant pair;
    VUtil::GetElement(item, i, pair.Get());
    if (_wcsicmp(VUtil::GetStringElement(*pair, 0).c_str(), L"path") == 0) return VUtil::GetStringElement(*pair, 1);
  }
  return std::nullopt;
}

}  // namespace

LONG GetMediumFromId(const MediumRouter& router, const IdRequest& request, VARIANT& output) {
  const DWORD start = ::GetTickCount();
  if (request.id.Missing()) return 1;
  const Destination to = Route(router, kGetMedium, request.id.Value());
  if (to.kind == Cell::kRefuse) return to.refusal;
  if (to.kind == Cell::kLocal) return router.local_media.GetFileFromId(request.passed, request.id.Value(), output);
  MediumRecord record;
  const LONG code = MakeRecordRequest(router.channel, to.target, to.operation, *request.whole, &record);
  if (code != 0) return code;
  PutRecord(record, output);
  ModuleLog().Debug(L"GetMediumFromId function returned in %dms", ElapsedSince(start));
  return 0;
}

LONG GetMediumInfoFromId(const MediumRouter& router, const IdRequest& request, VARIANT& output) {
  const DWORD start = ::GetTickCount();
  if (request.id.Missing()) return 1;
  const Destination to = Route(router, kGetInfo, request.id.Value());
  if (to.kind == Cell::kRefuse) return to.refusal;
  if (to.kind == Cell::kLocal) return router.local_media.GetFileInfoFromId(request.passed, request.id.Value(), output);
  const LONG code = MakeValueRequest(router.channel, to.target, to.operation, *request.whole, output);
  if (code == 0) ModuleLog().Debug(L"GetMediumInfoFromId function returned in %dms", ElapsedSince(start));
  return code;
}

LONG GetMediumListInfoFromId(const MediumRouter& router, const ListRequest& request, VARIANT& output) {
  const DWORD start = ::GetTickCount();
  if (request.list.first.Missing()) return 1;
  const Destination to = Route(router, kGetList, request.list.first.Value());
  if (to.kind == Cell::kRefuse) return to.refusal;
  if (to.kind == Cell::kLocal) {
    if (request.elements != 2) throw WideError::Input(input::kWrongShape);
    return router.local_media.GetFileListInfoFromId(request.passed, request.list.ids, output);
  }
  const LONG code = MakeValueRequest(router.channel, to.target, to.operation, *request.whole, output);
  if (code == 0) ModuleLog().Debug(L"GetMediumListInfoFromId function returned in %dms", ElapsedSince(start));
  return code;
}

LONG IsMediumShared(const MediumRouter& router, const ShareRequest& request) {
  if (request.id.Missing()) return 1;
  const Destination to = Route(router, kIsShared, request.id.Value());
  if (to.kind == Cell::kRefuse) return to.refusal;
  if (to.kind == Cell::kLocal) return LocalShareCheck(request);
  return MakeStatusRequest(router.channel, to.target, to.operation, *request.whole);
}

LONG SetPlayPosition(const MediumRouter& router, const IdRequest& request, VARIANT& output) {
  if (request.id.Missing()) return 1;
  const Destination to = Route(router, kSetPosition, request.id.Value());
  if (to.kind != Cell::kForward) return to.refusal;
  return MakeValueRequest(router.channel, to.target, to.operation, *request.whole, output);
}

LONG GetMediumListPath(const MediumRouter& router, const std::wstring& first, const VARIANT& ids,
                       std::vector<std::wstring>* paths) {
  const ScopedVariant request = VariantArray({StringVariant(first).Get(), &ids});
  const IdList list = DecodeIdList(ids);
  if (list.first.Missing()) return 1;
  const Destination to = Route(router, kGetList, list.first.Value());
  if (to.kind == Cell::kRefuse) return to.refusal;
  ScopedVariant answer;
  const LONG code = to.kind == Cell::kLocal
                        ? router.local_media.GetFileListInfoFromId(input::Text(first), list.ids, *answer)
                        : MakeValueRequest(router.channel, to.target, to.operation, *request, *answer);
  if (code != 0) return code;
  if (answer.Type() != VUtil::kVariantArray) return -1;

  std::vector<std::wstring> found;
  const LONG items = VUtil::GetArrayLength(*answer);
  for (LONG i = 0; i < items; ++i) {
    ScopedVariant item;
    VUtil::GetElement(*answer, i, item.Get());
    if (item.Type() == VT_EMPTY) {
      ModuleLog().Warn(L"GetMediumListPath: got a VT_EMPTY in the list of paths");
      continue;
    }
    if (std::optional<std::wstring> path = PathOf(*item)) found.push_back(std::move(*path));
  }
  paths->insert(paths->end(), found.begin(), found.end());
  return 0;
}

}  // namespace zel::media
