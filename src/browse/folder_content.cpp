// "GetDiskFolderContent": one folder of the server's shell namespace (or one file), filtered,
// sorted and cut into a page, with the properties the client names for every item.

#include "browse/folder_content.h"

#include <algorithm>
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
#include "common/vutil.h"

namespace zel::browse {
namespace {

constexpr const wchar_t* kConfigKey = L"Software\\Rod Ezeduduv\\Zel\\Config";
constexpr const wchar_t* kBrowsingSwitch = L"app.fileBrowser.enabled";
constexpr DWORD kSwitchMaxBytes = 256;

// Only the exact text "false" switches browsing off; a missing key or value, another text, another
// value type, or a value too long to be that text leaves it on.
bool BrowsingSwitchedOff() {
  return ReadRegistryString(HKEY_LOCAL_MACHINE, kConfigKey, kBrowsingSwitch, kSwitchMaxBytes) == L"false";
}

std::wstring TextElement(const VARIANT& input, LONG index) {
  ScopedVariant element;
  VUtil::GetElement(input, index, element.Get());
  if (element.Type() != VT_BSTR && element.Type() != VT_EMPTY) {
    throw WideError(FormatWide(L"GetDiskFolderContent: element %d must be a string (VT_BSTR), not type %d",
                               static_cast<int>(index), static_cast<int>(element.Type())));
  }
  return VUtil::StringOf(*element);
}

LONG FlagsElement(const VARIANT& input) {
  ScopedVariant element;
  VUtil::GetElement(input, 2, element.Get());
  if (element.Type() != VT_I4) {
    throw WideError(FormatWide(L"GetDiskFolderContent: element 2 (the option flags) must be a VT_I4, not type %d",
                               static_cast<int>(element.Type())));
  }
  return V_I4(element.Get());
}

// Start and count: optional; 0 when missing or of another type than VT_I4.
LONG OptionalNumber(const VARIANT& input, LONG index) {
  try {
    ScopedVariant element;
    VUtil::GetElement(input, index, element.Get());
    return element.Type() == VT_I4 ? V_I4(element.Get()) : 0;
  } catch (const WideError&) {
    return 0;
  }
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

LONG GetDiskFolderContent(CLocalMedia& media, const VARIANT& input, VARIANT& output) {
  if (BrowsingSwitchedOff()) return 403;

  const std::wstring passed = TextElement(input, 0);
  const std::wstring requested = TextElement(input, 1);
  ModuleLog().Info(L"GetFolderContent of %ls", requested.c_str());
  const LONG flags = FlagsElement(input);
  const std::wstring filter_text = TextElement(input, 3);
  const std::wstring names_text = TextElement(input, 4);
  const std::wstring sort = TextElement(input, 5);
  const LONG start = std::max<LONG>(OptionalNumber(input, 6), 0);
  const LONG count = OptionalNumber(input, 7);

  media.EnsureMediaTypes(passed);
  const std::wstring path = ResolveFolderPath(requested);
  FileList items = ListItems(path, flags, SplitString(filter_text), sort);
  const std::vector<std::wstring> names = SplitString(names_text);

  try {
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
  } catch (const WideError& error) {
    ModuleLog().Warn(L"KroServiceGetFolderContent exception: %s", error.Message().c_str());
    return 1;
  }
  ModuleLog().Info(L"GetFolderContent returned");
  return 0;
}

}  // namespace zel::browse
