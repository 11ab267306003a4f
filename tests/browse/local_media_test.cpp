#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "browse/local_media.h"
#include "browse_test_support.h"
#include "common/module_log.h"
#include "common/wide_error.h"
#include "core/module.h"
#include "support/test_support.h"

namespace zel {
namespace {

using zeltest::J;
using zeltest::Json;
using zeltest::Narrow;
using zeltest::V;

// audio and video both list .ogg, photo and document both list .pdf: the later type wins.
const std::string kScript = browsetest::ExtensionScript("req", R"([".mp3", ".ogg"])", R"([".ogg", ".mp4"])",
                                                        R"([".jpg", ".pdf"])", R"([".pdf", ".txt"])");

// A local media object served by the module's broker and the scripted satellites.
class LocalMediaTest : public ::testing::Test {
 protected:
  LocalMediaTest() { media_.SetBroker(CurrentBroker()); }

  struct Answer {
    LONG rc;
    Json output;
  };
  using Handler = LONG (CLocalMedia::*)(const VARIANT&, VARIANT&);
  Answer Call(Handler handler, const std::string& input, const std::string& output_before = "null") {
    ScopedVariant in = V(input);
    ScopedVariant out = V(output_before);
    const LONG rc = (media_.*handler)(*in, *out);
    return {rc, J(*out)};
  }
  // The message a handler raises for `input`; empty when it raises nothing.
  std::string Raised(Handler handler, const std::string& input) {
    try {
      Call(handler, input);
    } catch (const WideError& error) {
      return Narrow(error.Message());
    }
    return "";
  }
  // "MIME type / media type" of a file name.
  std::string Classify(const std::wstring& name) {
    std::wstring mime, type;
    media_.ClassifyFile(name, &mime, &type);
    return Narrow(mime + L" / " + type);
  }

  zeltest::RunningModule module_{kScript};
  CLocalMedia media_;
};

TEST_F(LocalMediaTest, MediaTypesAreAskedOnceInOrderAndALaterTypeOverrides) {
  // Element 0 of the request travels to the satellite unchanged: this one is not in the script,
  // so no list comes back and the next request tries again.
  media_.EnsureMediaTypes(L"other");
  EXPECT_FALSE(media_.SharedMediaTypes().IsFilled());
  media_.EnsureMediaTypes(L"req");
  EXPECT_TRUE(media_.SharedMediaTypes().IsFilled());
  media_.EnsureMediaTypes(L"req");  // filled: never asked again
  const std::vector<Json> journal = module_.Journal();
  ASSERT_EQ(journal.size(), 8u);
  const char* types[] = {"audio", "video", "photo", "document"};
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(journal[i]["target"], "ZidAvaraV2");
    EXPECT_EQ(journal[i]["service"], "GetExtensions");
    EXPECT_EQ(journal[i]["params"], Json::array({i < 4 ? "other" : "req", types[i % 4]}));
  }
  EXPECT_EQ(Narrow(media_.SharedMediaTypes().Find(L".ogg")), "video");
  EXPECT_EQ(Classify(L"D:\\Music\\Song.MP3"), "audio/x-unknown / audio.file");
  EXPECT_EQ(Classify(L"a.ogg"), "video/x-unknown / video.file");
  EXPECT_EQ(Classify(L"a.jpg"), "photo/x-unknown / photo.file");
  EXPECT_EQ(Classify(L"a.pdf"), "application/x-download / document.file");
  EXPECT_EQ(Classify(L"a.flac"), "application/x-download / file");
  EXPECT_EQ(Classify(L"D:\\mp3"), "application/x-download / file");
  EXPECT_EQ(Classify(L"D:\\a.mp3\\readme"), "application/x-download / file");
}

TEST_F(LocalMediaTest, ReadersNeverSeeAHalfFilledSharedMap) {
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      if (t % 2 == 0) {
        media_.EnsureMediaTypes(L"req");
        return;
      }
      while (!stop) {
        // Either nothing yet, or everything: .mp3 and .txt stand at both ends of the answers.
        const std::wstring first = media_.SharedMediaTypes().Find(L".mp3");
        const std::wstring last = media_.SharedMediaTypes().Find(L".txt");
        if (!first.empty() && last != L"document") ++torn;
      }
    });
  }
  for (int t : {0, 2, 4}) threads[t].join();
  stop = true;
  for (int t : {1, 3, 5}) threads[t].join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(Narrow(media_.SharedMediaTypes().Find(L".txt")), "document");
  const size_t asked = module_.Journal().size();
  media_.EnsureMediaTypes(L"req");
  EXPECT_EQ(module_.Journal().size(), asked);
}

TEST_F(LocalMediaTest, HandlersAnswerTheirArrays) {
  Answer file = Call(&CLocalMedia::GetFileFromId, R"(["req", "F*D:|My*Music|a<b>txt", "extra"])");
  EXPECT_EQ(file.rc, 0);
  EXPECT_EQ(file.output, Json::parse(R"(["application/x-download", "D:\\My Music\\a+b.txt"])"));
  Answer foreign = Call(&CLocalMedia::GetFileFromId, R"(["req", "FX:|a"])", "7");
  EXPECT_EQ(foreign.rc, 404);
  EXPECT_EQ(foreign.output, 7);  // untouched
  EXPECT_EQ(Call(&CLocalMedia::GetFileFromId, R"(["req", "F"])").rc, 404);
  EXPECT_EQ(Call(&CLocalMedia::GetFileFromId, R"(["req", "F*"])", "7").output, 7);  // no path: nothing to answer

  // Information arrays hold the pairs that are not empty.
  Answer plain = Call(&CLocalMedia::GetFileInfoFromId, R"(["req", "F*D:|docs|readme"])", R"(["old"])");
  EXPECT_EQ(plain.rc, 0);
  EXPECT_EQ(plain.output, Json::parse(R"([["mimeType", "application/x-download"], ["mediaType", "file"],
                                          ["Path", "D:\\docs\\readme"], ["Name", "readme"]])"));
  EXPECT_EQ(Call(&CLocalMedia::GetFileInfoFromId, R"(["req", "F*D:|"])").output,  // no name
            Json::parse(R"([["mimeType", "application/x-download"], ["mediaType", "file"], ["Path", "D:\\"]])"));
  Answer other = Call(&CLocalMedia::GetFileInfoFromId, R"(["req", "Mabc"])", R"(["old"])");
  EXPECT_EQ(other.rc, 0);
  EXPECT_EQ(other.output, nullptr);
  TLocalMedium full;
  full.mimeType = L"audio/x-unknown";
  full.Artist = L"Someone";
  full.Duration = 215;
  ScopedVariant info;
  BuildMediumInfo(full, info.Get());
  EXPECT_EQ(J(*info), Json::parse(R"([["mimeType", "audio/x-unknown"], ["Artist", "Someone"], ["Duration", {"ui4": 215}]])"));

  // One element per id, in order.
  Answer three = Call(&CLocalMedia::GetFileListInfoFromId, R"(["req", ["F*D:|a>mp3", "Mx", "F*D:|b>jpg"]])");
  EXPECT_EQ(three.rc, 0);
  ASSERT_EQ(three.output.size(), 3u);
  EXPECT_EQ(three.output[0][2], Json::parse(R"(["Path", "D:\\a.mp3"])"));
  EXPECT_EQ(three.output[1], nullptr);
  EXPECT_EQ(three.output[2][1], Json::parse(R"(["mediaType", "photo.file"])"));
  EXPECT_EQ(Call(&CLocalMedia::GetFileListInfoFromId, R"(["req", []])").output, Json::array());
}

TEST_F(LocalMediaTest, MalformedInputsRaiseTheirMessages) {
  ModuleLog().Error(L"LocalMediaTest: malformed inputs follow");  // opens the log, so that lines can be counted
  const std::string size_line = "[ERROR] - Invalid array size: 1 (expected 2 or more)";
  const size_t size_lines = zeltest::ModuleLogLinesWith(size_line).size();
  for (Handler single : {&CLocalMedia::GetFileFromId, &CLocalMedia::GetFileInfoFromId}) {
    EXPECT_EQ(Raised(single, R"(["req"])"), "CheckArrayType failed");
    EXPECT_EQ(Raised(single, R"("F*a")"), "CheckType failed");
    EXPECT_EQ(Raised(single, R"({"array": ["req", "F*a"], "of": "bstr"})"), "CheckType failed");
    EXPECT_EQ(Raised(single, R"(["req", 5])"), "CheckType failed");
    EXPECT_EQ(Raised(single, R"([null, "F*a"])"), "CheckType failed");
    EXPECT_EQ(Raised(single, R"(["req", {"byref": "F*a"}])"), "CheckType failed");
    EXPECT_EQ(Raised(single, R"({"array": ["req", "F*a"], "lbound": 1})"),
              "Array is not zero indexed! (VUtil::GetArrayLength)");
    for (const char* empty : {R"(["req", ""])", R"(["req", {"bstr": null}])"}) {
      try {
        Call(single, empty);
        ADD_FAILURE() << "an empty id must raise: " << empty;
      } catch (const _com_error& error) {
        EXPECT_EQ(error.Error(), E_INVALIDARG);
      }
    }
  }
  EXPECT_EQ(zeltest::ModuleLogLinesWith(size_line).size(), size_lines + 2);

  const Handler list = &CLocalMedia::GetFileListInfoFromId;
  EXPECT_EQ(Raised(list, R"(["req", ["F*a"], "extra"])"), "CheckArrayType failed");
  EXPECT_EQ(Raised(list, R"(["req"])"), "CheckArrayType failed");
  EXPECT_EQ(Raised(list, R"(["req", "F*a"])"), "CheckType failed");
  EXPECT_EQ(Raised(list, R"(["req", ["F*a", 3]])"), "CheckType failed");
  EXPECT_EQ(Raised(list, R"([7, ["F*a"]])"), "CheckType failed");
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

}  // namespace
}  // namespace zel
