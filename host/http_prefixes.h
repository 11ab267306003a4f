#pragma once

#include <optional>
#include <string>

#include "json_variant.h"

namespace httplib {
struct Response;
}  // namespace httplib

namespace zelhost {

// The medium-id prefix table as the module keeps it in its configuration document, read-only:
//   {"path": document, "state": "loaded" | "absent" | "refused",
//    "prefixes": [{"prefix", "satellite", "getMediumFromId", "getMediumInfoFromId",
//                  "getMediumListInfoFromId", "isMediumShared", "timestamp"}, ...] in key order,
//    "error": why, when refused}
// A document that is missing is an empty table; one the module would refuse to load (corrupt, too
// large, too deep) is an empty table with the reason, as the module itself then has none.
Json PrefixTableJson(const std::wstring& document);

// GET /api/host/prefixes: the table of the document in the product's configuration folder (`folder`
// nullopt: the platform gave no data folder, 500). Never throws.
void AnswerPrefixTable(const std::optional<std::wstring>& folder, httplib::Response& response);

}  // namespace zelhost
