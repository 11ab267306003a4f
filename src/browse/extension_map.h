#pragma once

#include <atomic>
#include <map>
#include <string>

#include "common/locker.h"

namespace zel::browse {

// Extension (".mp3", lower case with its dot, as the satellite sends it) to media type ("audio",
// "video", "photo" or "document").
using ExtensionTable = std::map<std::wstring, std::wstring>;
using ExtensionMap = locker<ExtensionTable>;

// The extension map that item properties read ("mediaType"). It is filled once, from a copy of the
// local media object's map, and never changes afterwards: readers therefore need no lock once they
// have seen it filled, and a request that fills it while others read can never show them a torn map.
class SharedExtensionMap {
 public:
  bool IsFilled() const noexcept { return filled_.load(std::memory_order_acquire); }

  // Takes a copy of `source` when the map is not filled yet and `source` is not empty (an empty
  // source means the satellite gave nothing, and the next request is to try again). Later calls do
  // nothing. Returns true when this call filled the map.
  bool FillOnce(const ExtensionTable& source);

  // The media type of `extension` (lower case, with its dot); empty when unknown or not yet filled.
  std::wstring Find(const std::wstring& extension) const;

 private:
  ExtensionMap map_;  // its lock serialises the fillers only
  std::atomic<bool> filled_{false};
};

}  // namespace zel::browse
