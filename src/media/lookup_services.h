#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "media/medium_route.h"

namespace zel::media {

// The medium lookup services. Each reads the routing id from its input, finds the owner by the
// id's leading characters, and forwards the whole input to that satellite ("F" ids: to the
// router's own local-file handlers). Return codes: 0; 1 the routing id is missing; 404 no owner
// (IsMediumShared: 403 for ids it does not check); -1 a parameter error (with the service's WARN
// line) or an answer that is not an array; otherwise the satellite's or the local handler's code.

// Input [string, medium id]; output the medium record as 5 strings (element 2 empty).
LONG GetMediumFromId(const MediumRouter& router, const VARIANT& input, VARIANT& output);
// Input [string, medium id]; output the satellite's information item.
LONG GetMediumInfoFromId(const MediumRouter& router, const VARIANT& input, VARIANT& output);
// Input [string, [medium ids]]; routed by the first id of the list; output one item per id.
LONG GetMediumListInfoFromId(const MediumRouter& router, const VARIANT& input, VARIANT& output);
// Input [string, string, medium id]; the answer is the return code; the output is not touched.
LONG IsMediumShared(const MediumRouter& router, const VARIANT& input, VARIANT& output);
// Input [string, medium id, position...]; stores a play position with the owner. Both services
// route and answer alike; only their names differ.
LONG SetPlayPosition(const MediumRouter& router, const VARIANT& input, VARIANT& output);

// Turns medium ids into file paths through the list-information operation of their owner: asks
// for the information of [first, ids] and appends, in answer order, the "path" value (name
// compared ignoring case) of every item that has one. `ids` is an array of VARIANT whose element 0
// is the routing id. Returns the codes of GetMediumListInfoFromId; `paths` gets nothing on failure.
LONG GetMediumListPath(const MediumRouter& router, const std::wstring& first, const VARIANT& ids,
                       std::vector<std::wstring>* paths);

}  // namespace zel::media
