#pragma once

#include <string>

#include "module_client.h"

namespace httplib {
struct Response;
}  // namespace httplib

namespace zelhost {

// The gateway's one rule from a module call to an HTTP status, the same on every route that calls
// the module:
//   delivered, return code 0                         200
//   delivered, return code 403 / 404                 403 / 404 (refused / not found)
//   delivered, any other return code                 500 (the code is in the body's "rc")
//   delivered with 0, but an answer of another shape 502
//   not delivered: no component registered it       404
//   not delivered: the broker failed otherwise       502
int HttpStatusOf(const CallOutcome& outcome);

// Answers a call that did not succeed: the status by the rule, and the body
// {"error": "<what> (...)", "service": ..., "rc": ...} ("rc" only when the module answered).
void AnswerFailedCall(httplib::Response& response, const char* service, const CallOutcome& outcome,
                      const std::string& what);

// Answers a call that succeeded with an answer of another shape than the service documents (502).
void AnswerUnusable(httplib::Response& response, const char* service);

}  // namespace zelhost
