#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "browse/sort_files.h"
#include "browse_test_support.h"
#include "common/unique_handle.h"
#include "support/test_support.h"

namespace zel {
namespace {

using browsetest::Make;
using Order = std::vector<std::string>;
using zeltest::Narrow;

void SetTimes(const std::wstring& path, WORD written_year, WORD accessed_year) {
  SYSTEMTIME written{written_year, 6, 0, 1, 12, 0, 0, 0};
  SYSTEMTIME accessed{accessed_year, 6, 0, 1, 12, 0, 0, 0};
  FILETIME write_time, access_time;
  ::SystemTimeToFileTime(&written, &write_time);
  ::SystemTimeToFileTime(&accessed, &access_time);
  UniqueFile file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ::SetFileTime(file.Get(), nullptr, &access_time, &write_time);
}

class SortFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring root = folder_.Path();
    SetTimes(Make(root, L"b.txt", std::string(30, 'b')), 2001, 2013);
    SetTimes(Make(root, L"A.doc", std::string(10, 'a')), 2002, 2012);
    SetTimes(Make(root, L"c", std::string(20, 'c')), 2003, 2011);
    Make(root, L"f2\\");
    Make(root, L"F1\\");
  }

  // The listing in a fixed starting order.
  FileList Items() {
    FileList items;
    for (const wchar_t* name : {L"c", L"f2", L"b.txt", L"F1", L"A.doc"}) {
      items.push_back(std::make_unique<CFileTools>(folder_.Path() + L"\\" + name));
    }
    return items;
  }
  // The titles of the listing sorted by `key`.
  Order Sorted(const std::wstring& key, bool* known = nullptr) {
    FileList items = Items();
    const bool result = SortFiles(items, key);
    if (known != nullptr) *known = result;
    return browsetest::Titles(items);
  }

  zeltest::TempFolder folder_;
};

TEST_F(SortFilesTest, EveryKeyPutsFoldersFirst) {
  // Texts order the folders too; numbers leave the two folders (size 0, dated now) in either order,
  // and only the files are compared.
  const std::pair<const wchar_t*, Order> keys[] = {
      {L"title:asc", {"F1", "f2", "A.doc", "b.txt", "c"}}, {L"path:asc", {"F1", "f2", "A.doc", "b.txt", "c"}},
      {L"title:desc", {"f2", "F1", "c", "b.txt", "A.doc"}}, {L"path:desc", {"f2", "F1", "c", "b.txt", "A.doc"}},
      // A file without extension sorts by its whole path ("C:\..." before "doc").
      {L"path.extension:asc", {"F1", "f2", "c", "A.doc", "b.txt"}},
      {L"path.extension:desc", {"f2", "F1", "b.txt", "A.doc", "c"}},
      {L"size:asc", {"A.doc", "c", "b.txt"}}, {L"size:desc", {"b.txt", "c", "A.doc"}},
      {L"lastModified:asc", {"b.txt", "A.doc", "c"}}, {L"lastModified:desc", {"c", "A.doc", "b.txt"}},
  };
  for (const auto& [key, expected] : keys) {
    bool known = false;
    const Order order = Sorted(key, &known);
    EXPECT_TRUE(known);
    EXPECT_TRUE((order[0] == "F1" || order[0] == "f2") && (order[1] == "F1" || order[1] == "f2")) << Narrow(key);
    EXPECT_EQ(expected.size() == 5 ? order : Order(order.begin() + 2, order.end()), expected) << Narrow(key);
  }
  // Creation and access times cannot be set on every platform (a file system may keep access
  // times its own way): the order follows what each file reports.
  for (const wchar_t* key : {L"creationDate:asc", L"creationDate:desc", L"lastAccessTime:asc", L"lastAccessTime:desc"}) {
    FileList items = Items();
    EXPECT_TRUE(SortFiles(items, key));
    EXPECT_TRUE(items[0]->IsFolder() && items[1]->IsFolder());
    const bool ascending = std::wstring(key).find(L":asc") != std::wstring::npos;
    for (size_t i = 3; i < items.size(); ++i) {
      const auto time = [&](size_t at) { return key[0] == L'c' ? items[at]->CreationTime() : items[at]->LastAccessTime(); };
      EXPECT_TRUE(ascending ? time(i - 1) <= time(i) : time(i - 1) >= time(i)) << Narrow(key);
    }
  }
}

TEST_F(SortFilesTest, OnlyTheFirstOfSeveralKeysAndExactNamesCount) {
  bool known = false;
  EXPECT_EQ(Sorted(L"size:desc,title:asc", &known), Sorted(L"size:desc"));
  EXPECT_TRUE(known);
  for (const wchar_t* unknown : {L"Size:asc", L",size:desc", L"title", L"", L"size", L"size:desc "}) {
    EXPECT_EQ(Sorted(unknown, &known), (Order{"F1", "f2", "A.doc", "b.txt", "c"})) << Narrow(unknown);
    EXPECT_FALSE(known);
  }
}

TEST_F(SortFilesTest, FoldersDatedNowStillSortConsistently) {
  // Folders answer the time of reading for every date; many of them, read during a sort that
  // crosses a second, must not upset the order.
  FileList items;
  for (int i = 0; i < 100; ++i) {
    items.push_back(std::make_unique<CFileTools>(Make(folder_.Path(), L"many\\d" + std::to_wstring(i) + L"\\")));
    items.push_back(std::make_unique<CFileTools>(folder_.Path() + L"\\b.txt"));
  }
  for (const wchar_t* key : {L"lastModified:desc", L"creationDate:asc", L"lastAccessTime:desc"}) {
    ASSERT_TRUE(SortFiles(items, key));
    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i]->IsFolder(), i < 100) << i;
  }
}

}  // namespace
}  // namespace zel
