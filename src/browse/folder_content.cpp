// "GetDiskFolderContent": one folder of the server's shell namespace (or one file), filtered,
// sorted and cut into a page, with the properties the client names for every item.

#include "browse/folder_content.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "browse/folder_enum.h"
#include "browse/folder_path.h"
#include "browse/local_media.h"
#include "browse/sort_files.h"
#include "common/answer.h"
#include "common/module_log.h"
#include "common/registry.h"
#include "common/scoped_variant.h"
#include "common/text.h"
#include "common/request_input.h"

namespace zel::browse {
namespace {

constexpr const wchar_t* kConfigKey = L"Software\\Rod Ezeduduv\\Zel\\Config";
constexpr const wchar_t* kBrowsingSwitch = L"app.fileBrowser.enabled";
constexpr DWORD kSwitchMaxBytes = 256;

// The elements of the input, by position.
constexpr const wchar_t* kElementNames[] = {L"the requester's string", L"the path", L"the option flags",
                                           L"the filter", L"the property names", L"the sort key",
                                           L"the start", L"the count"};

[[noreturn]] void RefuseElement(LONG index, const wchar_t* what, const VARIANT* element) {
  throw WideError::Input(
      element == nullptr
          ? FormatWide(L"GetDiskFolderContent: element %d (%s) is missing", static_cast<int>(index),
                       kElementNames[index])
          : FormatWide(L"GetDiskFolderContent: element %d (%s) must be %s, not type %d", static_cast<int>(index),
                       kElementNames[index], what, static_cast<int>(V_VT(element))));
}

const VARIANT* ElementOf(const input::Elements& elements, LONG index) {
  return elements.Has(index) ? &elements.At(index) : nullptr;
}

std::wstring TextElement(const input::Elements& elements, LONG index) {
  const VARIANT* element = ElementOf(elements, index);
  if (element == nullptr || (V_VT(element) != VT_BSTR && V_VT(element) != VT_EMPTY)) {
    RefuseElement(index, L"a string (VT_BSTR)", element);
  }
  return input::Text::Of(*element).Value();
}

LONG NumberElement(const input::Elements& elements, LONG index, bool optional) {
  const VARIANT* element = ElementOf(elements, index);
  if (optional && (element == nullptr || V_VT(element) == VT_EMPTY)) return 0;
  const std::optional<LONG> number = element != nullptr ? input::ExactLong(*element) : std::nullopt;
  if (!number) RefuseElement(index, L"a whole number that fits 32 bits", element);
  return *number;
}

// The listing the request names: a folder's objects (sorted unless the key is exactly "title"),
// a single existing file, or nothing.
FileList ListItems(const std::wstring& path, LONG flags, std::vector<std::wstring> filter,
                   const std::wstring& sort) {
  FileList items;
  auto target = std::make_unique<CFileTools>(path);
  if (path.empty() || target->IsFolder()) {
    ModuleLog().Debug(L"EnumerateFolder");
    EnumerateFolder(path, FolderEnumOptions::FromFlags(flags, std::move(filter)), items);
    if (sort != L"title") {
      ModuleLog().Debug(L"SortFiles");
      SortFiles(items, sort);
    }
  } else if (target->Exists()) {
    items.push_back(std::move(target));
  }
  return items;
}

}  // namespace

bool BrowsingSwitchedOff() {
  return ReadRegistryString(HKEY_LOCAL_MACHINE, kConfigKey, kBrowsingSwitch, kSwitchMaxBytes) == L"false";
}

FolderRequest DecodeFolderRequest(const VARIANT& input) {
  if (V_VT(&input) != (VT_ARRAY | VT_VARIANT)) throw WideError::Input(input::kNotVariantArray);
  const input::Elements elements(input);
  FolderRequest request;
  request.passed = TextElement(elements, 0);
  request.path = TextElement(elements, 1);
  request.flags = NumberElement(elements, 2, false);
  request.filter = TextElement(elements, 3);
  request.properties = TextElement(elements, 4);
  request.sort = TextElement(elements, 5);
  request.start = NumberElement(elements, 6, true);
  request.count = NumberElement(elements, 7, true);
  return request;
}

LONG GetDiskFolderContent(CLocalMedia& media, const FolderRequest& request, VARIANT& output) {
  ModuleLog().Info(L"GetFolderContent of %ls", request.path.c_str());
  const LONG start = std::max<LONG>(request.start, 0);
  const LONG count = request.count;
  media.EnsureMediaTypes(request.passed);
  const std::wstring path = ResolveFolderPath(request.path);
  FileList items = ListItems(path, request.flags, SplitString(request.filter), request.sort);
  const std::vector<std::wstring> names = SplitString(request.properties);

  {
    answer::ArrayBuilder columns(static_cast<LONG>(names.size()));
    for (size_t i = 0; i < names.size(); ++i) columns.Set(static_cast<LONG>(i), answer::String(names[i]));

    // A start past the end makes the page size negative, and the rows array cannot be made.
    const long long total = static_cast<long long>(items.size());
    long long page = total - start;
    if (count > 0 && total > static_cast<long long>(start) + count) page = count;
    answer::ArrayBuilder rows(static_cast<LONG>(std::max<long long>(page, -1)));

    LONG folders = 0;
    LONG others = 0;
    LONG written = 0;
    for (size_t index = 0; index < items.size(); ++index) {
      std::unique_ptr<CFileTools> item = std::move(items[index]);  // destroyed once counted and written
      if (item->IsFolder()) {
        ++folders;
      } else {
        ++others;
      }
      if (static_cast<long long>(index) < start || written >= page) continue;
      answer::ArrayBuilder row(static_cast<LONG>(names.size()));
      for (size_t i = 0; i < names.size(); ++i) {
        row.Set(static_cast<LONG>(i), answer::String(item->GetProperty(names[i], media.SharedMediaTypes())));
      }
      rows.Set(written++, row.Finish());
    }
    answer::List(columns.Finish(), rows.Finish(), answer::Long(folders), answer::Long(others)).ReleaseInto(output);
  }
  ModuleLog().Info(L"GetFolderContent returned");
  return 0;
}

}  // namespace zel::browse
