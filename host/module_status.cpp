#include "module_status.h"

#include <httplib.h>

#include <cstdio>

#include "broker/kro_broker.h"
#include "json_variant.h"

namespace zelhost {

int HttpStatusOf(const CallOutcome& outcome) {
  if (FAILED(outcome.delivery)) return outcome.delivery == kErrorNotRegistered ? 404 : 502;
  switch (outcome.rc) {
    case 0:
      return 200;
    case 403:
    case 404:
      return outcome.rc;
    default:
      return 500;
  }
}

void AnswerFailedCall(httplib::Response& response, const char* service, const CallOutcome& outcome,
                      const std::string& what) {
  Json body{{"service", service}};
  if (outcome.delivery == kErrorNotRegistered) {
    body["error"] = what + " (no component registered " + service + ")";
  } else if (FAILED(outcome.delivery)) {
    char code[16];
    snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(outcome.delivery));
    body["error"] = what + " (the broker could not deliver " + service + ": " + code + ")";
  } else {
    body["error"] = what + " (" + service + " answered " + std::to_string(outcome.rc) + ")";
    body["rc"] = outcome.rc;
  }
  response.status = HttpStatusOf(outcome);
  response.set_content(DumpJson(body), "application/json");
}

void AnswerUnusable(httplib::Response& response, const char* service) {
  response.status = 502;
  response.set_content(DumpJson(Json{{"error", std::string(service) + " answered 0 with an answer of another shape"},
                                     {"service", service},
                                     {"rc", 0}}),
                       "application/json");
}

}  // namespace zelhost
