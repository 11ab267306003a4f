#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "browse/directory_facts.h"
#include "browse/folder_enum.h"
#include "browse/folder_path.h"
#include "browse/folder_walk.h"
#include "browse/sort_files.h"
#include "browse_test_support.h"
#include "common/long_path.h"
#include "common/module_log.h"
#include "common/unique_handle.h"
#include "support/test_support.h"

namespace zel::browse {
namespace {

using browsetest::Make;
using zeltest::ModuleLogLinesWith;
using zeltest::Narrow;

// The file names (last path component) of a listing, sorted: the shell chooses the order.
using Names_ = std::vector<std::string>;
Names_ Names(const FileList& items) {
  Names_ names;
  for (const auto& item : items) {
    const std::wstring& path = item->Path();
    names.push_back(Narrow(path.substr(path.rfind(L'\\') + 1)));
  }
  std::sort(names.begin(), names.end());
  return names;
}

FileList List(const std::wstring& path, int flags, std::vector<std::wstring> filter = {}) {
  FileList items;
  EnumerateFolder(path, FolderEnumOptions::FromFlags(flags, std::move(filter)), items);
  return items;
}

const CFileTools* Find(const FileList& items, const std::wstring& path) {
  for (const auto& item : items) {
    if (_wcsicmp(item->Path().c_str(), path.c_str()) == 0) return item.get();
  }
  return nullptr;
}

// Three files of known sizes and times and two folders under `root`, in a fixed starting order.
FileList SortItems(const std::wstring& root) {
  const auto in = [](WORD year) { return SYSTEMTIME{year, 6, 0, 1, 12, 0, 0, 0}; };
  browsetest::SetTimes(Make(root, L"b.txt", std::string(30, 'b')), in(2001), in(2013));
  browsetest::SetTimes(Make(root, L"A.doc", std::string(10, 'a')), in(2002), in(2012));
  browsetest::SetTimes(Make(root, L"c", std::string(20, 'c')), in(2003), in(2011));
  Make(root, L"f2\\");
  Make(root, L"F1\\");
  FileList items;
  for (const wchar_t* name : {L"c", L"f2", L"b.txt", L"F1", L"A.doc"}) {
    items.push_back(std::make_unique<CFileTools>(root + L"\\" + name));
  }
  return items;
}

// The titles of those items sorted by `key`.
Names_ Sorted(const std::wstring& root, const std::wstring& key, bool* known = nullptr) {
  FileList items = SortItems(root);
  const bool result = SortFiles(items, key);
  if (known != nullptr) *known = result;
  Names_ titles;
  for (const auto& item : items) titles.push_back(Narrow(item->Title()));
  return titles;
}

TEST(ResolveFolderPathTest, TokensExpandToTheirShellFolders) {
  const std::wstring music = SpecialFolderLocation(13);
  ASSERT_FALSE(music.empty());
  const std::pair<const wchar_t*, std::wstring> expanded[] = {
      {L"%MYMUSIC%", music}, {L"%mymusic%", music}, {L"%MyMusic%\\Albums", music + L"\\Albums"}, {L"%CSIDL_13%", music},
      {L"%CSIDL_13%\\x", music + L"\\x"}, {L"D:\\%MYMUSIC%\\x", L"D:\\" + music + L"\\x"},
      {L"%COMMON_VIDEO%", SpecialFolderLocation(55)}, {L"%DESKTOP%", SpecialFolderLocation(0)},
      {L"%MYMUSIC%\\%MYVIDEO%", music + L"\\%MYVIDEO%"},  // the first pair only
      {L"%MYCOMPUTER%\\anything", kMyComputerPath}, {L"x\\%mycomputer%", kMyComputerPath},
  };
  for (const auto& [path, expected] : expanded) EXPECT_EQ(ResolveFolderPath(path), expected) << Narrow(path);
  // Without a known token, or for a folder the shell cannot locate, the path stays as it came
  // (which lists nothing, not the desktop).
  for (const wchar_t* path : {L"", L"D:\\Music", L"100%", L"%NOSUCHNAME%\\x", L"%%", L"%csidl_13%", L"x%CSIDL_13%",
                              L"%CSIDL_%", L"%MY MUSIC%", L"%MYMUSIC", L"%CSIDL_4000%", L"%CSIDL_-7%\\x"}) {
    EXPECT_EQ(ResolveFolderPath(path), path) << Narrow(path);
  }
  EXPECT_EQ(_wcsicmp(ResolveFolderPath(L"%DRIVES%").c_str(), kMyComputerPath), 0);
  EXPECT_EQ(ResolveFolderPath(L" %MYMUSIC%/../x//"), music.substr(0, music.rfind(L'\\')) + L"\\x");
}

TEST(NormalizeFolderPathTest, OneSpellingNeverAboveTheRoot) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L" \t C:/Users//root/./Music/../caf\u00E9/", L"C:\\Users\\root\\caf\u00E9"},
      {L"C:\\..\\..\\x\\..\\..\\\u65E5\u672C\u8A9E", L"C:\\\u65E5\u672C\u8A9E"},
      {L"C:", L"C:\\"}, {L"c:/", L"c:\\"}, {L"C:\\.\\..", L"C:\\"},
      {L"\\\\?\\C:\\a\\.\\\U0001D11E", L"C:\\a\\\U0001D11E"},
      {L"\\\\?\\UNC\\srv\\share\\a", L"\\\\srv\\share\\a"},
      {L"//srv/share/../../x", L"\\\\srv\\share\\x"}, {L"\\\\srv\\\\share\\", L"\\\\srv\\share"},
      // Shell paths, devices, relative and odd paths keep their spelling, without leading blanks.
      {L" ::{20D04FE0-3AEA-1069-A2D8-08002B30309D}\\..", L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}\\.."},
      {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"}, {L"a/../b", L"a/../b"}, {L"CON", L"CON"}, {L"C:x\\..", L"C:x\\.."},
      {L"\\\\srv", L"\\\\srv"}, {L"\\\\..\\share\\x", L"\\\\..\\share\\x"}, {L"   ", L""},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(NormalizeFolderPath(path), expected) << Narrow(path);
}

class FolderListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    root_ = folder_.Path();
    for (const wchar_t* name : {L"a.Mp3", L"b.ogg", L"c.WAV", L"noext", L"sub\\d.mp3", L"sub\\deeper\\e.mp3",
                                L"empty\\", L"hidden.mp3"}) {
      Make(root_, name, "x");
    }
    ASSERT_TRUE(::SetFileAttributesW((root_ + L"\\hidden.mp3").c_str(), FILE_ATTRIBUTE_HIDDEN));
  }

  zeltest::TempFolder folder_;
  std::wstring root_;
};

TEST_F(FolderListingTest, DirectoryFactsReachItemsInAnyOrderAndCaseOnlyInTheFirstFolderNoted) {
  Make(root_, L"sized.bin", std::string(1234, 's'));
  // Items named in another case and order than the read's; items of another folder, roots, names
  // the read does not give and names never noted keep nothing (size -1 below).
  const std::pair<std::wstring, LONGLONG> sizes[] = {
      {root_ + L"\\SIZED.bin", 1234}, {root_ + L"\\noext", 1}, {root_ + L"\\A.MP3", 1}, {root_ + L"\\Sub", 0},
      {root_ + L"\\sized.bin", 1234}, {root_ + L"\\missing", -1}, {root_ + L"\\sub\\d.mp3", -1}, {L"C:\\", -1},
      {root_ + L"\\", -1}, {L"noslash", -1}, {root_ + L"\\b.ogg", -1},
  };
  DirectoryFacts facts;
  DirectoryFacts::Items items;
  for (const auto& [path, size] : sizes) {
    if (path != root_ + L"\\b.ogg") facts.Note(items.size(), path);
    items.push_back(std::make_unique<CFileTools>(path));
  }
  facts.Apply(items);
  // Once read, the files may go: what the read gave stays, the others fall back to 0.
  for (const wchar_t* name : {L"sized.bin", L"noext", L"a.Mp3", L"b.ogg", L"sub\\d.mp3"}) {
    ::DeleteFileW((root_ + L"\\" + name).c_str());
  }
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i]->Size(), std::max<LONGLONG>(sizes[i].second, 0)) << Narrow(sizes[i].first);
  }
  EXPECT_TRUE(items[3]->IsFolder());
  EXPECT_FALSE(items[1]->IsFolder());
}

TEST_F(FolderListingTest, OptionBitsFilterAndFlags) {
  EXPECT_EQ(Names(List(root_, 0x03)), (Names_{"a.Mp3", "b.ogg", "c.WAV", "empty", "noext", "sub"}));
  EXPECT_EQ(Names(List(root_, 0x01)), (Names_{"empty", "sub"}));
  EXPECT_EQ(Names(List(root_, 0x02)), (Names_{"a.Mp3", "b.ogg", "c.WAV", "noext"}));
  EXPECT_EQ(Names(List(root_, 0x0A)), (Names_{"a.Mp3", "b.ogg", "c.WAV", "hidden.mp3", "noext"}));
  EXPECT_EQ(Names(List(root_, 0x00)), Names_{});
  EXPECT_EQ(Names(List(root_, 0x04)), Names_{});  // nothing here lacks the file-system attribute
  // The filter applies to files only, ignoring case.
  EXPECT_EQ(Names(List(root_, 0x03, {L"mp3", L"WAV"})), (Names_{"a.Mp3", "c.WAV", "empty", "sub"}));
  EXPECT_EQ(Names(List(root_, 0x02, {L""})), (Names_{"noext"}));

  const FileList items = List(root_, 0x03);
  const CFileTools* sub = Find(items, root_ + L"\\sub");
  const CFileTools* song = Find(items, root_ + L"\\a.Mp3");
  ASSERT_TRUE(sub != nullptr && song != nullptr);
  EXPECT_TRUE(sub->IsBrowsable());  // it has a subfolder (Wine says so of every folder)
  EXPECT_FALSE(song->IsBrowsable());
  EXPECT_FALSE(sub->IsVirtual() || song->IsVirtual() || sub->IsRemovable());
  const FileList computer = List(kMyComputerPath, 0x07);
  const CFileTools* drive = Find(computer, L"C:\\");
  ASSERT_TRUE(drive != nullptr);
  EXPECT_TRUE(drive->IsVirtual());  // a drive root: three characters
  EXPECT_TRUE(drive->IsBrowsable());
  EXPECT_EQ(Names(List(L"%DRIVES%", 0x07)).size(), 0u);  // tokens are expanded by the caller, not here
  // The desktop for an empty or blank path; "C:" read as "C:\".
  const Names_ desktop = Names(List(L"", 0x07));
  EXPECT_FALSE(desktop.empty());
  EXPECT_EQ(Names(List(L"  \t ", 0x07)), desktop);
  EXPECT_EQ(Names(List(L"C:", 0x03)), Names(List(L"C:\\", 0x03)));
  EXPECT_FALSE(List(L"C:", 0x01).empty());
}

TEST_F(FolderListingTest, RecursionListsContentsInPlaceOfTheirFoldersAndStops) {
  const Names_ flat{"a.Mp3", "b.ogg", "c.WAV", "d.mp3", "e.mp3", "noext"};
  const FileList files = List(root_, 0x12);
  EXPECT_EQ(Names(files), flat);
  EXPECT_EQ(Names(List(root_, 0x13)), flat);  // folders are replaced by their contents
  EXPECT_EQ(Names(List(root_, 0x12, {L"mp3"})), (Names_{"a.Mp3", "d.mp3", "e.mp3"}));
  // Depth first: what sub holds stands together.
  const auto at = [&](const wchar_t* name) {
    return std::find_if(files.begin(), files.end(), [&](const auto& item) { return item->Path() == root_ + name; }) - files.begin();
  };
  EXPECT_EQ(std::abs(at(L"\\sub\\d.mp3") - at(L"\\sub\\deeper\\e.mp3")), 1);

  // It stops 64 folders down.
  std::wstring chain;
  for (int level = 0; level <= 70; ++level) {
    Make(root_, L"chain" + chain + L"\\f.txt", "x");
    chain += L"\\d";
  }
  ModuleLog().SetLevel(CTkLog::kWarn);
  const std::wstring cut_at = root_ + L"\\chain" + chain.substr(0, 65 * 2);
  const std::string warning = "recursion stops 64 folders down, not entering " + Narrow(cut_at);
  const size_t warned = ModuleLogLinesWith(warning).size();
  EXPECT_EQ(List(root_ + L"\\chain", 0x12).size(), 65u);  // the listed folder and the 64 levels below it
  ModuleLog().SetLevel(CTkLog::kError);
  EXPECT_EQ(ModuleLogLinesWith(warning).size(), warned + 1);
  const FileList with_folders = List(root_ + L"\\chain", 0x13);
  ASSERT_EQ(with_folders.size(), 66u);  // the folder 65 levels down is listed, not entered
  EXPECT_EQ(std::count_if(with_folders.begin(), with_folders.end(), [](const auto& item) { return item->IsFolder(); }), 1);
}

TEST_F(FolderListingTest, LinkedFoldersAreEnteredOnceAndShortcutsLeadToTheirFolders) {
  // Outside the listed tree: a folder named in three scripts, reached by two links; a link back to
  // the top; a shortcut to a folder.
  zeltest::TempFolder outside;
  const std::wstring elsewhere = Make(outside.Path(), L"\u65E5\u672C\u8A9E caf\u00E9 \U0001D11E\\");
  Make(elsewhere, L"f\u00E9.mp3", "x");
  Make(elsewhere, L"inner\\g.mp3", "x");
  if (!browsetest::MakeFolderLink(root_ + L"\\sub\\loop", root_) ||
      !browsetest::MakeFolderLink(root_ + L"\\linked", elsewhere) ||
      !browsetest::MakeFolderLink(root_ + L"\\sub\\again", elsewhere)) {
    GTEST_SKIP() << "no symbolic links here";
  }
  // How the directory read reports a link (Wine: a Unix symbolic link), for the record.
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileW((root_ + L"\\linked").c_str(), &data));
  ASSERT_TRUE(find);
  RecordProperty("link_attributes", static_cast<int>(data.dwFileAttributes));
  const auto identity = [](const std::wstring& path) { return zel::IdentityOf(path).value_or(zel::FileIdentity{}); };
  EXPECT_TRUE(zel::IdentityOf(root_ + L"\\linked") && !(identity(root_ + L"\\linked") < identity(elsewhere)) &&
              !(identity(elsewhere) < identity(root_ + L"\\linked")));
  EXPECT_TRUE(identity(root_) < identity(elsewhere) || identity(elsewhere) < identity(root_));

  // Every file once, the linked folder's included; no link is a row, with folders or without.
  const Names_ all{"a.Mp3", "b.ogg", "c.WAV", "d.mp3", "e.mp3", "f\xC3\xA9.mp3", "g.mp3", "noext"};
  EXPECT_EQ(Names(List(root_, 0x12)), all);
  EXPECT_EQ(Names(List(root_, 0x13)), all);
  EXPECT_EQ(Names(List(root_ + L"\\sub", 0x12)), (Names_{"a.Mp3", "b.ogg", "c.WAV", "d.mp3", "e.mp3", "f\xC3\xA9.mp3", "g.mp3", "noext"}));
  // Listed directly, a link is an ordinary folder.
  EXPECT_EQ(Names(List(root_ + L"\\sub\\loop", 0x01)), (Names_{"empty", "linked", "sub"}));
  EXPECT_EQ(Names(List(root_ + L"\\linked", 0x03)), (Names_{"f\xC3\xA9.mp3", "inner"}));

  // A shortcut to a folder lists the folder; one to a file lists nothing. (Wine's shortcuts keep
  // their target in the ANSI code page, so this target's name stays within it.)
  const std::wstring target = Make(outside.Path(), L"caf\u00E9\\");
  Make(target, L"\u65E5\u672C\u8A9E.mp3", "x");
  Make(target, L"inner\\g.mp3", "x");
  ASSERT_TRUE(browsetest::MakeShortcut(root_ + L"\\\u65E5\u672C\u8A9E.lnk", target));
  ASSERT_TRUE(browsetest::MakeShortcut(root_ + L"\\song.lnk", root_ + L"\\a.Mp3"));
  const FileList through = List(root_ + L"\\\u65E5\u672C\u8A9E.lnk", 0x03);
  EXPECT_EQ(Names(through), (Names_{"inner", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.mp3"}));
  EXPECT_TRUE(Find(through, target + L"\\\u65E5\u672C\u8A9E.mp3") != nullptr);
  EXPECT_EQ(Names(List(root_ + L"\\\u65E5\u672C\u8A9E.lnk", 0x12)), (Names_{"g.mp3", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.mp3"}));
  EXPECT_TRUE(List(root_ + L"\\song.lnk", 0x03).empty());
}

TEST_F(FolderListingTest, FoldersPastTheShellsLengthAreReadDirectlyWithWholePaths) {
  // Three levels of long names in three scripts: 300 characters and more below the root.
  std::wstring deep = root_;
  for (int level = 0; level < 3; ++level) {
    deep = Make(deep, L"\u65E5\u672C\u8A9E-caf\u00E9-\U0001D11E-" + std::wstring(90, L'a' + level) + L"\\");
  }
  ASSERT_GT(deep.size(), 300u);
  Make(deep, L"x\u00E9.mp3", "12345");
  Make(deep, L"inner\\y.mp3", "1");
  Make(deep, L"h.mp3", "1");
  ASSERT_TRUE(::SetFileAttributesW(ExtendedLengthPath(deep + L"\\h.mp3").c_str(), FILE_ATTRIBUTE_HIDDEN));
  const FileList listed = List(deep, 0x03, {L"mp3"});
  EXPECT_EQ(Names(listed), (Names_{"inner", "x\xC3\xA9.mp3"}));
  const CFileTools* file = Find(listed, deep + L"\\x\u00E9.mp3");
  ASSERT_TRUE(file != nullptr);
  EXPECT_EQ(Narrow(const_cast<CFileTools*>(file)->Title()), "x\xC3\xA9.mp3");
  EXPECT_EQ(const_cast<CFileTools*>(file)->Size(), 5);
  EXPECT_TRUE(const_cast<CFileTools*>(Find(listed, deep + L"\\inner"))->IsFolder());
  EXPECT_EQ(Names(List(deep, 0x0A)), (Names_{"h.mp3", "x\xC3\xA9.mp3"}));
  // Recursively from the top, through the shell and then the directory read; nothing is cut.
  EXPECT_EQ(Names(List(root_, 0x12, {L"mp3"})), (Names_{"a.Mp3", "d.mp3", "e.mp3", "x\xC3\xA9.mp3", "y.mp3"}));
  EXPECT_TRUE(Find(List(root_, 0x12), deep + L"\\inner\\y.mp3") != nullptr);
  // Spellings of the long path the shell would never see reach the same folder.
  EXPECT_EQ(Names(List(L"\\\\?\\" + deep, 0x03)), Names(List(deep, 0x03)));
}

// Odd paths are listed through the module in the folder content tests.
TEST_F(FolderListingTest, AFolderRemovedWhileItIsListed) {
  const std::wstring doomed = root_ + L"\\doomed";
  for (int i = 0; i < 300; ++i) Make(doomed, L"f" + std::to_wstring(i) + L".txt", "x");
  std::atomic<bool> go{false};
  std::thread remover([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 300; ++i) ::DeleteFileW((doomed + L"\\f" + std::to_wstring(i) + L".txt").c_str());
    ::RemoveDirectoryW(doomed.c_str());
  });
  go = true;
  const FileList partial = List(doomed, 0x1F);
  remover.join();
  EXPECT_LE(partial.size(), 300u);
  for (const auto& item : partial) item->Size();  // items of vanished files still answer
}

TEST_F(FolderListingTest, SortEveryKeyPutsFoldersFirstAndReadsOnlyTheFirstKey) {
  // Texts order the folders too; numbers leave the two folders (size 0, dated now) in either order,
  // and only the files are compared.
  const std::pair<const wchar_t*, Names_> keys[] = {
      {L"title:asc", {"F1", "f2", "A.doc", "b.txt", "c"}}, {L"path:asc", {"F1", "f2", "A.doc", "b.txt", "c"}},
      {L"title:desc", {"f2", "F1", "c", "b.txt", "A.doc"}}, {L"path:desc", {"f2", "F1", "c", "b.txt", "A.doc"}},
      // A file without extension sorts by its whole path ("C:\..." before "doc").
      {L"path.extension:asc", {"F1", "f2", "c", "A.doc", "b.txt"}},
      {L"path.extension:desc", {"f2", "F1", "b.txt", "A.doc", "c"}},
      {L"size:asc", {"A.doc", "c", "b.txt"}}, {L"size:desc", {"b.txt", "c", "A.doc"}},
      {L"lastModified:asc", {"b.txt", "A.doc", "c"}}, {L"lastModified:desc", {"c", "A.doc", "b.txt"}},
  };
  bool known = false;
  for (const auto& [key, expected] : keys) {
    const Names_ order = Sorted(root_, key, &known);
    EXPECT_TRUE(known);
    EXPECT_TRUE((order[0] == "F1" || order[0] == "f2") && (order[1] == "F1" || order[1] == "f2")) << Narrow(key);
    EXPECT_EQ(expected.size() == 5 ? order : Names_(order.begin() + 2, order.end()), expected) << Narrow(key);
  }
  // Creation and access times cannot be set on every platform (a file system may keep access
  // times its own way): the order follows what each file reports.
  for (const wchar_t* key : {L"creationDate:asc", L"creationDate:desc", L"lastAccessTime:asc", L"lastAccessTime:desc"}) {
    FileList items = SortItems(root_);
    EXPECT_TRUE(SortFiles(items, key) && items[0]->IsFolder() && items[1]->IsFolder()) << Narrow(key);
    const auto time = [&](size_t at) { return key[0] == L'c' ? items[at]->CreationTime() : items[at]->LastAccessTime(); };
    for (size_t i = 3; i < items.size(); ++i) {
      EXPECT_TRUE(wcsstr(key, L":asc") ? time(i - 1) <= time(i) : time(i - 1) >= time(i)) << Narrow(key);
    }
  }
  // Only the first of several keys counts, and only exact key names.
  EXPECT_EQ(Sorted(root_, L"size:desc,title:asc", &known), Sorted(root_, L"size:desc"));
  EXPECT_TRUE(known);
  for (const wchar_t* unknown : {L"Size:asc", L",size:desc", L"title", L"", L"size", L"size:desc "}) {
    EXPECT_EQ(Sorted(root_, unknown, &known), (Names_{"F1", "f2", "A.doc", "b.txt", "c"})) << Narrow(unknown);
    EXPECT_FALSE(known);
  }
  // Folders answer the time of reading for every date; many of them, read during a sort that
  // crosses a second, must not upset the order.
  FileList items;
  for (int i = 0; i < 100; ++i) {
    items.push_back(std::make_unique<CFileTools>(Make(root_, L"many\\d" + std::to_wstring(i) + L"\\")));
    items.push_back(std::make_unique<CFileTools>(root_ + L"\\a.Mp3"));
  }
  for (const wchar_t* key : {L"lastModified:desc", L"creationDate:asc", L"lastAccessTime:desc"}) {
    ASSERT_TRUE(SortFiles(items, key));
    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i]->IsFolder(), i < 100) << i;
  }
}

}  // namespace
}  // namespace zel::browse
