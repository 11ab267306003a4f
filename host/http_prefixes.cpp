#include "http_prefixes.h"

#include <httplib.h>

#include "http_access.h"
#include "media/prefix_table.h"

namespace zelhost {

Json PrefixTableJson(const std::wstring& document) {
  zel::media::PrefixMap table;
  const zel::media::DocumentState state = zel::media::LoadPrefixDocument(document, &table);
  Json prefixes = Json::array();
  for (const auto& [key, entry] : table) {
    prefixes.push_back({{"prefix", ToUtf8(key)},
                        {"satellite", ToUtf8(entry.satellite)},
                        {"getMediumFromId", ToUtf8(entry.getMediumFromId)},
                        {"getMediumInfoFromId", ToUtf8(entry.getMediumInfoFromId)},
                        {"getMediumListInfoFromId", ToUtf8(entry.getMediumListInfoFromId)},
                        {"isMediumShared", ToUtf8(entry.isMediumShared)},
                        {"timestamp", entry.timestamp}});
  }
  Json answer{{"path", ToUtf8(document)}, {"prefixes", std::move(prefixes)}};
  switch (state) {
    case zel::media::DocumentState::kLoaded:
      answer["state"] = "loaded";
      break;
    case zel::media::DocumentState::kAbsent:
      answer["state"] = "absent";
      break;
    case zel::media::DocumentState::kRefused:
      answer["state"] = "refused";
      answer["error"] =
          "the document cannot be read, or is not a prefix table the module accepts (malformed, over-large or "
          "over-nested); the module ignores it and refuses registrations until it loads";
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
