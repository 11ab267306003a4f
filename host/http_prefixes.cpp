#include "http_prefixes.h"

#include <httplib.h>

#include "http_access.h"
#include "media/prefix_table.h"

namespace zelhost {

Json PrefixTableJson(const std::wstring& document) {
  zel::media::DocumentTable loaded;
  const zel::media::DocumentLoad load = zel::media::LoadPrefixDocument(document, &loaded);
  Json prefixes = Json::array();
  for (const auto& [key, entry] : loaded.table) {
    prefixes.push_back({{"prefix", ToUtf8(key)},
                        {"satellite", ToUtf8(entry.satellite)},
                        {"getMediumFromId", ToUtf8(entry.getMediumFromId)},
                        {"getMediumInfoFromId", ToUtf8(entry.getMediumInfoFromId)},
                        {"getMediumListInfoFromId", ToUtf8(entry.getMediumListInfoFromId)},
                        {"isMediumShared", ToUtf8(entry.isMediumShared)},
                        {"timestamp", entry.timestamp}});
  }
  Json answer{{"path", ToUtf8(document)}, {"prefixes", std::move(prefixes)}};
  using zel::media::DocumentState;
  switch (load.state) {
    case DocumentState::kLoaded:
      answer["state"] = "loaded";
      break;
    case DocumentState::kAbsent:
      answer["state"] = "absent";
      break;
    case DocumentState::kUnreadable:
    case DocumentState::kMalformed:
    case DocumentState::kNewer:
      answer["state"] = "refused";
      answer["error"] =
          ToUtf8(load.reason) +
          (load.state == DocumentState::kMalformed
               ? "; the module sets it aside (renamed to zel.xml.unreadable-<UTC time>) and starts a new table"
               : "; the module leaves it as it is and refuses registrations until it loads");
      break;
  }
  return answer;
}

void AnswerPrefixTable(const std::optional<std::wstring>& folder, httplib::Response& response) {
  try {
    if (!folder) {
      AnswerError(response, 500, "the platform gives no data folder, so there is no prefix table");
      return;
    }
    response.set_content(DumpJson(PrefixTableJson(*folder + L"\\zel.xml")), "application/json");
  } catch (const std::exception& error) {  // out of memory, or text that is not UTF-16
    AnswerError(response, 500, std::string("the prefix table cannot be shown: ") + error.what());
  }
}

}  // namespace zelhost
