#pragma once

#include <windows.h>
#include <oaidl.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "common/request_input.h"
#include "common/scoped_variant.h"

// The input shapes of the medium lookup and playlist services, decoded once by their rows. Every
// element named is a string, read with input::Elements::VariantString (a null string and VT_EMPTY
// count as missing); the input travels on to the owner whole and unchanged, so the decoded request
// keeps it beside the values read from it.
namespace zel::media {

// [string, medium id, ...]: the lookups of one id, the play positions and the playlist services
// that forward to one owner. Element 0 must be there, though only its owner reads it.
struct IdRequest {
  input::Text passed;  // element 0
  input::Text id;      // element 1: the routing id
  const VARIANT* whole = nullptr;
};
IdRequest DecodeIdRequest(const VARIANT& input);

// "IsMediumShared": [string, string, medium id].
struct ShareRequest {
  input::Text first;
  input::Text second;
  input::Text id;      // element 2: the routing id
  LONG elements = 0;   // how many elements the input has
  const VARIANT* whole = nullptr;
};
ShareRequest DecodeShareRequest(const VARIANT& input);

// An array of VARIANT holding medium ids, routed by its element 0.
struct IdList {
  input::Text first;  // element 0, which must be a string
  // Every id when the array is zero-based (nothing otherwise): its text, or nothing where the
  // element is not a VT_BSTR.
  std::optional<std::vector<std::optional<std::wstring>>> ids;
};
IdList DecodeIdList(const VARIANT& ids);

// "GetMediumListInfoFromId": [string, [medium ids]].
struct ListRequest {
  input::Text passed;
  IdList list;
  LONG elements = 0;
  const VARIANT* whole = nullptr;
};
ListRequest DecodeListRequest(const VARIANT& input);

// "PlaylistListAll": [string, ...], forwarded whole to each library.
struct LibraryRequest {
  const VARIANT* whole = nullptr;
};
LibraryRequest DecodeLibraryRequest(const VARIANT& input);

// The composite playlist services: [user, playlist name, item id]; the item id chooses the owner.
struct PlaylistItemRequest {
  input::Text user;
  input::Text name;
  input::Text item;
};
PlaylistItemRequest DecodePlaylistItemRequest(const VARIANT& input);

// A new zero-based array of VARIANT holding copies of `items`, in order. Raises WideError.
ScopedVariant VariantArray(std::initializer_list<const VARIANT*> items);

}  // namespace zel::media
