#include "zip/zip_entry_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace zel::zip {
namespace {

std::vector<std::wstring> Names(const CZipEntryTree& tree) {
  std::vector<std::wstring> names;
  for (const auto& file : tree.Files()) names.push_back(tree.ArchiveName(*file));
  return names;
}

TEST(ZipEntryTreeTest, NamesInEitherOrderRootsCaseAndDuplicates) {
  using Paths = std::vector<std::wstring>;
  const std::pair<Paths, Paths> cases[] = {
      {{L"C:\\Music\\Album\\a.mp3", L"C:\\Music\\Album\\b.mp3"}, {L"Album\\a.mp3", L"Album\\b.mp3"}},
      {{L"C:\\Music\\Album\\a.mp3", L"C:\\Music\\Album\\b.mp3", L"C:\\Music\\Other\\c.mp3", L"D:\\x.txt", L"C:\\Video\\v.avi"},
       {L"Music\\Album\\a.mp3", L"Music\\Album\\b.mp3", L"Music\\Other\\c.mp3", L"x.txt", L"Video\\v.avi"}},
      {{L"C:\\Video\\v.avi", L"D:\\x.txt", L"C:\\Music\\Other\\c.mp3", L"C:\\Music\\Album\\b.mp3", L"C:\\Music\\Album\\a.mp3"},
       {L"Video\\v.avi", L"x.txt", L"Music\\Other\\c.mp3", L"Music\\Album\\b.mp3", L"Music\\Album\\a.mp3"}},
      // Deeper: the shallow file first or last, and files in sibling branches further down.
      {{L"C:\\Data\\top.txt", L"C:\\Data\\x\\y\\deep.txt", L"C:\\Data\\x\\z\\other.txt"},
       {L"Data\\top.txt", L"Data\\x\\y\\deep.txt", L"Data\\x\\z\\other.txt"}},
      {{L"C:\\Data\\x\\z\\other.txt", L"C:\\Data\\x\\y\\deep.txt", L"C:\\Data\\top.txt"},
       {L"Data\\x\\z\\other.txt", L"Data\\x\\y\\deep.txt", L"Data\\top.txt"}},
      {{L"C:\\x.txt"}, {L"x.txt"}},  // a drive root has no name
      // Case differences (beyond ASCII too) fall into one folder, named as the path that made it.
      {{L"C:\\M\u00dcSIK\\\u00c9T\u00c9\\a.mp3", L"c:\\m\u00fcsik\\\u00e9t\u00e9\\b.mp3"},
       {L"\u00c9T\u00c9\\a.mp3", L"\u00c9T\u00c9\\b.mp3"}},
      {{L"C:\\Same\\f.txt", L"C:\\Same\\f.txt"}, {L"Same\\f.txt", L"Same\\f.txt"}},
      // Sharing only the drive is not enough for a common root.
      {{L"C:\\One\\a.txt", L"C:\\Two\\b.txt"}, {L"One\\a.txt", L"Two\\b.txt"}},
  };
  for (const auto& [paths, names] : cases) {
    CZipEntryTree tree;
    for (const std::wstring& path : paths) tree.AddFile(path);
    EXPECT_EQ(Names(tree), names) << zeltest::Narrow(paths[0]);
  }
}

TEST(ZipEntryTreeTest, OddPathsGiveNamesWithoutHangingOrCrashing) {
  // Network paths, relative paths, doubled and trailing separators: whatever roots the rules
  // give, but always an answer.
  CZipEntryTree tree;
  for (const wchar_t* path : {L"\\\\server\\share\\a.txt", L"relative.txt", L"C:\\\\double\\\\c.txt", L"\\", L"", L"C:\\trailing\\"}) {
    tree.AddFile(path);
  }
  std::wstring deep = L"C:";
  for (int i = 0; i < 3000; ++i) deep += L"\\d";
  tree.AddFile(deep + L"\\deep.txt");
  tree.AddFile(deep + L"\\x\\deeper.txt");
  const std::vector<std::wstring> names = Names(tree);
  ASSERT_EQ(names.size(), 8u);
  // No folder at all gives no name (the writer refuses it).
  EXPECT_EQ(std::make_tuple(names[1], names[6], names[7]), std::make_tuple(L"", L"d\\deep.txt", L"d\\x\\deeper.txt"));
}

TEST(ZipEntryTreeTest, EstimateOverheadCountsUtf8NameBytes) {
  CZipEntryTree tree;
  EXPECT_EQ(tree.EstimateOverhead(), 22u);
  tree.AddFile(L"C:\\d\\abc");              // d\abc: 5 bytes
  tree.AddFile(L"C:\\d\\\u00e9\u00e9");     // d\éé: 6 bytes
  tree.AddFile(L"C:\\d\\\U0001F600");       // d\😀: 6 bytes
  EXPECT_EQ(tree.EstimateOverhead(), 22u + 3 * 102 + 2 * (5 + 6 + 6));
}

// Folder walks at every depth, stored sizes and cancellation mid-archive are checked through
// "ZipLogs" and the zip jobs; a cancel that comes before the writing must not be lost either.
TEST(ZipEntryTreeTest, ACancelBeforeWritingStartsIsHonoured) {
  zeltest::TempFolder folder;
  CZipEntryTree tree;
  tree.AddFile(folder.WriteFile(L"a.log", "first log"));
  tree.RequestCancel();
  const std::wstring cancelled = folder.Path() + L"\\cancelled.zip";
  EXPECT_EQ(tree.WriteArchive(cancelled, true), ZipWriteOutcome::kCancelled);
  EXPECT_EQ(::GetFileAttributesW(cancelled.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace zel::zip
