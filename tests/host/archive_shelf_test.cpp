// The gateway's archives on a clock of the test's own: what is deleted, when, and only once.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "archive_shelf.h"

namespace zelhost {
namespace {

TEST(ArchiveShelfTest, EachArchiveIsDeletedOnceWhenItsDownloadEndsItsTimeRunsOutOrTheShelfGoes) {
  std::mutex lock;
  std::vector<std::wstring> deleted;
  const auto removed = [&] {
    std::lock_guard<std::mutex> hold(lock);
    return deleted;
  };
  std::atomic<ULONGLONG> now{1000};
  {
    ArchiveShelf shelf(
        [&](const std::wstring& path) {
          std::lock_guard<std::mutex> hold(lock);
          deleted.push_back(path);
        },
        60000, [&] { return now.load(); });
    const std::string fetched = shelf.Shelve({L"fetched", 10, "a.zip"});
    const std::string forgotten = shelf.Shelve({L"forgotten", 20, "b.zip"});
    now += 30000;
    const std::string late = shelf.Shelve({L"late", 30, "c.zip"});
    shelf.Shelve({L"kept", 40, "d.zip"});
    EXPECT_NE(fetched, forgotten);
    EXPECT_FALSE(shelf.Take("no-such-id"));

    const std::optional<ArchiveShelf::Archive> taken = shelf.Take(fetched);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->path, L"fetched");
    EXPECT_EQ(taken->size, 10u);
    EXPECT_EQ(taken->name, "a.zip");
    EXPECT_FALSE(shelf.Take(fetched));  // once
    EXPECT_TRUE(removed().empty());      // out for download: still there
    shelf.Release(L"fetched");
    shelf.Release(L"fetched");  // a second end of the same download deletes nothing more
    EXPECT_EQ(removed(), std::vector<std::wstring>({L"fetched"}));

    // "forgotten" is a minute old, "late" and "kept" half a minute: only the first is past its time,
    // and one past its time is no longer handed out even before the sweep.
    now += 30000;
    EXPECT_FALSE(shelf.Take(forgotten));
    EXPECT_EQ(shelf.DeleteExpired(), 1u);
    EXPECT_EQ(removed(), std::vector<std::wstring>({L"fetched", L"forgotten"}));
    EXPECT_EQ(shelf.DeleteExpired(), 0u);

    ASSERT_TRUE(shelf.Take(late));
    shelf.Hold(L"logs");  // a "ZipLogs" archive, out for download at once
    shelf.Release(L"unknown");  // never shelved: not the shelf's to delete
    EXPECT_EQ(removed().size(), 2u);
  }
  // The shelf went with "kept" on it and "late" and "logs" out for download: all three are deleted.
  std::vector<std::wstring> all = removed();
  ASSERT_EQ(all.size(), 5u);
  std::sort(all.begin() + 2, all.end());
  EXPECT_EQ(all, std::vector<std::wstring>({L"fetched", L"forgotten", L"kept", L"late", L"logs"}));
}

}  // namespace
}  // namespace zelhost
