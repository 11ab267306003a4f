#include <windows.h>

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "browse/extension_map.h"
#include "browse/file_tools.h"
#include "browse_test_support.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "support/test_support.h"

namespace zel {
namespace {

using browsetest::Make;
using zeltest::Narrow;

class FileToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    types_.FillOnce({{L".mp3", L"audio"}, {L".txt", L"document"}});
  }

  std::string Property(CFileTools& item, const wchar_t* name) { return Narrow(item.GetProperty(name, types_)); }
  std::string Property(const std::wstring& path, const wchar_t* name) {
    CFileTools item(path);
    return Property(item, name);
  }

  zeltest::TempFolder folder_;
  SharedExtensionMap types_;
};

// The current local time in the properties' format, to compare fallbacks with.
std::wstring LocalNow(__time64_t seconds) {
  std::tm local{};
  _localtime64_s(&local, &seconds);
  return FormatWide(L"%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                    local.tm_hour, local.tm_min, local.tm_sec);
}

// A date property of something that cannot be opened is the time of reading (the texts sort as the
// times do).
void ExpectNow(const std::string& value, __time64_t before) {
  EXPECT_TRUE(Narrow(LocalNow(before)) <= value && value <= Narrow(LocalNow(_time64(nullptr)))) << value;
}

TEST_F(FileToolsTest, PropertiesDerivedFromThePath) {
  CFileTools shown(L"D:\\Music\\Song.mp3", L"Song");  // the shell hid the extension
  EXPECT_EQ(Property(shown, L"title"), "Song");
  EXPECT_EQ(Property(shown, L"path.filename"), "Song");
  EXPECT_EQ(Property(shown, L"path"), "D:\\Music\\Song.mp3");
  struct Row {
    const wchar_t* path;
    const wchar_t* name;
    const char* value;
  };
  const Row rows[] = {
      {L"D:\\Music\\Song.mp3", L"title", "Song.mp3"}, {L"plain", L"title", "plain"}, {L"D:\\", L"title", ""},
      {L"\\top", L"title", "\\top"},  // a backslash at index 0 does not count
      {L"D:\\a.b\\readme", L"path.extension", "b\\readme"}, {L"D:\\Music\\Song.MP3", L"path.extension", "MP3"},
      {L"D:\\Music\\readme", L"path.extension", "D:\\Music\\readme"},
      {L".hidden", L"path.extension", ".hidden"},  // a dot at index 0 does not count
      {L"D:\\My Music\\a+b.mp3", L"mediumId", "F*D:|My*Music|a<b>mp3"},
      {L"D:\\My Music\\a+b.mp3", L"zelMediumId", "F*D:|My*Music|a<b>mp3"},
      {L"D:\\x", L"no such property", ""}, {L"D:\\x", L"Title", ""},  // names are compared exactly
      // "path.directory" is the folder that holds the item.
      {L"D:\\Music\\a.mp3", L"path.directory", "D:\\Music"}, {L"D:\\a.mp3", L"path.directory", "D:\\"},
      {L"a.mp3", L"path.directory", ""}, {L"D:\\Music\\Albums\\", L"path.directory", "D:\\Music"},
      {L"D:\\", L"path.directory", ""}, {L"\\\\server\\share\\a.mp3", L"path.directory", "\\\\server\\share"},
      {L"\\a.mp3", L"path.directory", "\\"}, {L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}", L"path.directory", ""},
      // The media type goes by the lower-cased extension.
      {L"D:\\Music\\Song.MP3", L"mediaType", "audio.file"}, {L"D:\\notes.txt", L"mediaType", "document.file"},
      {L"D:\\Music\\Song.ogg", L"mediaType", "file"}, {L"D:\\Music\\mp3", L"mediaType", "file"},
  };
  for (const Row& row : rows) EXPECT_EQ(Property(row.path, row.name), row.value) << Narrow(row.path) << " " << Narrow(row.name);
  SharedExtensionMap empty;
  EXPECT_EQ(Narrow(CFileTools(L"D:\\Music\\Song.mp3").GetProperty(L"mediaType", empty)), "file");
}

TEST_F(FileToolsTest, SizesAndDatesOfFilesFoldersAndRemovableItems) {
  const std::wstring file = Make(folder_.Path(), L"seven.bin", "1234567");
  const std::wstring sub = Make(folder_.Path(), L"sub\\");
  const __time64_t before = _time64(nullptr);
  EXPECT_EQ(Property(file, L"size"), "7");
  EXPECT_EQ(Property(file, L"type"), "file");
  EXPECT_EQ(Property(sub, L"size"), "0");
  EXPECT_EQ(Property(sub, L"type"), "folder");
  ExpectNow(Property(sub, L"dateModified"), before);
  ExpectNow(Property(sub, L"creationDate"), before);

  // A known write time, read back in local time.
  FILETIME written;
  SYSTEMTIME utc{2021, 3, 0, 15, 12, 30, 45, 0};
  ::SystemTimeToFileTime(&utc, &written);
  {
    UniqueFile handle(::CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(::SetFileTime(handle.Get(), &written, nullptr, &written));
  }
  CFileTools dated(file);
  const std::string expected = Narrow(LocalNow(dated.LastWriteTime()));
  EXPECT_EQ(dated.LastWriteTime(), 1615811445);
  EXPECT_EQ(Property(dated, L"dateModified"), expected);
  EXPECT_EQ(Property(dated, L"lastModified"), expected);
  EXPECT_EQ(Property(dated, L"lastAccessTime").size(), 19u);

  // The year and the month are written with four digits each. Where the platform keeps the
  // creation time that was set (March), the month reads 0003.
  const std::string created = Property(dated, L"creationDate");
  EXPECT_EQ(Property(dated, L"creationDate.year"), created.substr(0, 4));
  EXPECT_EQ(Property(dated, L"creationDate.month"), "00" + created.substr(5, 2));
  if (dated.CreationTime() == 1615811445) EXPECT_EQ(Property(dated, L"creationDate.month"), "0003");

  CFileTools removable(L"E:\\", L"Stick");
  removable.SetRemovable(true);
  for (const wchar_t* name : {L"size", L"dateModified", L"lastModified", L"lastAccessTime", L"creationDate",
                              L"creationDate.year", L"creationDate.month"}) {
    EXPECT_EQ(Property(removable, name), "") << Narrow(name);
  }
  EXPECT_EQ(Property(removable, L"title"), "Stick");
}

TEST_F(FileToolsTest, VanishedLockedAndDeviceItemsTakeTheFallbacks) {
  const std::wstring gone = Make(folder_.Path(), L"gone.txt", "abc");
  CFileTools vanished(gone);
  ASSERT_TRUE(::DeleteFileW(gone.c_str()));
  const __time64_t before = _time64(nullptr);
  EXPECT_EQ(Property(vanished, L"size"), "0");
  ExpectNow(Property(vanished, L"dateModified"), before);
  EXPECT_EQ(Property(vanished, L"type"), "file");
  EXPECT_FALSE(vanished.Exists());

  const std::wstring locked_path = Make(folder_.Path(), L"locked.txt", "abcdef");
  UniqueFile lock(::CreateFileW(locked_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock);
  CFileTools locked(locked_path);
  EXPECT_EQ(Property(locked, L"size"), "0");
  ExpectNow(Property(locked, L"lastAccessTime"), before);
  lock.Reset();
  // A failed open is not remembered: once the lock is gone, the file answers.
  EXPECT_EQ(Property(locked, L"size"), "6");

  for (const wchar_t* device : {L"CON", L"NUL", L"\\\\.\\CONIN$", L"\\\\?\\NUL"}) {
    EXPECT_EQ(Property(device, L"size"), "0") << Narrow(device);
  }
  const std::wstring long_path = folder_.Path() + L"\\" + std::wstring(5000, L'x') + L".mp3";
  EXPECT_EQ(Property(long_path, L"size"), "0");
  EXPECT_EQ(Property(long_path, L"mediaType"), "audio.file");
}

TEST_F(FileToolsTest, ShortcutsRootsAndShellObjects) {
  const std::wstring target_folder = Make(folder_.Path(), L"albums\\");
  const std::wstring target_file = Make(folder_.Path(), L"albums\\song.mp3", "x");
  const std::wstring to_folder = folder_.Path() + L"\\Albums.LNK";
  const std::wstring to_file = folder_.Path() + L"\\song.lnk";
  ASSERT_TRUE(browsetest::MakeShortcut(to_folder, target_folder) && browsetest::MakeShortcut(to_file, target_file));
  CFileTools folder_link(to_folder);
  EXPECT_TRUE(folder_link.IsShortcut() && folder_link.IsFolder() && folder_link.Exists());
  EXPECT_EQ(_wcsicmp(ResolveShortcut(to_folder).c_str(), target_folder.c_str()), 0) << Narrow(ResolveShortcut(to_folder));
  EXPECT_EQ(_wcsicmp(ResolveShortcut(to_file).c_str(), target_file.c_str()), 0);
  EXPECT_FALSE(CFileTools(to_file).IsFolder());
  ASSERT_TRUE(::DeleteFileW(target_file.c_str()));
  EXPECT_FALSE(CFileTools(to_file).Exists());
  // Not a shortcut at all: the path itself comes back.
  const std::wstring fake = Make(folder_.Path(), L"fake.lnk", "not a link");
  EXPECT_EQ(ResolveShortcut(fake), fake);
  EXPECT_FALSE(CFileTools(folder_.Path() + L"\\x.lnkk").IsShortcut() || CFileTools(L"lnk").IsShortcut());

  EXPECT_TRUE(CFileTools(L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}").IsFolder());
  EXPECT_TRUE(CFileTools(L"C:\\").IsFolder());
  CFileTools browsable(L"::not-a-path");
  EXPECT_FALSE(browsable.IsFolder());
  browsable.SetBrowsable(true);
  EXPECT_TRUE(browsable.IsFolder());
  EXPECT_FALSE(CFileTools(folder_.Path() + L"\\missing").Exists());
}

}  // namespace
}  // namespace zel
