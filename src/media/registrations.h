#pragma once

#include <windows.h>
#include <oaidl.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/locker.h"
#include "media/prefix_store.h"

namespace zel::media {

// Requester name -> the two strings it registered with "Register Custom DVR"; in memory only.
using DvrTable = locker<std::map<std::wstring, std::pair<std::wstring, std::wstring>>>;

// The strings of a registration: the input array's length (a string array counts as well as an
// array of VARIANT) and, when it holds at least `required`, its first `wanted` strings (an element
// that is VT_EMPTY reads as "").
struct RegistrationStrings {
  LONG length = 0;
  std::vector<std::wstring> strings;
};
RegistrationStrings DecodeRegistration(const VARIANT& input, LONG required, LONG wanted);
inline RegistrationStrings DecodeCustomMediumId(const VARIANT& input) { return DecodeRegistration(input, 3, 4); }
inline RegistrationStrings DecodeCustomDvr(const VARIANT& input) { return DecodeRegistration(input, 2, 2); }

// "Register Custom MediumId": the requester becomes the owner of the ids "X" + key. Input
// [getMediumFromId, getMediumInfoFromId, getMediumListInfoFromId, isMediumShared?], strings; a
// missing fourth gives "IsMediumShared". A requester already in the table keeps its key; a new one
// gets the key after the largest. The table is saved before the answer (a refusal raises WideError
// with the reason). Output "X" + key (VT_BSTR). 0, or 1 for fewer than 3 elements (and, by its
// row, unusable input or a refused save, logged).
LONG RegisterCustomMediumId(PrefixStore& prefixes, const std::wstring& requester, const RegistrationStrings& input,
                            VARIANT& output);

// "Register Custom DVR": input [first, second], strings, stored for the requester (replacing what it
// registered before), in memory only. 0, or 1 as above.
LONG RegisterCustomDvr(DvrTable& dvrs, const std::wstring& requester, const RegistrationStrings& input);

// "Get Registered DVRs": output VT_EMPTY when there are none, otherwise an array with one
// [requester, first, second] array per registration in requester order. Always 0.
LONG GetRegisteredDvrs(DvrTable& dvrs, VARIANT& output);

}  // namespace zel::media
