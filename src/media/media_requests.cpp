#include "media/media_requests.h"

#include "common/vutil.h"

namespace zel::media {

IdRequest DecodeIdRequest(const VARIANT& input) {
  const input::Elements elements(input);
  IdRequest request;
  request.passed = elements.VariantString(0);
  request.id = elements.VariantString(1);
  request.whole = &input;
  return request;
}

ShareRequest DecodeShareRequest(const VARIANT& input) {
  const input::Elements elements(input);
  ShareRequest request;
  request.first = elements.VariantString(0);
  request.second = elements.VariantString(1);
  request.id = elements.VariantString(2);
  request.elements = elements.ZeroBasedLength().value_or(0);
  request.whole = &input;
  return request;
}

IdList DecodeIdList(const VARIANT& ids) {
  const input::Elements elements(ids);
  IdList list;
  list.first = elements.VariantString(0);
  if (const std::optional<LONG> count = elements.ZeroBasedLength()) {
    list.ids.emplace();
    for (LONG i = 0; i < *count; ++i) {
      const VARIANT& id = elements.At(i);
      list.ids->push_back(V_VT(&id) == VT_BSTR ? std::optional(input::Text::Of(id).Value()) : std::nullopt);
    }
  }
  return list;
}

ListRequest DecodeListRequest(const VARIANT& input) {
  const input::Elements elements(input);
  ListRequest request;
  request.passed = elements.VariantString(0);
  request.list = DecodeIdList(elements.At(1));
  request.elements = elements.ZeroBasedLength().value_or(0);
  request.whole = &input;
  return request;
}

LibraryRequest DecodeLibraryRequest(const VARIANT& input) {
  input::Elements(input).VariantString(0);  // must be there; its value is the libraries' business
  return {&input};
}

PlaylistItemRequest DecodePlaylistItemRequest(const VARIANT& input) {
  const input::Elements elements(input);
  return {elements.VariantString(0), elements.VariantString(1), elements.VariantString(2)};
}

ScopedVariant VariantArray(std::initializer_list<const VARIANT*> items) {
  ScopedVariant array;
  VUtil::CreateArray(array.Get(), VT_VARIANT, static_cast<LONG>(items.size()));
  LONG index = 0;
  for (const VARIANT* item : items) VUtil::PutElement(*array, index++, *item);
  return array;
}

}  // namespace zel::media
