#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace zel::zip {

class ZipSink;

// How WriteArchive ended. Only a finished archive is left on disk.
enum class ZipWriteOutcome { kFinished, kCancelled, kFailed };

// A file or folder of an entry tree: `name` is the last component of `path` (the text after its
// last "\", empty if it has none); `parent` is the folder it hangs under, or null for a root.
// `size` is a file's planned size, which the archive's layout is computed from.
struct CZipEntryNode {
  std::wstring name;
  std::wstring path;
  CZipEntryNode* parent = nullptr;
  uint64_t size = 0;
};

// The files of one zip job and the folder nodes that name them inside the archive. A file is named
// by the chain of folder names from its root down to it; folders are made from the paths on demand
// so that files sharing a folder of two components or more (a drive and a folder, say C:\Music)
// hang under one common root, whatever the order they were added in, while files from unrelated
// places get roots of their own. Paths are absolute "\"-separated paths, compared without regard
// to case (as the file system does). Filled and written by one thread; only the cancel request
// comes from another.
class CZipEntryTree {
 public:
  CZipEntryTree() = default;
  CZipEntryTree(const CZipEntryTree&) = delete;
  CZipEntryTree& operator=(const CZipEntryTree&) = delete;

  // Adds one file (the same path twice gives two entries) and links it into the tree.
  void AddFile(const std::wstring& path);
  // Makes `folder` a folder node (unless it is one already), so that files added under it are
  // named from its own name down ("Season 1\e01.mkv"), whatever else is added.
  void AddFolder(const std::wstring& folder);
  // Adds every file under `folder`, at any depth, in the order the file system lists them, and
  // returns how many. Folders that are reparse points (junctions, links) are not entered, so a
  // link loop cannot make the walk endless; a folder that cannot be listed adds nothing.
  int AddFolderFiles(const std::wstring& folder);

  // The node's name inside the archive, "\"-separated, as the tree stands now.
  std::wstring ArchiveName(const CZipEntryNode& node) const;
  // Header bytes of a stored archive of these files at their planned sizes: 22, plus 102 and twice
  // the UTF-8 length of the archive name per file, plus exactly the Zip64 fields and records the
  // writer adds where sizes, offsets or the count outgrow the classic fields.
  uint64_t EstimateOverhead() const;

  // Writes the archive into `sink` (stored entries if `store_only`, else deflated ones); the sink
  // is the new file at `archive_path`. Every file must go in whole: a file the writer refuses or
  // cannot read, or a write that falls short, fails the archive, and `failure` (if given) says
  // which file and why. A cancel stops it within the entry in progress. Unless finished, the
  // archive file is deleted.
  ZipWriteOutcome WriteArchive(std::unique_ptr<ZipSink> sink, const std::wstring& archive_path, bool store_only,
                               std::wstring* failure = nullptr);
  // The same into a new file at `archive_path` (never over an existing one).
  ZipWriteOutcome WriteArchive(const std::wstring& archive_path, bool store_only, std::wstring* failure = nullptr);

  // Asks a running (or coming) WriteArchive to stop. Any thread.
  void RequestCancel() noexcept { cancel_requested_.store(true); }
  bool CancelRequested() const noexcept { return cancel_requested_.load(); }

  const std::vector<std::unique_ptr<CZipEntryNode>>& Files() const noexcept { return files_; }
  const std::vector<std::unique_ptr<CZipEntryNode>>& Folders() const noexcept { return folders_; }

 private:
  // A folder with its path in comparable form: upper-cased components, joined path.
  struct FolderKey {
    std::vector<std::wstring> components;
  };

  void Link(CZipEntryNode& node);
  CZipEntryNode* MakeFolder(const std::wstring& path);
  CZipEntryNode* FindFolderByPath(const std::wstring& path) const;
  CZipEntryNode* FindParentFolder(const CZipEntryNode& node) const;
  CZipEntryNode* FindBestFolder(const CZipEntryNode& node, size_t* shared) const;
  CZipEntryNode* EnsureParentFolder(CZipEntryNode& node);
  void ConnectChain(const CZipEntryNode& top, CZipEntryNode* node);

  std::vector<std::unique_ptr<CZipEntryNode>> files_;
  std::vector<std::unique_ptr<CZipEntryNode>> folders_;
  std::vector<FolderKey> folder_keys_;                           // parallel to folders_
  std::unordered_map<std::wstring, CZipEntryNode*> folder_index_;  // folded path -> first folder
  std::atomic<bool> cancel_requested_{false};
};

}  // namespace zel::zip
