#include "json_call.h"

namespace zelhost {

JsonReply CallWithJson(const ModuleClient& client, const std::wstring& requester, const std::wstring& service,
                       const Json& input, LONG rc) {
  VariantArena arena;
  zel::ScopedVariant in;
  JsonToVariant(input, in.Get(), &arena);
  zel::ScopedVariant out;
  JsonReply reply;
  reply.outcome = client.CallAs(requester, service.c_str(), *in, &out, rc);
  reply.output = VariantToJson(*out);
  return reply;
}

}  // namespace zelhost
