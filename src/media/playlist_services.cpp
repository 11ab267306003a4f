#include "media/playlist_services.h"

#include <iterator>
#include <optional>
#include <string>

#include "common/answer.h"
#include "common/module_log.h"
#include "common/scoped_variant.h"
#include "common/vutil.h"
#include "media/medium_route.h"
#include "media/media_requests.h"
#include "media/satellite_request.h"

namespace zel::media {
namespace {

// Owners by the routing id's first character. "T" takes "TI" ids too: playlists of TV items live
// with the broker's choice, unlike the medium look-ups. Any other character ("F" included): 404.
struct PlaylistRoute {
  const wchar_t* lead;
  Owner single;        // the seven single-operation services
  Owner get_playlist;  // GetPlaylistFromId
  Owner composite;     // PlaylistCreateAndSet, PlaylistGetCount, PlaylistAddItems
};

constexpr PlaylistRoute kPlaylistRoutes[] = {
    // lead  single-operation        GetPlaylistFromId        composite
    {L"O", Satellite(kZidAvara), Satellite(kZidAvara), kNoOwner},
    {L"M", Satellite(kDiRuzov), Satellite(kDiRuzov), Satellite(kDiRuzov)},
    {L"P", Satellite(kRiRodera), Satellite(kRiRodera), Satellite(kRiRodera)},
    {L"V", Satellite(kRuRuruvi), Satellite(kRuRuruvi), Satellite(kRuRuruvi)},
    {L"R", Satellite(kZiRuz), Satellite(kZiRuz), Satellite(kZiRuz)},
    {L"T", Satellite(kAnyTarget), Satellite(kAnyTarget), Satellite(kAnyTarget)},
    {L"D", kDeviceOwner, kNoOwner, kNoOwner},
    {L"X", kCustomOwner, kNoOwner, kNoOwner},
};

using Column = Owner PlaylistRoute::*;

std::optional<std::wstring> PlaylistTarget(const MediumRouter& router, Column column, const std::wstring& id) {
  const PlaylistRoute* row = FindRoute(kPlaylistRoutes, id);
  return row != nullptr ? TargetOf(router.prefixes, row->*column, id) : std::nullopt;
}

// The media libraries PlaylistListAll asks, in order.
constexpr const wchar_t* kLibraries[] = {kDiRuzov, kRiRodera, kRuRuruvi, kZiRuz};

// The satellite's operation, by PlaylistOperation.
constexpr const wchar_t* kSingleOperations[] = {
    L"PlayListCreate",      // PlaylistNew
    L"PlayListRemove",      // PlaylistDestroy
    L"PlayListClearAll",    // PlaylistClear
    L"PlayListAddItem",     // PlaylistAdd
    L"PlayListDeleteItem",  // PlaylistDelete
    L"PlayListGetContent",  // PlaylistGet
    L"PlayListOrder",       // PlaylistReorder
};
static_assert(std::size(kSingleOperations) == static_cast<size_t>(PlaylistOperation::kReorder) + 1);

// Routes by the request's id and forwards the whole input.
LONG ForwardSingle(const wchar_t* operation, Column column, const MediumRouter& router, const IdRequest& request,
                   VARIANT& output) {
  if (request.id.Missing()) return 1;
  const std::optional<std::wstring> target = PlaylistTarget(router, column, request.id.Value());
  if (!target) return 404;
  return MakeValueRequest(router.channel, *target, operation, *request.whole, output);
}

// A composite service's request with its owner: the strings as they were sent, to send them on.
struct PlaylistRequest {
  ScopedVariant user;
  ScopedVariant name;
  ScopedVariant item;
  std::wstring target;
  const channel::BrokerChannel* channel = nullptr;  // the channel that reaches `target`
};

// 0 with `request` filled, or the service's code: 1 for a missing name or item, 404 no owner.
LONG RoutePlaylistRequest(const MediumRouter& router, const PlaylistItemRequest& decoded, PlaylistRequest* request) {
  if (decoded.name.Missing() || decoded.item.Missing()) return 1;
  std::optional<std::wstring> target = PlaylistTarget(router, &PlaylistRoute::composite, decoded.item.Value());
  if (!target) return 404;
  request->user = decoded.user.AsSent();
  request->name = decoded.name.AsSent();
  request->item = decoded.item.AsSent();
  request->target = std::move(*target);
  request->channel = &router.channel;
  return 0;
}

// Sends `operation` with a new parameter array of `items`; the answer lands in `answer` when the
// satellite answered 0 and is left as it was otherwise.
LONG Send(const PlaylistRequest& request, const wchar_t* operation, std::initializer_list<const VARIANT*> items,
          VARIANT& answer) {
  ScopedVariant parameters = VariantArray(items);
  return MakeValueRequest(*request.channel, request.target, operation, *parameters, answer);
}

// The id of the playlist with the request's name; empty when the satellite knows none (its code is
// not examined: an answer it did not give is simply absent).
ScopedVariant FindPlaylist(const PlaylistRequest& request) {
  ScopedVariant playlist;
  Send(request, L"PlayListGetMediumID", {request.user.Get(), request.name.Get()}, *playlist);
  return playlist;
}

LONG AddItem(const PlaylistRequest& request, const ScopedVariant& playlist) {
  ScopedVariant ignored;
  return Send(request, L"PlayListAddItem", {request.user.Get(), playlist.Get(), request.item.Get()},
              *ignored);
}

}  // namespace

LONG ForwardPlaylistOperation(PlaylistOperation operation, const MediumRouter& router, const IdRequest& request,
                              VARIANT& output) {
  return ForwardSingle(kSingleOperations[static_cast<size_t>(operation)], &PlaylistRoute::single, router, request,
                       output);
}

LONG GetPlaylistFromId(const MediumRouter& router, const IdRequest& request, VARIANT& output) {
  const DWORD start = ::GetTickCount();
  const LONG code = ForwardSingle(L"PlayListGetContent", &PlaylistRoute::get_playlist, router, request, output);
  if (code == 0) {
    ModuleLog().Debug(L"GetPlaylistFromId function returned in %dms", static_cast<int>(::GetTickCount() - start));
  }
  return code;
}

LONG PlaylistListAll(const MediumRouter& router, const LibraryRequest& request, VARIANT& output) {
  ScopedVariant lists;
  VUtil::CreateArray(lists.Get(), VT_VARIANT, static_cast<LONG>(std::size(kLibraries)));
  LONG next = 0;
  LONG code = 0;
  for (const wchar_t* library : kLibraries) {
    ScopedVariant answer;
    code = MakeValueRequest(router.channel, library, L"PlayListList", *request.whole, *answer);
    if (code != 0) continue;
    ScopedVariant pair = VariantArray({StringVariant(library).Get(), answer.Get()});
    VUtil::PutElement(*lists, next++, *pair);
  }
  lists.ReleaseInto(output);
  return code;
}

LONG PlaylistCreateAndSet(const MediumRouter& router, const PlaylistItemRequest& decoded) {
  PlaylistRequest request;
  if (const LONG code = RoutePlaylistRequest(router, decoded, &request)) return code;
  ScopedVariant playlist = FindPlaylist(request);
  ScopedVariant ignored;
  if (playlist.Type() == VT_EMPTY) {
    // Only the item's addition decides the result: a creation that failed shows there.
    Send(request, L"PlayListCreate", {request.user.Get(), request.name.Get()}, *ignored);
    playlist = FindPlaylist(request);
  } else {
    Send(request, L"PlayListClearAll", {request.user.Get(), playlist.Get()}, *ignored);
  }
  return AddItem(request, playlist);
}

LONG PlaylistGetCount(const MediumRouter& router, const PlaylistItemRequest& decoded, VARIANT& output) {
  PlaylistRequest request;
  if (const LONG code = RoutePlaylistRequest(router, decoded, &request)) return code;
  const ScopedVariant playlist = FindPlaylist(request);
  if (playlist.Type() != VT_BSTR) return -1;
  ScopedVariant content;
  Send(request, L"PlayListGetContent", {request.user.Get(), playlist.Get()}, *content);
  // An empty content answer is a failed step, not a parameter error.
  if (content.Type() != VUtil::kVariantArray) return -1;
  const input::Elements counted(*content);
  if (!counted.Has(0) || V_VT(&counted.At(0)) != VT_I4) return -1;
  answer::Long(V_I4(&counted.At(0))).ReleaseInto(output);
  return 0;
}

LONG PlaylistAddItems(const MediumRouter& router, const PlaylistItemRequest& decoded) {
  PlaylistRequest request;
  if (const LONG code = RoutePlaylistRequest(router, decoded, &request)) return code;
  const ScopedVariant playlist = FindPlaylist(request);
  if (playlist.Type() == VT_EMPTY) return -1;  // the playlist must exist
  return AddItem(request, playlist);
}

}  // namespace zel::media
