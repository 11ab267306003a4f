#pragma once

#include <string>

#include "json_variant.h"
#include "module_client.h"

namespace zelhost {

// A request written in the JSON notation and the module's answer in it: the one place where JSON
// meets the module (the command line's `call` and `serve --stdio`, the gateway's /api/services).
struct JsonReply {
  CallOutcome outcome;
  Json output;
};

// Converts `input` (throws JsonError when it has no VARIANT form), sends it as `requester` with the
// return code starting at `rc`, and converts the answer back.
JsonReply CallWithJson(const ModuleClient& client, const std::wstring& requester, const std::wstring& service,
                       const Json& input, LONG rc);

}  // namespace zelhost
