#pragma once

#include <windows.h>
#include <oaidl.h>

#include "media/medium_route.h"

namespace zel::media {

// The playlist services. The satellites hold the playlists; each service finds the owner from a
// medium id and forwards to it. Return codes: 0; 1 a required string is missing; 404 no owner for
// the id; -1 a parameter error (logged as the service's WARN line) or a failed step; otherwise the
// satellite's own code. A failure of the broker itself leaves as _com_error (satellite_request.h).

// The seven single-operation services ("PlaylistNew" to "PlaylistReorder"): input [string, medium
// id, ...], forwarded whole to the id's owner; output the satellite's answer.
enum class PlaylistOperation { kNew, kDestroy, kClear, kAdd, kDelete, kGet, kReorder };
LONG ForwardPlaylistOperation(PlaylistOperation operation, const MediumRouter& router, const VARIANT& input, VARIANT& output);
template <PlaylistOperation kOperation>
LONG PlaylistService(const MediumRouter& router, const VARIANT& input, VARIANT& output) {
  return ForwardPlaylistOperation(kOperation, router, input, output);
}

// As the single-operation services, with its own routing; input [string, medium id, ...].
LONG GetPlaylistFromId(const MediumRouter& router, const VARIANT& input, VARIANT& output);

// Input [string, ...], forwarded whole to each media library; output an array of 4 VARIANTs whose
// first elements are [satellite name, answer] pairs of the libraries that answered 0. The return
// code is that of the last library asked ("ZiRUZ").
LONG PlaylistListAll(const MediumRouter& router, const VARIANT& input, VARIANT& output);

// Input [string, playlist name, item id]; the item id chooses the satellite.
// Makes sure the playlist exists, empties it and adds the item; output untouched.
LONG PlaylistCreateAndSet(const MediumRouter& router, const VARIANT& input, VARIANT& output);
// Output the playlist's item count (VT_I4); -1 when any step fails.
LONG PlaylistGetCount(const MediumRouter& router, const VARIANT& input, VARIANT& output);
// Adds the item to an existing playlist (-1 when there is none); output untouched.
LONG PlaylistAddItems(const MediumRouter& router, const VARIANT& input, VARIANT& output);

}  // namespace zel::media
