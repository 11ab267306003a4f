#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "media/media_requests.h"
#include "media/medium_route.h"

namespace zel::media {

// The medium lookup services. Each routes its decoded request by the routing id's leading
// characters and forwards the whole input to that satellite ("F" ids: to the router's own
// local-file handlers). Return codes: 0; 1 the routing id is missing; 404 no owner (IsMediumShared:
// 403 for ids it does not check); -1 an answer that is not an array (and, by their rows, a
// parameter error with the service's WARN line); otherwise the satellite's or the local handler's
// code.

// Output the medium record as 5 strings (element 2 empty).
LONG GetMediumFromId(const MediumRouter& router, const IdRequest& request, VARIANT& output);
// Output the satellite's information item.
LONG GetMediumInfoFromId(const MediumRouter& router, const IdRequest& request, VARIANT& output);
// Routed by the first id of the list; output one item per id.
LONG GetMediumListInfoFromId(const MediumRouter& router, const ListRequest& request, VARIANT& output);
// The answer is the return code; there is no output.
LONG IsMediumShared(const MediumRouter& router, const ShareRequest& request);
// Stores a play position with the owner (further elements of the input travel on). Both services
// route and answer alike; only their names differ.
LONG SetPlayPosition(const MediumRouter& router, const IdRequest& request, VARIANT& output);

// Turns medium ids into file paths through the list-information operation of their owner: asks
// for the information of [first, ids] and appends, in answer order, the "path" value (name
// compared ignoring case) of every item that has one. `ids` is an array of VARIANT whose element 0
// is the routing id. Returns the codes of GetMediumListInfoFromId; `paths` gets nothing on failure.
LONG GetMediumListPath(const MediumRouter& router, const std::wstring& first, const VARIANT& ids,
                       std::vector<std::wstring>* paths);

}  // namespace zel::media
