#include "zip/zip_entry_tree.h"

#include <windows.h>

#include <algorithm>

#include "common/text.h"
#include "common/unique_handle.h"
#include "zip/zip_headers.h"
#include "zip/zip_writer.h"

namespace zel::zip {
namespace {

// Paths compare as the file system compares names: by code unit after upper-casing, for every
// script, not only ASCII.
std::wstring Fold(const std::wstring& text) {
  std::wstring folded = text;
  if (!folded.empty()) ::CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
  return folded;
}

// The pieces between "\" characters; empty pieces (leading, doubled, trailing separators) skipped.
std::vector<std::wstring> Components(const std::wstring& path) {
  std::vector<std::wstring> pieces;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (end > start) pieces.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

size_t CommonComponentCount(const std::vector<std::wstring>& a, const std::vector<std::wstring>& b) {
  size_t count = 0;
  while (count < a.size() && count < b.size() && a[count] == b[count]) ++count;
  return count;
}

// The text before the last "\"; none when the last "\" is the first character or there is none.
bool ParentPath(const std::wstring& path, std::wstring* parent) {
  const size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos || slash == 0) return false;
  *parent = path.substr(0, slash);
  return true;
}

std::wstring NameOf(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(slash + 1);
}

std::wstring Join(const std::vector<std::wstring>& pieces, size_t count) {
  std::wstring joined;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) joined += L'\\';
    joined += pieces[i];
  }
  return joined;
}

}  // namespace

void CZipEntryTree::AddFile(const std::wstring& path) {
  files_.push_back(std::make_unique<CZipEntryNode>(CZipEntryNode{NameOf(path), path, nullptr}));
  Link(*files_.back());
}

void CZipEntryTree::AddFolder(const std::wstring& folder) {
  if (FindFolderByPath(folder) == nullptr) Link(*MakeFolder(folder));
}

int CZipEntryTree::AddFolderFiles(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  UniqueFind find(::FindFirstFileW((folder + L"\\*.*").c_str(), &found));
  if (!find) return 0;
  int count = 0;
  do {
    const std::wstring name = found.cFileName;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (name == L"." || name == L".." || (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
      count += AddFolderFiles(folder + L"\\" + name);
    } else {
      AddFile(folder + L"\\" + name);
      ++count;
    }
  } while (::FindNextFileW(find.Get(), &found));
  return count;
}

std::wstring CZipEntryTree::ArchiveName(const CZipEntryNode& node) const {
  std::vector<const CZipEntryNode*> chain;
  for (const CZipEntryNode* at = &node; at != nullptr; at = at->parent) chain.push_back(at);
  std::wstring name;
  for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
    if (!name.empty()) name += L'\\';
    name += (*at)->name;
  }
  return name;
}

uint64_t CZipEntryTree::EstimateOverhead() const {
  ZipLayout layout;
  uint64_t data = 0;
  for (const auto& file : files_) {
    layout.AddStored(WideToUtf8(ArchiveName(*file)).size(), file->size);
    data += file->size;
  }
  return layout.Size() - data;
}

ZipWriteOutcome CZipEntryTree::WriteArchive(const std::wstring& archive_path, bool store_only, std::wstring* failure) {
  return WriteArchive(CreateFileSink(archive_path), archive_path, store_only, failure);
}

ZipWriteOutcome CZipEntryTree::WriteArchive(std::unique_ptr<ZipSink> sink, const std::wstring& archive_path,
                                            bool store_only, std::wstring* failure) {
  std::wstring why;
  std::unique_ptr<CZipWriter> writer = CZipWriter::CreateArchive(std::move(sink));
  const bool created = writer != nullptr;  // else the path may name someone else's file: never delete it
  if (!created) why = L"the archive file could not be created";
  if (writer != nullptr) writer->SetCancelFlag(&cancel_requested_);
  std::vector<const CZipEntryNode*> files;
  for (const auto& file : files_) files.push_back(file.get());
  for (const CZipEntryNode* file : files) {
    if (!why.empty() || CancelRequested()) break;
    const ZipResult result = writer->AddEntry(ArchiveName(*file), ZipSource::File(file->path), store_only);
    if (result != ZipOk) why = file->path + L": " + ZipResultText(result);
  }
  if (writer != nullptr && writer->CloseArchive() != ZipOk && why.empty()) why = L"the central directory: write failed";
  writer.reset();
  ZipWriteOutcome outcome = ZipWriteOutcome::kFinished;
  if (CancelRequested()) {
    outcome = ZipWriteOutcome::kCancelled;
  } else if (!why.empty()) {
    outcome = ZipWriteOutcome::kFailed;
  }
  if (created && outcome != ZipWriteOutcome::kFinished) ::DeleteFileW(archive_path.c_str());
  if (failure != nullptr) *failure = why;
  return outcome;
}

void CZipEntryTree::Link(CZipEntryNode& node) {
  size_t shared = 0;
  CZipEntryNode* best = FindBestFolder(node, &shared);
  if (best == nullptr || shared < 2) {
    EnsureParentFolder(node);
    return;
  }
  if (CZipEntryNode* parent = FindParentFolder(node)) {
    node.parent = parent;
    return;
  }
  const std::vector<std::wstring> best_components = Components(best->path);
  const std::wstring common = Join(best_components, shared);
  CZipEntryNode* top = FindFolderByPath(common);
  if (top == nullptr) {
    top = MakeFolder(common);
    Link(*top);
  }
  ConnectChain(*top, best);
  ConnectChain(*top, &node);
}

CZipEntryNode* CZipEntryTree::MakeFolder(const std::wstring& path) {
  folders_.push_back(std::make_unique<CZipEntryNode>(CZipEntryNode{NameOf(path), path, nullptr}));
  CZipEntryNode* folder = folders_.back().get();
  FolderKey key;
  for (const std::wstring& piece : Components(path)) key.components.push_back(Fold(piece));
  folder_keys_.push_back(std::move(key));
  folder_index_.emplace(Fold(path), folder);  // keeps the first folder made for a path
  return folder;
}

CZipEntryNode* CZipEntryTree::FindFolderByPath(const std::wstring& path) const {
  const auto found = folder_index_.find(Fold(path));
  return found == folder_index_.end() ? nullptr : found->second;
}

CZipEntryNode* CZipEntryTree::FindParentFolder(const CZipEntryNode& node) const {
  std::wstring parent;
  return ParentPath(node.path, &parent) ? FindFolderByPath(parent) : nullptr;
}

CZipEntryNode* CZipEntryTree::FindBestFolder(const CZipEntryNode& node, size_t* shared) const {
  std::vector<std::wstring> components = Components(node.path);
  for (std::wstring& piece : components) piece = Fold(piece);
  CZipEntryNode* best = nullptr;
  *shared = 0;
  for (size_t i = 0; i < folders_.size(); ++i) {
    const size_t count = CommonComponentCount(folder_keys_[i].components, components);
    if (count > *shared) {  // among equals the earliest-made folder stays
      *shared = count;
      best = folders_[i].get();
    }
  }
  return best;
}

CZipEntryNode* CZipEntryTree::EnsureParentFolder(CZipEntryNode& node) {
  std::wstring parent_path;
  if (!ParentPath(node.path, &parent_path)) return nullptr;
  CZipEntryNode* parent = FindFolderByPath(parent_path);
  if (parent == nullptr) parent = MakeFolder(parent_path);
  node.parent = parent;
  return parent;
}

// Makes every folder between `node` and `top` exist and hang under the next one up. Each step
// goes to a strictly shorter path, so the walk ends; it is a loop rather than a recursion so that
// a path of thousands of components cannot exhaust the stack.
void CZipEntryTree::ConnectChain(const CZipEntryNode& top, CZipEntryNode* node) {
  const std::wstring top_folded = Fold(top.path);
  while (node != nullptr) {
    const std::wstring node_folded = Fold(node->path);
    if (node_folded == top_folded || node_folded.find(top_folded) == std::wstring::npos) return;
    node = node->parent != nullptr ? node->parent : EnsureParentFolder(*node);
  }
}

}  // namespace zel::zip
