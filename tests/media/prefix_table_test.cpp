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

DocumentTable Table(const PrefixMap& table) {
  DocumentTable document;
  document.table = table;
  return document;
}

// The table `text` loads into, checking that it loads as `expected` says (an empty table otherwise).
PrefixMap Parsed(const std::string& text, DocumentState expected = DocumentState::kLoaded, DocumentTable* whole = nullptr) {
  DocumentTable document = Table({{L"stale", Entry(L"Stale", 1)}});
  EXPECT_EQ(ParsePrefixDocument(text, &document).state, expected) << text.substr(0, 200);
  if (expected != DocumentState::kLoaded) {
    EXPECT_TRUE(document.table.empty() && document.kept.empty());
  }
  if (whole != nullptr) *whole = document;
  return document.table;
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

// Written by the module before it moved to tinyxml2 (TinyXML 2.6.2's printer): it loads unchanged,
// and what loads from it is written back byte for byte.
constexpr char kWrittenByTinyXml[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\r\n<Settings Version=\"1.0\">\r\n"
    "    <Common>\r\n        <MediumIdPrefixs>\r\n"
    "            <MediumIdPrefix Prefix=\"\" Satellite=\"Unnamed\" Timestamp=\"0\" GetMediumFromId=\"g\" "
    "GetMediumInfoFromId=\"i\" GetMediumListInfoFromId=\"l\" IsMediumShared=\"IsMediumShared\" />\r\n"
    "            <MediumIdPrefix Prefix=\"AA\" Satellite=\"DiRuzov-Sat\" Timestamp=\"1700000000\" "
    "GetMediumFromId=\"GetFileFromId\" GetMediumInfoFromId=\"GetFileInfoFromId\" "
    "GetMediumListInfoFromId=\"GetFileListInfoFromId\" IsMediumShared=\"IsMediumShared\" />\r\n"
    "            <MediumIdPrefix Prefix=\"AB\" Satellite='S\xC3\xA4\xE4\xB8\xAD&lt;&amp;&quot;&apos;&gt;' "
    "Timestamp=\"-5\" GetMediumFromId=\"Get &#x01;\" GetMediumInfoFromId=\"Info&#x09;\" GetMediumListInfoFromId=\"\" "
    "IsMediumShared=\"Share\" />\r\n"
    "            <MediumIdPrefix Prefix=\"BA\" Satellite=\"Late\" Timestamp=\"9000000000\" GetMediumFromId=\"a\" "
    "GetMediumInfoFromId=\"b\" GetMediumListInfoFromId=\"c\" IsMediumShared=\"d\" />\r\n"
    "            <MediumIdPrefix Prefix=\"\xC3\x84&#x01;\" Satellite=\"High\" Timestamp=\"3\" GetMediumFromId=\"a\" "
    "GetMediumInfoFromId=\"b\" GetMediumListInfoFromId=\"c\" IsMediumShared=\"d\" />\r\n"
    "        </MediumIdPrefixs>\r\n    </Common>\r\n</Settings>\r\n";
constexpr char kEmptyWrittenByTinyXml[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\r\n<Settings Version=\"1.0\">\r\n"
    "    <Common>\r\n        <MediumIdPrefixs />\r\n    </Common>\r\n</Settings>\r\n";

TEST(PrefixDocumentTest, DocumentsWrittenBeforeLoadUnchangedAndAreWrittenInTheSameLayout) {
  const PrefixMap expected{
      {L"", PrefixEntry{L"Unnamed", L"g", L"i", L"l", L"IsMediumShared", 0}},
      {L"AA", PrefixEntry{L"DiRuzov-Sat", L"GetFileFromId", L"GetFileInfoFromId", L"GetFileListInfoFromId",
                          L"IsMediumShared", 1700000000}},
      {L"AB", PrefixEntry{L"S\u00e4\u4e2d<&\"'>", L"Get \x01", L"Info\t", L"", L"Share", -5}},
      {L"BA", PrefixEntry{L"Late", L"a", L"b", L"c", L"d", 9000000000LL}},
      {std::wstring(L"\u00c4\x01"), PrefixEntry{L"High", L"a", L"b", L"c", L"d", 3}},
  };
  DocumentTable loaded;
  EXPECT_EQ(Parsed(kWrittenByTinyXml, DocumentState::kLoaded, &loaded), expected);
  EXPECT_TRUE(loaded.kept.empty());
  EXPECT_EQ(PrintPrefixDocument(loaded), kWrittenByTinyXml);
  EXPECT_EQ(PrintPrefixDocument(Table(expected)), kWrittenByTinyXml);
  EXPECT_TRUE(Parsed(kEmptyWrittenByTinyXml).empty());
  EXPECT_EQ(PrintPrefixDocument({}), kEmptyWrittenByTinyXml);
}

TEST(PrefixDocumentTest, LoadRulesForVersionsDuplicatesTimestampsAndMissingParts) {
  const std::string aa = "<MediumIdPrefix Prefix=\"AA\" Satellite=\"One\" Timestamp=\"1\"/>";
  EXPECT_EQ(Parsed(PrefixDocument(aa)).size(), 1u);
  const std::pair<const char*, DocumentState> versions[] = {
      {"Version=\"1.00\"", DocumentState::kMalformed}, {"", DocumentState::kMalformed},
      {"Version=\"1.0 \"", DocumentState::kMalformed}, {"Version=\"1\"", DocumentState::kMalformed},
      {"version=\"1.0\"", DocumentState::kMalformed},  {"Version=\"0.9\"", DocumentState::kMalformed},
      {"Version=\"1.x\"", DocumentState::kMalformed},  {"Version=\"9999999999.0\"", DocumentState::kMalformed},
      {"Version=\"1.1\"", DocumentState::kNewer},      {"Version=\"2.0\"", DocumentState::kNewer},
      {"Version=\"10.0\"", DocumentState::kNewer},
  };
  for (const auto& [version, state] : versions) EXPECT_TRUE(Parsed(PrefixDocument(aa, version), state).empty()) << version;
  for (const std::string& broken :
       {std::string(), std::string("not xml at all"), std::string("<Settings Version=\"1.0\">"),
        std::string("<Other Version=\"1.0\"/>"), PrefixDocument(aa).substr(0, 150), std::string("\0<a/>", 5),
        std::string("\xEF\xBB\xBF")}) {
    EXPECT_TRUE(Parsed(broken, DocumentState::kMalformed).empty()) << broken;
  }
  // Incomplete but well-formed documents hold an empty table.
  EXPECT_TRUE(Parsed("<Settings Version=\"1.0\"/>").empty());
  EXPECT_TRUE(Parsed("<Settings Version=\"1.0\"><Common/></Settings>").empty());
  EXPECT_TRUE(Parsed(PrefixDocument("")).empty());
  EXPECT_TRUE(Parsed("<Settings Version=\"1.0\"><MediumIdPrefixs>" + aa + "</MediumIdPrefixs></Settings>").empty());

  // The first element of a Prefix is the entry; later ones, and one without a Prefix, are kept as
  // they were and written back after the entries, so that a load and a save lose nothing.
  const std::string kept_ab = "<MediumIdPrefix Prefix=\"AB\" Satellite=\"New\" Timestamp=\"4294967296\" IsMediumShared=\"S\"/>";
  const std::string unnamed = "<MediumIdPrefix Satellite=\"NoPrefix\" Timestamp=\"abc\"><Child a=\"&amp;\"/></MediumIdPrefix>";
  DocumentTable document;
  const PrefixMap table = Parsed(
      PrefixDocument("<Skipped Prefix=\"SK\"/>" + aa + "<MediumIdPrefix Prefix=\"AB\" Satellite=\"Old\" GetMediumFromId=\"Gone\"/>"
                     "<Other Prefix=\"CC\" Satellite=\"AnyName\" Timestamp=\"  -42xyz\"/>" + kept_ab + unnamed +
                     "<MediumIdPrefix Prefix=\"DD\" Timestamp=\"99999999999999999999\"/>"
                     "<MediumIdPrefix Prefix=\"DE\" Timestamp=\"-99999999999999999999\"/>"),
      DocumentState::kLoaded, &document);
  ASSERT_EQ(table.size(), 6u);
  EXPECT_EQ(table.count(L"SK"), 0u);  // before the first MediumIdPrefix
  EXPECT_EQ(table.at(L"AB"), (PrefixEntry{L"Old", L"Gone", L"", L"", L"", 0}));  // the first one is used
  EXPECT_EQ(table.at(L"CC").satellite, L"AnyName");  // later siblings count whatever their name
  EXPECT_EQ(table.at(L"CC").timestamp, -42);
  EXPECT_EQ(table.at(L"").satellite, L"NoPrefix");  // only the id "X" reaches it
  EXPECT_EQ(table.at(L"").timestamp, 0);
  EXPECT_EQ(table.at(L"AA").timestamp, 1);
  EXPECT_EQ(table.at(L"AA").isMediumShared, L"");  // a missing attribute is an empty field
  EXPECT_EQ(table.at(L"DD").timestamp, std::numeric_limits<int64_t>::max());
  EXPECT_EQ(table.at(L"DE").timestamp, std::numeric_limits<int64_t>::min());
  ASSERT_EQ(document.kept.size(), 2u);
  EXPECT_EQ(document.kept[0].xml, kept_ab);
  EXPECT_EQ(document.kept[0].description, L"Prefix 'AB' (satellite 'New')");
  EXPECT_EQ(document.kept[1].xml, unnamed);
  EXPECT_EQ(document.kept[1].description, L"no Prefix (satellite 'NoPrefix')");
  // Written and read again: the same entries, the same kept elements, nothing lost or doubled.
  DocumentTable again;
  EXPECT_EQ(Parsed(PrintPrefixDocument(document), DocumentState::kLoaded, &again), table);
  ASSERT_EQ(again.kept.size(), 2u);
  EXPECT_EQ(again.kept[1].xml, unnamed);
  // A registration of the empty key's satellite writes the empty key as an entry of its own,
  // before the element without a Prefix, which stays.
  again.Put(L"", Entry(L"NoPrefix", 7));
  const std::string saved = PrintPrefixDocument(again);
  EXPECT_LT(saved.find("Prefix=\"\" Satellite=\"NoPrefix\" Timestamp=\"7\""), saved.find(unnamed)) << saved;
  EXPECT_EQ(Parsed(saved).at(L"").timestamp, 7);

  // A byte-order mark, CR LF line ends and UTF-8 text.
  const PrefixMap marked = Parsed("\xEF\xBB\xBF" + PrefixDocument("<MediumIdPrefix Prefix=\"AA\"\r\n Satellite=\"Gr\xC3\xBC\xC3\x9F\"/>"));
  EXPECT_EQ(marked.at(L"AA").satellite, L"Gr\u00fc\u00df");
}

TEST(PrefixDocumentTest, NestingIsBoundedByTheParserWithoutAThreadOfItsOwn) {
  const std::string entry = "<MediumIdPrefix Prefix=\"AA\" Satellite=\"One\"/>";
  const auto repeat = [](const std::string& text, size_t times) {
    std::string all;
    while (times-- > 0) all += text;
    return all;
  };
  // Below the document's own three levels, nesting up to the bound parses. On this thread: the
  // parser stops at the bound, so a hundred thousand levels cost no more stack than a hundred.
  const size_t room = kDeepestNesting - 3;
  EXPECT_EQ(Parsed(PrefixDocument(entry + repeat("<a>", room) + repeat("</a>", room))).at(L"AA").satellite, L"One");
  for (const std::string& deep : {entry + repeat("<a>", room + 1) + repeat("</a>", room + 1),
                                  entry + repeat("<a x=\"/>\">", 300000), entry + repeat("<a>", 100000),
                                  repeat("<a>", 100000) + repeat("</a>", 100000)}) {
    EXPECT_TRUE(Parsed(PrefixDocument(deep), DocumentState::kMalformed).empty());
  }
}

TEST(PrefixDocumentTest, ManyEntriesLoadAndHugeOrLockedFilesDoNot) {
  // Entries are siblings: their number is not limited. 100,000 with ordinary names fit the size
  // bound (about 230 bytes each).
  DocumentTable many;
  for (int i = 0; i < 100000; ++i) {
    many.table[std::to_wstring(1000000 + i)] =
        PrefixEntry{L"Satellite-" + std::to_wstring(i), L"GetFileFromId", L"GetFileInfoFromId", L"GetFileListInfoFromId",
                    L"IsMediumShared", 1700000000LL + i};
  }
  const std::string text = PrintPrefixDocument(many);
  EXPECT_LE(text.size(), kLargestDocument);
  DocumentTable loaded;
  const ULONGLONG start = ::GetTickCount64();
  EXPECT_EQ(ParsePrefixDocument(text, &loaded).state, DocumentState::kLoaded);
  std::cout << "[ MEASURED ] 100,000 entries, " << text.size() << " bytes, parsed in " << ::GetTickCount64() - start
            << " ms" << std::endl;
  EXPECT_EQ(loaded.table, many.table);

  TempFolder folder;
  std::string huge = PrefixDocument("<MediumIdPrefix Prefix=\"AA\" Satellite=\"One\"/>");
  const std::wstring ok = folder.WriteFile(L"ok.xml", huge);
  huge.resize(kLargestDocument + 1, ' ');
  DocumentTable table = Table({{L"x", Entry(L"X", 0)}});
  EXPECT_EQ(LoadPrefixDocument(folder.WriteFile(L"huge.xml", huge), &table).state, DocumentState::kMalformed);
  EXPECT_TRUE(table.table.empty());
  huge.pop_back();  // at the bound: loads
  EXPECT_EQ(LoadPrefixDocument(folder.WriteFile(L"bound.xml", huge), &table).state, DocumentState::kLoaded);
  EXPECT_EQ(LoadPrefixDocument(folder.Path() + L"\\missing.xml", &table).state, DocumentState::kAbsent);
  EXPECT_EQ(LoadPrefixDocument(folder.Path(), &table).state, DocumentState::kUnreadable);  // a folder
  {
    // Held open by another without sharing: there, but unreadable, which is neither "absent" nor
    // a document to set aside.
    zel::UniqueFile holder(::CreateFileW(ok.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    const DocumentLoad held = LoadPrefixDocument(ok, &table);
    EXPECT_EQ(held.state, DocumentState::kUnreadable);
    EXPECT_NE(held.reason.find(L"error 32"), std::wstring::npos) << Narrow(held.reason);  // a sharing violation
  }
  EXPECT_EQ(LoadPrefixDocument(ok, &table).state, DocumentState::kLoaded);
  EXPECT_EQ(table.table.size(), 1u);
}

TEST(PrefixDocumentTest, ReplacementLeavesNoPendingFileAndRefusesUnusablePaths) {
  TempFolder folder;
  const std::wstring path = folder.Path() + L"\\zel.xml";
  EXPECT_TRUE(ReplaceDocument(path, "first"));  // no document yet
  EXPECT_EQ(ReadBytes(path), "first");
  EXPECT_TRUE(ReplaceDocument(path, "second, longer"));
  EXPECT_EQ(ReadBytes(path), "second, longer");
  EXPECT_EQ(::GetFileAttributesW(PendingDocumentPath(path).c_str()), INVALID_FILE_ATTRIBUTES);
  // A read-only document is not replaced, and the failure says why.
  ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  DWORD error = 0;
  EXPECT_FALSE(ReplaceDocument(path, "third", &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(ReadBytes(path), "second, longer");
  EXPECT_EQ(::GetFileAttributesW(PendingDocumentPath(path).c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(ReplaceDocument(folder.Path() + L"\\no\\such\\zel.xml", "x", &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(ReplaceDocument(L"", "x"));
}

}  // namespace
}  // namespace zel::media
