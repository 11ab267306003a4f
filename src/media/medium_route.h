#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "browse/local_media.h"
#include "channel/broker_channel.h"
#include "media/prefix_store.h"

namespace zel::media {

// What routing a medium id to its owner needs: the prefix table for the ids satellites registered
// ("X"), the local media for the ids of local files ("F"), and the channel to every other owner.
struct MediumRouter {
  PrefixStore& prefixes;
  browse::CLocalMedia& local_media;
  const channel::BrokerChannel& channel;
};

// The built-in satellites and the broker's "let the broker choose" target.
constexpr const wchar_t* kZidAvara = L"ZidAvaraV2";
constexpr const wchar_t* kDiRuzov = L"DiRuzov";
constexpr const wchar_t* kRiRodera = L"RiRodera";
constexpr const wchar_t* kRuRuruvi = L"RuRuruvi";
constexpr const wchar_t* kZiRuz = L"ZiRUZ";
constexpr const wchar_t* kAnyTarget = L"Any";
constexpr const wchar_t* kDevicePrefix = L"DivEduvized";  // + the id's second character

// How a routing-table cell names the request target of a medium id.
enum class OwnerKind {
  kNone,       // no owner in this column: the service answers 404
  kSatellite,  // the fixed `target`
  kDevice,     // "DivEduvized" followed by the id's second character, if it has one
  kCustom,     // the satellite the prefix table records for the id's key
};

struct Owner {
  OwnerKind kind;
  const wchar_t* target;  // kSatellite only
};

constexpr Owner kNoOwner{OwnerKind::kNone, nullptr};
constexpr Owner kDeviceOwner{OwnerKind::kDevice, nullptr};
constexpr Owner kCustomOwner{OwnerKind::kCustom, nullptr};
constexpr Owner Satellite(const wchar_t* name) { return Owner{OwnerKind::kSatellite, name}; }

// True when `id` begins with `lead` (exact, case-sensitive).
bool StartsWith(const std::wstring& id, const wchar_t* lead);

// The request target `owner` gives for `id`, or nullopt when there is none: a kNone cell or an "X"
// id whose key the prefix table does not hold. The device of "D" alone is "DivEduvized".
std::optional<std::wstring> TargetOf(PrefixStore& prefixes, const Owner& owner, const std::wstring& id);

// The first row of `rows` whose `lead` begins `id`, or null. Rows are tested in table order, so a
// longer lead ("TI") must stand before a shorter one it extends ("T").
template <class Row, size_t N>
const Row* FindRoute(const Row (&rows)[N], const std::wstring& id) {
  for (const Row& row : rows) {
    if (StartsWith(id, row.lead)) return &row;
  }
  return nullptr;
}

}  // namespace zel::media
