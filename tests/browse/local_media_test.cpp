#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "browse/extension_map.h"
#include "browse/file_tools.h"
#include "browse/local_media.h"
#include "browse_test_support.h"
#include "common/module_log.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "common/wide_error.h"
#include "core/module.h"
#include "media/media_requests.h"
#include "support/test_support.h"

namespace zel::browse {
namespace {

using browsetest::Make;
using zeltest::J;
using zeltest::Json;
using zeltest::Narrow;
using zeltest::V;

// A local media object served by the module's broker and the scripted satellites.
class LocalMediaTest : public ::testing::Test {
 protected:
  LocalMediaTest() { channel_.Attach(core::CurrentBroker()); }

  using Answer = zeltest::RunningModule::Reply;
  // A local handler given the input as the lookup services' rows decode it.
  using Handler = LONG (CLocalMedia::*)(const input::Text&, const std::wstring&, VARIANT&);
  static constexpr Handler kList = nullptr;
  Answer Call(Handler handler, const std::string& input, const std::string& output_before = "null") {
    ScopedVariant in = V(input);
    ScopedVariant out = V(output_before);
    LONG rc = 0;
    if (handler == kList) {
      const media::ListRequest request = media::DecodeListRequest(*in);
      rc = media_.GetFileListInfoFromId(request.passed, request.list.ids, *out);
    } else {
      const media::IdRequest request = media::DecodeIdRequest(*in);
      rc = (media_.*handler)(request.passed, request.id.Value(), *out);
    }
    return {rc, J(*out)};
  }
  // The message a handler raises for `input`; empty when it raises nothing.
  std::string Raised(Handler handler, const std::string& input) {
    try {
      Call(handler, input);
    } catch (const WideError& error) {
      return error.Code() ? "code " + std::to_string(*error.Code()) : Narrow(error.Message());
    }
    return "";
  }
  // A property of an item, with the media types the script gives.
  std::string Property(CFileTools& item, const wchar_t* name) {
    media_.EnsureMediaTypes(L"req");
    return Narrow(item.GetProperty(name, media_.SharedMediaTypes()));
  }
  std::string Property(const std::wstring& path, const wchar_t* name) {
    CFileTools item(path);
    return Property(item, name);
  }

  zeltest::RunningModule module_{browsetest::kExtensionScript};
  channel::BrokerChannel channel_;
  CLocalMedia media_{channel_};
  zeltest::TempFolder folder_;
};

TEST_F(LocalMediaTest, MediaTypesAreAskedOnceInOrderAndALaterTypeOverrides) {
  // Element 0 of the request travels to the satellite unchanged: this one is not in the script,
  // so no list comes back and the next request tries again.
  media_.EnsureMediaTypes(L"other");
  EXPECT_FALSE(media_.SharedMediaTypes().IsFilled());
  // The audio list holds a number: skipped with a WARN line, the rest of the list still counts.
  const std::string skipped = "[WARN] - GetExtensions: entry 1 of the audio extensions is not a string (type 3)";
  const size_t skipped_before = zeltest::ModuleLogLinesWith(skipped).size();
  ModuleLog().SetLevel(CTkLog::kWarn);
  media_.EnsureMediaTypes(L"req");
  ModuleLog().SetLevel(CTkLog::kError);
  EXPECT_EQ(zeltest::ModuleLogLinesWith(skipped).size(), skipped_before + 1);
  EXPECT_TRUE(media_.SharedMediaTypes().IsFilled());
  media_.EnsureMediaTypes(L"req");  // filled: never asked again
  const std::vector<Json> journal = module_.Journal();
  ASSERT_EQ(journal.size(), 8u);
  const char* types[] = {"audio", "video", "photo", "document"};
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(journal[i], Json({{"target", "ZidAvaraV2"}, {"service", "GetExtensions"},
                                {"params", {i < 4 ? "other" : "req", types[i % 4]}}}));
  }
  const std::pair<const wchar_t*, const char*> classified[] = {
      {L"D:\\Music\\Song.MP3", "audio/x-unknown / audio.file"}, {L"a.ogg", "video/x-unknown / video.file"},
      {L"after-a-number.flac", "audio/x-unknown / audio.file"},
      {L"a.pdf", "application/x-download / document.file"}, {L"D:\\mp3", "application/x-download / file"},
      {L"D:\\a.mp3\\readme", "application/x-download / file"}};
  for (const auto& [name, expected] : classified) {
    std::wstring mime, type;
    media_.ClassifyFile(name, &mime, &type);
    EXPECT_EQ(Narrow(mime + L" / " + type), expected) << Narrow(name);
  }
}

TEST_F(LocalMediaTest, ReadersNeverSeeAHalfFilledSharedMap) {
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      if (t % 2 == 0) return media_.EnsureMediaTypes(L"req");
      // Either nothing yet, or everything: .mp3 and .txt stand at both ends of the answers.
      const SharedExtensionMap& types = media_.SharedMediaTypes();
      while (!stop) torn += !types.Find(L".mp3").empty() && types.Find(L".txt") != L"document";
    });
  }
  for (int t : {0, 2, 4}) threads[t].join();
  stop = true;
  for (int t : {1, 3, 5}) threads[t].join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(Narrow(media_.SharedMediaTypes().Find(L".txt")), "document");
}

// The lookup services' tests show the arrays of local ids through the module; these are the edges.
TEST_F(LocalMediaTest, HandlersAnswerTheirArraysAndRaiseOnMalformedInput) {
  // Ids that are not local paths answer 404 with the output untouched; "F*" has no path to answer.
  for (const char* id : {"FX:|a", "F", "F*"}) {
    const Answer answer = Call(&CLocalMedia::GetFileFromId, std::string(R"(["req", ")") + id + "\"]", "7");
    EXPECT_EQ(answer.output, 7) << id;
    EXPECT_TRUE(id[1] == '*' || answer.rc == 404) << id << " " << answer.rc;
  }
  // Information arrays hold the pairs that are not empty.
  EXPECT_EQ(Call(&CLocalMedia::GetFileInfoFromId, R"(["req", "F*D:|"])").output,  // no name
            Json::parse(R"([["mimeType", "application/x-download"], ["mediaType", "file"], ["Path", "D:\\"]])"));
  EXPECT_EQ(Call(&CLocalMedia::GetFileInfoFromId, R"(["req", "Mabc"])", R"(["old"])").output, nullptr);
  TLocalMedium full;
  full.mimeType = L"audio/x-unknown";
  full.Artist = L"Someone";
  full.Duration = 215;
  ScopedVariant info;
  BuildMediumInfo(full, info.Get());
  EXPECT_EQ(J(*info), Json::parse(R"([["mimeType", "audio/x-unknown"], ["Artist", "Someone"], ["Duration", {"ui4": 215}]])"));
  ScopedVariant no_infos;
  EXPECT_EQ(media_.GetFileListInfoFromId(input::Text(L"req"), std::vector<std::optional<std::wstring>>(), *no_infos), 0);
  EXPECT_EQ(J(*no_infos), Json::array());

  // Malformed input raises its message: what the rows' decoder refuses, and what the local
  // handlers refuse of the decoded values (element 0 must be a string, every listed id a string
  // that is not empty).
  const std::pair<const char*, std::string> single_cases[] = {
      {R"(["req"])", "SafeArrayGetElement failed in VUtil::GetElement"},
      {R"("F*a")", "Variant passed to VUtil::GetElement is not a variant array"},
      {R"(["req", 5])", "Element is not a string"},
      {R"({"array": ["req", "F*a"], "lbound": 1})", "SafeArrayGetElement failed in VUtil::GetElement"},
      {R"([null, "F*a"])", "CheckType failed"}, {R"(["req", ""])", ""}};
  for (Handler single : {&CLocalMedia::GetFileFromId, &CLocalMedia::GetFileInfoFromId}) {
    for (const auto& [input, message] : single_cases) EXPECT_EQ(Raised(single, input), message) << input;
  }
  const std::pair<const char*, std::string> list_cases[] = {
      {R"(["req", "F*a"])", "Variant passed to VUtil::GetElement is not a variant array"},
      {R"(["req", ["F*a", 3]])", "CheckType failed"},
      {R"([null, ["F*a"]])", "CheckType failed"},
      {R"(["req", ["F*a", ""]])", "code " + std::to_string(E_INVALIDARG)}};
  for (const auto& [input, message] : list_cases) {
    EXPECT_EQ(Raised(kList, input), message) << input;
  }
}

// Paths made of every kind of character a Windows name may hold, including the ones the id encodes.
std::wstring GeneratedPath(std::mt19937& random) {
  static const std::wstring kCharacters =
      L"abcXYZ019 .+-_()[]{}!#$%&'=@^`~,;\u00e9\u00df\u00c5\u4e2d\u6587\u0416\u05d0\U0001F3B5";
  static const wchar_t* kRoots[] = {L"D:\\", L"C:\\My Music\\", L"\\\\server\\share name\\", L"", L"\\\\?\\E:\\"};
  std::uniform_int_distribution<size_t> root(0, 4), parts(1, 5), length(1, 12), pick(0, kCharacters.size() - 1);
  std::wstring path = kRoots[root(random)];
  for (size_t p = parts(random); p > 0; --p) {
    for (size_t n = length(random); n > 0; --n) {
      const wchar_t c = kCharacters[pick(random)];  // half a surrogate pair stands for the whole
      path += IS_HIGH_SURROGATE(c) || IS_LOW_SURROGATE(c) ? std::wstring(L"\U0001F3B5") : std::wstring(1, c);
    }
    if (p > 1) path += L'\\';
  }
  return path;
}

TEST_F(LocalMediaTest, EncodingThenDecodingGivesEveryPathBack) {
  std::mt19937 random(20240531);
  for (int i = 0; i < 3000; ++i) {
    const std::wstring path = GeneratedPath(random);
    const std::wstring id = EncodeLocalMediumId(path);
    ASSERT_EQ(id.substr(0, 2), L"F*");
    EXPECT_EQ(id.find_first_of(L"\\ .+", 2), std::wstring::npos) << Narrow(id);
    TLocalMedium record;
    ASSERT_EQ(media_.DecodeMediumId(id, &record), 0) << Narrow(id);
    ASSERT_EQ(record.Path, path) << Narrow(id);
    EXPECT_EQ(CFileTools(path).MediumId(), id);
  }
}

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

TEST_F(LocalMediaTest, PropertiesDerivedFromThePath) {
  CFileTools shown(L"D:\\Music\\Song.mp3", L"Song");  // the shell hid the extension
  EXPECT_EQ(Property(shown, L"title"), "Song");
  EXPECT_EQ(Property(shown, L"path.filename"), "Song");
  EXPECT_EQ(Property(shown, L"path"), "D:\\Music\\Song.mp3");
  const std::tuple<const wchar_t*, const wchar_t*, const char*> rows[] = {
      {L"D:\\Music\\Song.mp3", L"title", "Song.mp3"}, {L"plain", L"title", "plain"}, {L"D:\\", L"title", ""},
      {L"\\top", L"title", "\\top"},  // a backslash at index 0 does not count
      {L"D:\\a.b\\readme", L"path.extension", "b\\readme"}, {L"D:\\Music\\Song.MP3", L"path.extension", "MP3"},
      {L"D:\\Music\\readme", L"path.extension", "D:\\Music\\readme"},
      {L".hidden", L"path.extension", ".hidden"},  // a dot at index 0 does not count
      {L"D:\\My Music\\a+b.mp3", L"mediumId", "F*D:|My*Music|a<b>mp3"},
      {L"D:\\My Music\\a+b.mp3", L"zelMediumId", "F*D:|My*Music|a<b>mp3"},
      {L"D:\\x", L"Title", ""},  // names are compared exactly
      // "path.directory" is the folder that holds the item.
      {L"D:\\Music\\a.mp3", L"path.directory", "D:\\Music"}, {L"D:\\a.mp3", L"path.directory", "D:\\"},
      {L"a.mp3", L"path.directory", ""}, {L"D:\\Music\\Albums\\", L"path.directory", "D:\\Music"},
      {L"D:\\", L"path.directory", ""}, {L"\\\\server\\share\\a.mp3", L"path.directory", "\\\\server\\share"},
      {L"\\a.mp3", L"path.directory", "\\"}, {L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}", L"path.directory", ""},
      {L"D:\\Music\\Song.MP3", L"mediaType", "audio.file"}, {L"D:\\Music\\Song.wav", L"mediaType", "file"},
  };
  for (const auto& [path, name, value] : rows) EXPECT_EQ(Property(path, name), value) << Narrow(path) << " " << Narrow(name);
  SharedExtensionMap empty;
  EXPECT_EQ(Narrow(CFileTools(L"D:\\Music\\Song.mp3").GetProperty(L"mediaType", empty)), "file");
}

TEST_F(LocalMediaTest, SizesAndDatesOfEveryKindOfItemAndTheirFallbacks) {
  const std::wstring file = Make(folder_.Path(), L"seven.bin", "1234567");
  const std::wstring sub = Make(folder_.Path(), L"sub\\");
  const __time64_t before = _time64(nullptr);
  EXPECT_EQ(Property(file, L"size") + Property(file, L"type"), "7file");
  EXPECT_EQ(Property(sub, L"size") + Property(sub, L"type"), "0folder");
  ExpectNow(Property(sub, L"dateModified"), before);
  ExpectNow(Property(sub, L"creationDate"), before);

  // A known write time, read back in local time.
  const SYSTEMTIME utc{2021, 3, 0, 15, 12, 30, 45, 0};
  ASSERT_TRUE(browsetest::SetTimes(file, utc, utc));
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
  EXPECT_TRUE(dated.CreationTime() != 1615811445 || Property(dated, L"creationDate.month") == "0003");

  CFileTools removable(L"E:\\", L"Stick");
  removable.SetRemovable(true);
  for (const wchar_t* name : {L"size", L"dateModified", L"lastModified", L"lastAccessTime", L"creationDate",
                              L"creationDate.year", L"creationDate.month"}) {
    EXPECT_EQ(Property(removable, name), "") << Narrow(name);
  }
  EXPECT_EQ(Property(removable, L"title"), "Stick");

  // Items that vanish, are locked or are devices take the fallbacks.
  const std::wstring gone = Make(folder_.Path(), L"gone.txt", "abc");
  CFileTools vanished(gone);
  ASSERT_TRUE(::DeleteFileW(gone.c_str()));
  EXPECT_EQ(Property(vanished, L"size") + Property(vanished, L"type"), "0file");
  ExpectNow(Property(vanished, L"dateModified"), before);
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

  for (const wchar_t* device : {L"CON", L"\\\\?\\NUL"}) EXPECT_EQ(Property(device, L"size"), "0") << Narrow(device);
  const std::wstring long_path = folder_.Path() + L"\\" + std::wstring(5000, L'x') + L".mp3";
  EXPECT_EQ(Property(long_path, L"size") + Property(long_path, L"mediaType"), "0audio.file");
}

TEST_F(LocalMediaTest, ShortcutsRootsAndShellObjects) {
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
}

}  // namespace
}  // namespace zel::browse
