#include <cstdint>
#include <iostream>
#include <limits>

#include "media/media_test_support.h"

namespace zel::media {
namespace {

using namespace zeltest;

PrefixEntry Entry(const std::wstring& satellite, int64_t timestamp, const std::wstring& shared = L"IsMediumShared") {
  return PrefixEntry{satellite, L"Get" + satellite, L"Info" + satellite, L"List" + satellite, shared, timestamp};
}

PrefixMap Parsed(const std::string& text, bool expect_ok = true) {
  PrefixMap table{{L"stale", Entry(L"Stale", 1)}};
  EXPECT_EQ(ParsePrefixDocument(text, &table), expect_ok) << text.substr(0, 200);
  return table;
}

TEST(PrefixKeyTest, KeysAreTheTwoCharactersAfterTheXAndANewKeyFollowsTheLargest) {
  for (const auto& [id, key] : {std::pair{L"XAB123", L"AB"}, {L"XA", L"A"}, {L"X", L""}, {L"", L""}}) {
    EXPECT_EQ(PrefixKeyOf(id), key) << Narrow(id);
  }

  auto next = [](std::initializer_list<std::wstring> keys) {
    PrefixMap table;
    for (const std::wstring& key : keys) table[key] = Entry(L"S", 0);
    return NextPrefixKey(table);
  };
  EXPECT_EQ(next({}), L"AA");
  EXPECT_EQ(next({L"BA", L"AA", L""}), L"BB");
  EXPECT_EQ(next({L"AZ", L"AB"}), L"BA");
  EXPECT_EQ(next({L"ZZ"}), std::wstring(L"[A"));  // the character after Z in code order
  EXPECT_EQ(next({L"B"}), std::wstring(L"B\x01"));
  EXPECT_EQ(next({L"Aa"}), L"BA");     // a second character past Z carries over
  EXPECT_EQ(next({L"ABC"}), L"AC");    // hand-edited: only two characters count
  EXPECT_EQ(next({L"\xFFFFY"}), std::wstring(L"\xFFFFZ"));
  EXPECT_EQ(next({L"\xFFFFZ"}), std::nullopt);  // no key is left: never wrap onto a used one
}

TEST(PrefixDocumentTest, SavedDocumentsListEntriesInKeyOrderWithSevenAttributes) {
  PrefixMap table;
  table[L"BA"] = Entry(L"Third", -5);
  table[L"AA"] = Entry(L"First", 9000000000LL);
  table[L"AB"] = Entry(L"S\u00e4\u4e2d<&\"", 1, L"Share");
  const std::string text = PrintPrefixDocument(table);
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\r\n<Settings Version=\"1.0\">\r\n"
                       "    <Common>\r\n        <MediumIdPrefixs>\r\n            <MediumIdPrefix Prefix=\"AA\" "
                       "Satellite=\"First\" Timestamp=\"9000000000\" GetMediumFromId=\"GetFirst\" "
                       "GetMediumInfoFromId=\"InfoFirst\" GetMediumListInfoFromId=\"ListFirst\" "
                       "IsMediumShared=\"IsMediumShared\" />\r\n",
                       0),
            0u)
      << text;
  EXPECT_LT(text.find("Prefix=\"AB\""), text.find("Prefix=\"BA\""));  // AA is first, above
  EXPECT_NE(text.find("Timestamp=\"-5\""), std::string::npos);
  // A value holding a double quote is written between single quotes.
  EXPECT_NE(text.find("Satellite='S\xC3\xA4\xE4\xB8\xAD&lt;&amp;&quot;'"), std::string::npos) << text;
  EXPECT_EQ(Parsed(text), table);

  // Keys beyond ASCII and below the printable range come back as they went.
  PrefixMap odd{{std::wstring(L"B\x01"), Entry(L"Low", 2)}, {L"\u00c4A", Entry(L"High", 3)}};
  EXPECT_EQ(Parsed(PrintPrefixDocument(odd)), odd);
  EXPECT_EQ(Parsed(PrintPrefixDocument({})), PrefixMap());
}

TEST(PrefixDocumentTest, LoadRulesForVersionsDuplicatesTimestampsAndMissingParts) {
  const std::string aa = "<MediumIdPrefix Prefix=\"AA\" Satellite=\"One\" Timestamp=\"1\"/>";
  EXPECT_EQ(Parsed(PrefixDocument(aa)).size(), 1u);
  for (const char* version : {"Version=\"1.00\"", "", "Version=\"1.0 \"", "Version=\"1\"", "version=\"1.0\""}) {
    EXPECT_TRUE(Parsed(PrefixDocument(aa, version), false).empty()) << version;
  }
  for (const std::string& broken :
       {std::string(), std::string("not xml at all"), std::string("<Settings Version=\"1.0\">"),
        std::string("<Other Version=\"1.0\"/>"), PrefixDocument(aa).substr(0, 150), std::string("\0<a/>", 5)}) {
    EXPECT_TRUE(Parsed(broken, false).empty()) << broken;
  }
  // Incomplete but well-formed documents hold an empty table.
  EXPECT_TRUE(Parsed("<Settings Version=\"1.0\"/>").empty());
  EXPECT_TRUE(Parsed("<Settings Version=\"1.0\"><Common/></Settings>").empty());
  EXPECT_TRUE(Parsed(PrefixDocument("")).empty());
  EXPECT_TRUE(Parsed("<Settings Version=\"1.0\"><MediumIdPrefixs>" + aa + "</MediumIdPrefixs></Settings>").empty());

  const PrefixMap table = Parsed(PrefixDocument(
      "<Skipped Prefix=\"SK\"/>" + aa +
      "<MediumIdPrefix Prefix=\"AB\" Satellite=\"Old\" GetMediumFromId=\"Gone\"/>"
      "<Other Prefix=\"CC\" Satellite=\"AnyName\" Timestamp=\"  -42xyz\"/>"
      "<MediumIdPrefix Prefix=\"AB\" Satellite=\"New\" Timestamp=\"4294967296\" IsMediumShared=\"S\"/>"
      "<MediumIdPrefix Satellite=\"NoPrefix\" Timestamp=\"abc\"/>"
      "<MediumIdPrefix Prefix=\"DD\" Timestamp=\"99999999999999999999\"/>"
      "<MediumIdPrefix Prefix=\"DE\" Timestamp=\"-99999999999999999999\"/>"));
  ASSERT_EQ(table.size(), 6u);
  EXPECT_EQ(table.count(L"SK"), 0u);  // before the first MediumIdPrefix
  EXPECT_EQ(table.at(L"AB"), (PrefixEntry{L"New", L"", L"", L"", L"S", 4294967296LL}));  // the last one wins
  EXPECT_EQ(table.at(L"CC").satellite, L"AnyName");  // later siblings count whatever their name
  EXPECT_EQ(table.at(L"CC").timestamp, -42);
  EXPECT_EQ(table.at(L"").satellite, L"NoPrefix");
  EXPECT_EQ(table.at(L"").timestamp, 0);
  EXPECT_EQ(table.at(L"AA").timestamp, 1);
  EXPECT_EQ(table.at(L"AA").isMediumShared, L"");  // a missing attribute is an empty field
  EXPECT_EQ(table.at(L"DD").timestamp, std::numeric_limits<int64_t>::max());
  EXPECT_EQ(table.at(L"DE").timestamp, std::numeric_limits<int64_t>::min());

  // A byte-order mark, CR LF line ends and UTF-8 text.
  const PrefixMap marked = Parsed("\xEF\xBB\xBF" + PrefixDocument("<MediumIdPrefix Prefix=\"AA\"\r\n Satellite=\"Gr\xC3\xBC\xC3\x9F\"/>"));
  EXPECT_EQ(marked.at(L"AA").satellite, L"Gr\u00fc\u00df");
}

TEST(PrefixDocumentTest, NestingIsCountedAsTheParserNestsAndBoundedBeforeParsing) {
  // What the parser takes for text, comments, quoted values or declarations holds no element; an
  // end tag or "/>" inside a quoted value closes none.
  const std::pair<std::string, size_t> nestings[] = {
      {"<a><b/><c></c><d x='1'/></a>", 2},       {"<a x=\"/>\"><a y='</a>'>", 2},
      {"<!-- <a><a> --><a>", 1},                 {"<a><![CDATA[<b><b></b>]]></a>", 1},
      {"<?xml version='<a><a>' ?><a>", 1},       {"<?xml foo='<a><a><a>' ?>", 2},  // a bare word ends at ">"
      {"<!DOCTYPE x><a>text &lt;b&gt;</a>", 1},  {"</a></a><a>", 1},
      {std::string("<a>\0<b><c>", 10), 1},       {"<a/><_b/>< c><1>", 1},
  };
  for (const auto& [text, depth] : nestings) EXPECT_EQ(ElementNesting(text, 1000), depth) << text;

  const std::string entry = "<MediumIdPrefix Prefix=\"AA\" Satellite=\"One\"/>";
  const auto repeat = [](const std::string& text, size_t times) {
    std::string all;
    while (times-- > 0) all += text;
    return all;
  };
  // Below the document's own three levels, nesting up to the bound parses.
  const size_t room = kDeepestNesting - 3;
  EXPECT_EQ(Parsed(PrefixDocument(entry + repeat("<a>", room) + repeat("</a>", room))).at(L"AA").satellite, L"One");
  for (const std::string& deep : {entry + repeat("<a>", room + 1) + repeat("</a>", room + 1),
                                  entry + repeat("<a x=\"/>\">", 300000), entry + repeat("<a>", 1000000)}) {
    EXPECT_TRUE(Parsed(PrefixDocument(deep), false).empty());
    EXPECT_FALSE(WithinDocumentLimits(PrefixDocument(deep)));
  }
}

TEST(PrefixDocumentTest, ManyEntriesLoadAndHugeOrLockedFilesDoNot) {
  // Entries are siblings: their number is not limited. 100,000 with ordinary names fit the size
  // bound (about 230 bytes each).
  PrefixMap many;
  for (int i = 0; i < 100000; ++i) {
    many[std::to_wstring(1000000 + i)] =
        PrefixEntry{L"Satellite-" + std::to_wstring(i), L"GetFileFromId", L"GetFileInfoFromId", L"GetFileListInfoFromId",
                    L"IsMediumShared", 1700000000LL + i};
  }
  const std::string text = PrintPrefixDocument(many);
  EXPECT_TRUE(WithinDocumentLimits(text)) << text.size();
  PrefixMap loaded;
  const ULONGLONG start = ::GetTickCount64();
  EXPECT_TRUE(ParsePrefixDocument(text, &loaded));
  std::cout << "[ MEASURED ] 100,000 entries, " << text.size() << " bytes, parsed in " << ::GetTickCount64() - start
            << " ms" << std::endl;
  EXPECT_EQ(loaded, many);

  TempFolder folder;
  std::string huge = PrefixDocument("<MediumIdPrefix Prefix=\"AA\" Satellite=\"One\"/>");
  const std::wstring ok = folder.WriteFile(L"ok.xml", huge);
  huge.resize(kLargestDocument + 1, ' ');
  PrefixMap table{{L"x", Entry(L"X", 0)}};
  EXPECT_EQ(LoadPrefixDocument(folder.WriteFile(L"huge.xml", huge), &table), DocumentState::kRefused);
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(LoadPrefixDocument(folder.Path() + L"\\missing.xml", &table), DocumentState::kAbsent);
  EXPECT_EQ(LoadPrefixDocument(folder.Path(), &table), DocumentState::kRefused);  // a folder
  {
    // Held open by another without sharing: there, but unreadable, which is not "absent".
    zel::UniqueFile holder(::CreateFileW(ok.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_EQ(LoadPrefixDocument(ok, &table), DocumentState::kRefused);
  }
  EXPECT_EQ(LoadPrefixDocument(ok, &table), DocumentState::kLoaded);
  EXPECT_EQ(table.size(), 1u);
}

TEST(PrefixDocumentTest, ReplacementLeavesNoPendingFileAndRefusesUnusablePaths) {
  TempFolder folder;
  const std::wstring path = folder.Path() + L"\\zel.xml";
  EXPECT_TRUE(ReplaceDocument(path, "first"));  // no document yet
  EXPECT_EQ(ReadBytes(path), "first");
  EXPECT_TRUE(ReplaceDocument(path, "second, longer"));
  EXPECT_EQ(ReadBytes(path), "second, longer");
  EXPECT_EQ(::GetFileAttributesW(PendingDocumentPath(path).c_str()), INVALID_FILE_ATTRIBUTES);
  // A new text that cannot be written is checked through a registration.
  EXPECT_FALSE(ReplaceDocument(folder.Path() + L"\\no\\such\\zel.xml", "x"));
  EXPECT_FALSE(ReplaceDocument(L"", "x"));
}

}  // namespace
}  // namespace zel::media
