#include <windows.h>

#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "browse/extension_map.h"
#include "browse/folder_enum.h"
#include "base64.h"
#include "browse_test_support.h"
#include "common/module_log.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "support/registry_scope.h"
#include "support/test_support.h"

namespace zel::browse {
namespace {

using browsetest::Make;
using zeltest::Json;
using zeltest::ModuleLogLinesWith;
using zeltest::Narrow;

std::string Quoted(const std::wstring& text) { return zelhost::DumpJson(Narrow(text)); }

class FolderContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ModuleLog().SetLevel(CTkLog::kDebug);
    Make(root_, L"a.mp3", "12345");
    Make(root_, L"b.txt", "123");
    Make(root_, L"c.jpg", "123456789");
    Make(root_, L"x\\");
    Make(root_, L"y\\inner.mp4", "1");
  }
  void TearDown() override { ModuleLog().SetLevel(CTkLog::kError); }

  // One request; `path` is quoted into element 1, `rest` follows it (with the closing bracket).
  zeltest::RunningModule::Reply Request(const std::wstring& path, const std::string& rest, LONG rc = 0) {
    return module_.Call(L"GetDiskFolderContent", "[\"req\", " + Quoted(path) + ", " + rest, rc);
  }

  zeltest::RunningModule module_{browsetest::kExtensionScript};
  zeltest::TempFolder folder_;
  const std::wstring root_ = folder_.Path();
};

Json Rows(const zeltest::RunningModule::Reply& reply) { return reply.output.is_array() ? reply.output[1] : Json(); }

TEST_F(FolderContentTest, ListsAFolderWithTheNamedColumnsFoldersFirst) {
  const std::string logged[] = {"[DEBUG] - EnumerateFolder", "[DEBUG] - SortFiles", "[INFO] - GetFolderContent returned"};
  ModuleLog().Error(L"FolderContentTest: counting lines");  // opens the log
  size_t before[3];
  for (int i = 0; i < 3; ++i) before[i] = ModuleLogLinesWith(logged[i]).size();
  const auto reply = Request(root_, R"(3, "", "path,type,size,mediaType,path.directory,nosuch", "size:desc", 0, 0])");
  ASSERT_EQ(reply.rc, 0);
  ASSERT_EQ(reply.output.size(), 4u);
  EXPECT_EQ(reply.output[0], Json::parse(R"(["path", "type", "size", "mediaType", "path.directory", "nosuch"])"));
  const std::string dir = Narrow(root_);
  const auto file = [&](const char* name, const char* size, const char* type) {
    return Json::array({dir + "\\" + name, "file", size, type, dir, ""});
  };
  const Json rows = Rows(reply);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_TRUE(rows[0][1] == "folder" && rows[1][1] == "folder") << rows;
  EXPECT_EQ(Json(rows.begin() + 2, rows.end()), Json::array({file("c.jpg", "9", "photo.file"), file("a.mp3", "5", "audio.file"),
                                                             file("b.txt", "3", "document.file")}));
  EXPECT_EQ(Json(reply.output.begin() + 2, reply.output.end()), Json::array({2, 3}));

  // The key "title" keeps the shell's order; a single file is neither listed nor sorted.
  FileList items;
  EnumerateFolder(root_, FolderEnumOptions{}, items);
  Json shell_order = Json::array();
  for (const auto& item : items) shell_order.push_back(Json::array({Narrow(item->Path())}));
  EXPECT_EQ(Rows(Request(root_, R"(3, "", "path", "title"])")), shell_order);
  EXPECT_EQ(Request(root_ + L"\\a.mp3", R"(3, "", "title,size", "size:desc"])").output,
            Json::parse(R"([["title", "size"], [["a.mp3", "5"]], 0, 1])"));
  const size_t added[] = {2, 1, 3};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ModuleLogLinesWith(logged[i]).size(), before[i] + added[i]) << logged[i];
  EXPECT_EQ(ModuleLogLinesWith("[INFO] - GetFolderContent of " + Narrow(root_)).size(), 3u);
  // The extension lists were asked for once, by the first request.
  EXPECT_EQ(module_.Journal().size(), 4u);
  EXPECT_EQ(module_.Journal()[0]["params"], Json::parse(R"(["req", "audio"])"));
}

TEST_F(FolderContentTest, FilterRecursionTokensAndHostilePaths) {
  const auto flat = Request(root_, R"(19, "MP3,jpg", "path", "path:asc"])");
  EXPECT_EQ(Rows(flat), Json::parse("[[" + Quoted(root_ + L"\\a.mp3") + "], [" + Quoted(root_ + L"\\c.jpg") + "]]"));
  EXPECT_EQ(flat.output[2], 0);

  const auto computer = Request(L"%MYCOMPUTER%\\ignored", R"(7, "", "path,type", "title:asc"])");
  EXPECT_EQ(computer.rc, 0);
  const Json drives = Rows(computer);
  EXPECT_NE(std::find(drives.begin(), drives.end(), Json::array({"C:\\", "folder"})), drives.end()) << drives;
  // Odd and hostile paths answer with an empty or partial listing.
  for (const std::wstring& path :
       {std::wstring(L"CON"), std::wstring(L"NUL"), std::wstring(L"\\\\?\\") + root_, root_ + L"\\..\\.\\",
        root_ + L"...", root_ + L"\\" + std::wstring(40000, L'z'), std::wstring(L"\\\\.\\pipe\\zel-none"),
        std::wstring(L"%CSIDL_-7%"), std::wstring(L"%%%%"), std::wstring(L"::{"), std::wstring(L"Q:")}) {
    const auto reply = Request(path, R"(31, "", "title,size,dateModified,mediumId,path.directory", "lastModified:desc", 0, 50])");
    EXPECT_TRUE(reply.rc == 0 || reply.rc == 1) << Narrow(path.substr(0, 60)) << " " << reply.rc;
  }
}

TEST_F(FolderContentTest, SpellingsOfAPathListTheSameAndClimbNoHigherThanTheRoot) {
  const std::wstring sub = Make(root_, L"caf\u00E9 \u65E5\u672C\u8A9E\\") ;
  Make(sub, L"\U0001D11E.mp3", "1");
  const std::string columns = R"(3, "", "path,title", "title:asc"])";
  const Json plain = Rows(Request(sub, columns));
  ASSERT_EQ(plain, Json::array({Json::array({Narrow(sub + L"\\\U0001D11E.mp3"), "\U0001D11E.mp3"})}));
  std::wstring slashed = sub;
  for (wchar_t& c : slashed) c = c == L'\\' ? L'/' : c;
  for (const std::wstring& spelling : {slashed, L"  " + sub, sub + L"\\", root_ + L"\\\\.\\x\\..\\" + sub.substr(root_.size() + 1),
                                       L"\\\\?\\" + sub}) {
    EXPECT_EQ(Rows(Request(spelling, columns)), plain) << Narrow(spelling);
  }
  EXPECT_EQ(Rows(Request(L"C:\\..\\..\\..", R"(1, "", "path", "title:asc"])")),
            Rows(Request(L"C:\\", R"(1, "", "path", "title:asc"])")));
}

TEST_F(FolderContentTest, ADeepTreeListsWholeAndItsIdsServeTheFiles) {
  // 70 files over 14 levels of folders named in three scripts, down to more than 300 characters.
  std::wstring folder = Make(root_, L"deep\\");
  std::vector<std::pair<std::wstring, std::string>> files;
  for (int level = 0; level < 14; ++level) {
    folder = Make(folder, L"\u65E5\u672C\u8A9E caf\u00E9 \U0001D11E folder " + std::to_wstring(level) + L"\\");
    for (int i = 0; i < 5; ++i) {
      const std::wstring name = L"\U0001D11E " + std::to_wstring(level) + L"-" + std::to_wstring(i) + L".mp3";
      files.emplace_back(Make(folder, name, "bytes of " + Narrow(name)), "bytes of " + Narrow(name));
    }
  }
  ASSERT_GT(files.back().first.size(), 300u);
  const auto reply = Request(root_ + L"\\deep", R"(18, "", "title,path,type,mediumId", "title"])");
  ASSERT_EQ(reply.rc, 0);
  const Json rows = Rows(reply);
  ASSERT_EQ(rows.size(), 70u);
  EXPECT_EQ(reply.output[3], 70);
  std::set<std::string> listed;
  for (const Json& row : rows) {
    const std::string path = row[1].get<std::string>();
    listed.insert(path);
    EXPECT_EQ(row[0], path.substr(path.rfind('\\') + 1));
    EXPECT_EQ(row[2], "file") << path;
    // The id leads back to the path, and the path to the bytes.
    const auto medium = module_.Call(L"GetMediumFromId", "[\"req\", " + zelhost::DumpJson(row[3].get<std::string>()) + "]");
    EXPECT_EQ(Json::array({medium.rc, medium.output}), Json::array({0, Json::array({"audio/x-unknown", path})}));
    const auto bytes = module_.Call(L"GetFile", "[" + zelhost::DumpJson(path) + ", 0, 1000]");
    EXPECT_EQ(bytes.rc, 0) << path;
    const std::string got = bytes.output.is_object() ? bytes.output.value("bytes", "") : "";
    EXPECT_EQ(zelhost::Base64Decode(got).value_or("?"), "bytes of " + path.substr(path.rfind('\\') + 1)) << path;
  }
  std::set<std::string> made;
  for (const auto& [path, bytes] : files) made.insert(Narrow(path));
  EXPECT_EQ(listed, made);
  // The deepest folder is browsable on its own.
  EXPECT_EQ(Rows(Request(folder, R"(3, "", "title", "title:asc"])")).size(), 5u);
}

// A UTC time of day in `year` as the date columns write it (local time).
std::string LocalText(WORD year) {
  const SYSTEMTIME utc{year, 6, 0, 1, 12, 0, 0, 0};
  FILETIME file_time{};
  ::SystemTimeToFileTime(&utc, &file_time);
  const auto ticks = static_cast<long long>((static_cast<ULONGLONG>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime);
  const __time64_t seconds = (ticks - 116444736000000000LL) / 10000000;
  std::tm local{};
  _localtime64_s(&local, &seconds);
  return Narrow(FormatWide(L"%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                           local.tm_hour, local.tm_min, local.tm_sec));
}

TEST_F(FolderContentTest, SizesAndDatesComeFromTheFoldersDirectoryReadEvenForLockedFiles) {
  // Two folders, a file of 5 GiB (sparse) and a file another handle holds without sharing, each
  // with its own write time.
  const std::wstring dir = Make(root_, L"dated\\");
  const std::wstring big = Make(dir, L"big.bin", "x");
  {
    UniqueFile file(::CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER end;
    end.QuadPart = 5LL << 30;
    ASSERT_TRUE(file && ::SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.Get()));
  }
  const std::pair<std::wstring, WORD> dated[] = {
      {big, 2001}, {Make(dir, L"locked.txt", "abcdef"), 2002}, {Make(dir, L"old\\"), 2003}, {Make(dir, L"new\\"), 2004}};
  for (const auto& [path, year] : dated) {
    const SYSTEMTIME time{year, 6, 0, 1, 12, 0, 0, 0};
    ASSERT_TRUE(browsetest::SetTimes(path, time, time)) << Narrow(path);
  }
  UniqueFile lock(::CreateFileW(dated[1].first.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock);

  const auto row = [](const char* title, const char* size, WORD year) { return Json::array({title, size, LocalText(year)}); };
  const Json old_folder = row("old", "0", 2003), new_folder = row("new", "0", 2004);
  const Json big_file = row("big.bin", "5368709120", 2001), locked_file = row("locked.txt", "6", 2002);
  // Folders first; the sort keys read the same sizes and times as the columns.
  const std::pair<const char*, Json> sorts[] = {
      {"lastModified:asc", {old_folder, new_folder, big_file, locked_file}},
      {"lastModified:desc", {new_folder, old_folder, locked_file, big_file}},
      {"size:asc", {locked_file, big_file}},
      {"size:desc", {big_file, locked_file}},
  };
  for (const auto& [key, rows] : sorts) {
    const auto reply = Request(dir, std::string(R"(3, "", "title,size,dateModified", ")") + key + "\"]");
    ASSERT_EQ(reply.rc, 0) << key;
    const Json got = Rows(reply);
    ASSERT_EQ(got.size(), 4u) << key;
    // Folders have equal sizes: their order is open under a size key.
    const Json tail = rows.size() == 4 ? got : Json(std::vector<Json>(got.begin() + 2, got.end()));
    EXPECT_EQ(tail, rows) << key;
    EXPECT_EQ(reply.output[2], 2) << key;
  }
  // Dates before 1970 are dates like any other (in any zone the months stay June and March),
  // whether the folder's read or the file itself gives them. (A Linux file has no creation time
  // of its own: only the write and access times are set here.)
  const std::wstring early = Make(root_, L"early\\1960.txt", "x");
  ASSERT_TRUE(browsetest::SetTimes(early, {1960, 6, 0, 15, 12, 0, 0, 0}, {1930, 3, 0, 15, 12, 0, 0, 0}));
  for (const std::wstring& path : {root_ + L"\\early", early}) {
    const Json rows = Rows(Request(path, R"(3, "", "dateModified,lastAccessTime", "title"])"));
    ASSERT_EQ(rows.size(), 1u) << Narrow(path);
    EXPECT_EQ(rows[0][0].get<std::string>().substr(0, 8) + rows[0][1].get<std::string>().substr(0, 8), "1960-06-1930-03-")
        << rows;
  }
  // A removable drive stays without size and dates, whatever a read may have said of it.
  CFileTools removable(L"E:\\", L"Stick");
  removable.SetFacts(FileFacts{1, 2, 3, 4}, true);
  removable.SetRemovable(true);
  const SharedExtensionMap types;
  EXPECT_EQ(removable.GetProperty(L"size", types) + removable.GetProperty(L"dateModified", types), L"");
}

TEST_F(FolderContentTest, PagesCountEveryItemAndEmptyAnswersKeepTheirShape) {
  // Twelve files named n00.txt to n11.txt in a folder of their own.
  for (int i = 0; i < 12; ++i) Make(root_, L"twelve\\n" + std::wstring(i < 10 ? L"0" : L"") + std::to_wstring(i) + L".txt", "x");
  const std::wstring twelve = root_ + L"\\twelve";
  const auto page = [&](const std::string& start_count) {
    return Request(twelve, R"(2, "", "title", "title:asc")" + start_count + "]");
  };
  const auto titles = [](int first, int n) {  // n00.txt ... in rows
    Json rows = Json::array();
    for (int i = first; i < first + n; ++i) rows.push_back({(i < 10 ? "n0" : "n") + std::to_string(i) + ".txt"});
    return rows;
  };
  EXPECT_EQ(page(", 10, 5").output, Json::array({Json::array({"title"}), titles(10, 2), 0, 12}));
  // Count 0 (or less) takes everything from the start; a negative start reads as 0; missing or empty
  // start and count read as 0. Numbers come in any type that is exactly a 32-bit integer, as script
  // engines send them: a double, a 64-bit integer, a numeric string.
  const std::pair<std::string, Json> cases[] = {
      {", 4, 0", titles(4, 8)}, {", 0, 12", titles(0, 12)}, {", 0, -4", titles(0, 12)}, {"", titles(0, 12)},
      {", 12, 3", Json::array()}, {", -5, 2", titles(0, 2)}, {R"(, "3", 2)", titles(3, 2)},
      {R"(, 10, {"i8": 1})", titles(10, 1)}, {", 6.0, 2.0", titles(6, 2)}, {", null, null", titles(0, 12)},
      {R"(, {"ui8": 9})", titles(9, 3)},
  };
  for (const auto& [start_count, rows] : cases) {
    const auto reply = page(start_count);
    EXPECT_TRUE(reply.rc == 0 && Rows(reply) == rows) << start_count << " " << reply.rc << " " << reply.output;
  }
  // A start past the end: the page cannot be made.
  const std::string warn = "[WARN] - KroServiceGetFolderContent exception: Could not create safe array";
  const size_t warned = ModuleLogLinesWith(warn).size();
  EXPECT_EQ(page(", 13, 0").rc, 1);
  EXPECT_EQ(ModuleLogLinesWith(warn).size(), warned + 1);
  // Nothing to list, no columns, empty column names.
  const auto missing = Request(root_ + L"\\missing", R"(3, "", "title", "size:desc"])");
  EXPECT_EQ(missing.rc, 0);
  EXPECT_EQ(missing.output, Json::parse(R"([["title"], [], 0, 0])"));
  // Six rows: the folders twelve, x and y, and three files.
  EXPECT_EQ(Request(root_, R"(3, "", "", "size:desc"])").output, Json::parse(R"([[], [[], [], [], [], [], []], 3, 3])"));
  EXPECT_EQ(Request(root_, R"(3, "", ",", "size:desc"])").output[0], Json::parse(R"(["", ""])"));
}

TEST_F(FolderContentTest, MissingOrMistypedElementsAnswerOneNamingTheElement) {
  const std::string prefix = "[WARN] - KroServiceGetFolderContent exception: GetDiskFolderContent: ";
  const std::pair<std::string, std::string> cases[] = {
      {R"(["req", "C:\\", 3, 5, "title", "size:asc"])",
       "element 3 (the filter) must be a string (VT_BSTR), not type 3"},
      {R"(["req", "C:\\", "3x", "", "title", "size:asc"])", "element 2 (the option flags) must be a whole number"},
      {R"(["req", "C:\\", 2.5, "", "title", "size:asc"])", "element 2 (the option flags) must be a whole number"},
      {R"(["req", "C:\\", 3, "", "title"])", "element 5 (the sort key) is missing"},
      {R"(["req", "C:\\", 3, "", "title", "", "x"])", "element 6 (the start) must be a whole number"},
      {R"(["req", "C:\\", 3, "", "title", "", 0, {"i8": 4294967296}])", "element 7 (the count) must be a whole number"},
  };
  for (const auto& [input, message] : cases) {
    const size_t before = ModuleLogLinesWith(prefix + message).size();
    const auto reply = module_.Call(L"GetDiskFolderContent", input, 77);
    EXPECT_EQ(reply.rc, 1) << input;
    EXPECT_EQ(reply.output, nullptr) << input;
    EXPECT_EQ(ModuleLogLinesWith(prefix + message).size(), before + 1) << input;
  }
  EXPECT_EQ(module_.Call(L"GetDiskFolderContent", R"("C:\\")", 77).rc, 1);
  // Empty strings may stand for strings; numbers may come as strings.
  EXPECT_EQ(module_.Call(L"GetDiskFolderContent", R"([null, "C:\\", "1", null, null, null])").rc, 0);
}

TEST_F(FolderContentTest, OnlyTheExactTextFalseSwitchesBrowsingOff) {
  zeltest::RegistryKeyScope config(HKEY_LOCAL_MACHINE, L"Software\\Rod Ezeduduv\\Zel\\Config");
  const wchar_t* kSwitch = L"app.fileBrowser.enabled";
  const std::string input = "[\"req\", " + Quoted(root_) + R"(, 3, "", "title", "title:asc"])";
  config.SetString(kSwitch, L"false");
  zel::ScopedVariant in = zeltest::V(input);
  zel::ScopedVariant out = zeltest::V("[\"kept\"]");
  LONG rc = 0;
  ASSERT_EQ(module_.Scope().Call(L"GetDiskFolderContent", *in, out.Get(), &rc), S_OK);
  EXPECT_EQ(rc, 403);
  EXPECT_EQ(zeltest::J(*out), Json::parse(R"(["kept"])"));
  // Refused before any element is read: even a malformed input gets 403.
  EXPECT_EQ(module_.Call(L"GetDiskFolderContent", "5").rc, 403);

  for (const std::wstring& text : {std::wstring(L"False"), std::wstring(L"0"), std::wstring(), std::wstring(L"false "),
                                   std::wstring(300, L'f')}) {
    config.SetString(kSwitch, text);
    EXPECT_EQ(module_.Call(L"GetDiskFolderContent", input).rc, 0) << Narrow(text);
  }
  config.SetString(kSwitch, L"false", REG_BINARY);
  EXPECT_EQ(module_.Call(L"GetDiskFolderContent", input).rc, 0);
  config.Remove(kSwitch);
  EXPECT_EQ(module_.Call(L"GetDiskFolderContent", input).rc, 0);
}

}  // namespace
}  // namespace zel::browse
