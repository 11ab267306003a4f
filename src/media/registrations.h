#pragma once

#include <windows.h>
#include <oaidl.h>

#include <map>
#include <string>
#include <utility>

#include "common/locker.h"
#include "media/prefix_store.h"

namespace zel::media {

// Requester name -> the two strings it registered with "Register Custom DVR"; in memory only.
using DvrTable = locker<std::map<std::wstring, std::pair<std::wstring, std::wstring>>>;

// "Register Custom MediumId": the requester becomes the owner of the ids "X" + key. Input
// [getMediumFromId, getMediumInfoFromId, getMediumListInfoFromId, isMediumShared?], strings; a
// missing fourth gives "IsMediumShared". A requester already in the table keeps its key; a new one
// gets the key after the largest. The table is saved before the answer. Output "X" + key (VT_BSTR).
// 0, or 1 for fewer than 3 elements or unusable input (logged).
LONG RegisterCustomMediumId(PrefixStore& prefixes, const std::wstring& requester, const VARIANT& input, VARIANT& output);

// "Register Custom DVR": input [first, second], strings, stored for the requester (replacing what it
// registered before), in memory only. Output untouched. 0, or 1 as above.
LONG RegisterCustomDvr(DvrTable& dvrs, const std::wstring& requester, const VARIANT& input, VARIANT& output);

// "Get Registered DVRs": output VT_EMPTY when there are none, otherwise an array with one
// [requester, first, second] array per registration in requester order. Always 0.
LONG GetRegisteredDvrs(DvrTable& dvrs, const VARIANT& input, VARIANT& output);

}  // namespace zel::media
