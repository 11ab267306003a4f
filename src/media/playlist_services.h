#pragma once

#include <windows.h>
#include <oaidl.h>

#include "media/media_requests.h"
#include "media/medium_route.h"

namespace zel::media {

// The playlist services. The satellites hold the playlists; each service finds the owner from a
// medium id and forwards to it. Return codes: 0; 1 a required string is missing; 404 no owner for
// the id; -1 a failed step (and, by their rows, a parameter error with the service's WARN line);
// otherwise the satellite's own code. A failure of the broker itself leaves as _com_error
// (satellite_request.h).

// The seven single-operation services ("PlaylistNew" to "PlaylistReorder"), forwarded whole to the
// id's owner; output the satellite's answer.
enum class PlaylistOperation { kNew, kDestroy, kClear, kAdd, kDelete, kGet, kReorder };
LONG ForwardPlaylistOperation(PlaylistOperation operation, const MediumRouter& router, const IdRequest& request,
                              VARIANT& output);
template <PlaylistOperation kOperation>
LONG PlaylistService(const MediumRouter& router, const IdRequest& request, VARIANT& output) {
  return ForwardPlaylistOperation(kOperation, router, request, output);
}

// As the single-operation services, with its own routing.
LONG GetPlaylistFromId(const MediumRouter& router, const IdRequest& request, VARIANT& output);

// Forwarded whole to each media library; output an array of 4 VARIANTs whose first elements are
// [satellite name, answer] pairs of the libraries that answered 0. The return code is that of the
// last library asked ("ZiRUZ").
LONG PlaylistListAll(const MediumRouter& router, const LibraryRequest& request, VARIANT& output);

// The composite services; the item id chooses the satellite.
// Makes sure the playlist exists, empties it and adds the item; no output.
LONG PlaylistCreateAndSet(const MediumRouter& router, const PlaylistItemRequest& request);
// Output the playlist's item count (VT_I4); -1 when any step fails.
LONG PlaylistGetCount(const MediumRouter& router, const PlaylistItemRequest& request, VARIANT& output);
// Adds the item to an existing playlist (-1 when there is none); no output.
LONG PlaylistAddItems(const MediumRouter& router, const PlaylistItemRequest& request);

}  // namespace zel::media
