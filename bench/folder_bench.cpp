// "GetDiskFolderContent" on a folder of 10,000 files (columns title,type,size,dateModified, key
// "size:desc", every row) through the broker, against the shell enumeration alone of the same
// folder (the display and parsing names and attributes the listing is made of), in interleaved rounds.
// Target: at most 1.2 times the shell alone: sizes and times cost one directory read per folder,
// not one open per file.
//
// Two more baselines show where the time goes: a plain FindFirstFileW loop that reads the same
// attributes and sorts the same way, and that loop plus one open per file (what sizes and times
// would cost if each item opened its file).
//
// Curves: one page of 20 from the middle of folders of 1,000, 10,000 and 100,000 files, time and
// working set growth per entry, each beside the shell enumeration alone. Every file made is
// deleted at the end. Under Wine each new name costs a read of the whole folder (to rule out the
// same name in another case): 10,000 files take half a minute to make, 100,000 most of an hour.
// So "--made PATH" names a folder whose subfolders 1000, 10000 and 100000 hold those files made
// beforehand, as scripts/bench.sh does on the Linux side, with FileName's names and MakeFolder's
// sizes; they are left as they are.

#include <windows.h>
#include <psapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "browse/shell_names.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "host_session.h"
#include "module_client.h"

namespace {

constexpr int kFiles = 10000;
constexpr int kLargeFiles = 100000;

// scripts/bench.sh names and sizes the files it makes beforehand alike.
std::wstring FileName(int i) { return L"track" + std::to_wstring(i) + (i % 3 == 0 ? L".mp3" : L".txt"); }

// Makes a folder of `count` files of varied sizes (sparse: only their sizes matter), which
// `scratch` deletes later.
std::wstring MakeFolder(zelbench::Scratch& scratch, int count) {
  const std::wstring folder = zelbench::TempPath((L"zel-folder-bench-" + std::to_wstring(count)).c_str());
  scratch.Folder(folder);
  const double start = zelbench::Now();
  for (int i = 0; i < count; ++i) {
    zel::UniqueFile file(::CreateFileW(scratch.File(folder + L"\\" + FileName(i)).c_str(), GENERIC_WRITE, 0, nullptr,
                                       CREATE_ALWAYS, 0, nullptr));
    LARGE_INTEGER size;
    size.QuadPart = (static_cast<LONGLONG>(i) * 7919) % 100003;
    ::SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN);
    ::SetEndOfFile(file.Get());
  }
  std::printf("made %d files in %ls in %.1f s\n", count, folder.c_str(), zelbench::Now() - start);
  return folder;
}

// The largest working set seen while it runs, polled every millisecond, less the one it began with.
class WorkingSetGrowth {
 public:
  WorkingSetGrowth() : start_(Current()), peak_(start_), poller_([this] {
    while (!done_) {
      peak_ = std::max(peak_, Current());
      ::Sleep(1);
    }
  }) {}
  ~WorkingSetGrowth() { Stop(); }
  WorkingSetGrowth(const WorkingSetGrowth&) = delete;
  WorkingSetGrowth& operator=(const WorkingSetGrowth&) = delete;

  // Bytes: the peak so far less the start.
  double Stop() {
    done_ = true;
    if (poller_.joinable()) poller_.join();
    peak_ = std::max(peak_, Current());
    return static_cast<double>(peak_) - static_cast<double>(start_);
  }

 private:
  static SIZE_T Current() {
    PROCESS_MEMORY_COUNTERS counters{};
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    return counters.WorkingSetSize;
  }
  SIZE_T start_;
  SIZE_T peak_;  // the poller's until it is joined
  std::atomic<bool> done_{false};
  std::thread poller_;
};

struct Entry {
  std::wstring name;
  bool folder;
  LONGLONG size;
  FILETIME written;
};

void SortLikeTheService(std::vector<Entry>& entries) {
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.folder != b.folder) return a.folder;
    return a.size > b.size;
  });
}

// Seconds for the plain loop; `open_each`: also one open and query per file.
double PlainLoop(const std::wstring& folder, bool open_each, size_t* listed) {
  const double start = zelbench::Now();
  std::vector<Entry> entries;
  WIN32_FIND_DATAW data;
  zel::UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (find) {
    do {
      if (std::wcscmp(data.cFileName, L".") == 0 || std::wcscmp(data.cFileName, L"..") == 0) continue;
      Entry entry{data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                  static_cast<LONGLONG>((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow),
                  data.ftLastWriteTime};
      if (open_each) {
        zel::UniqueFile file(::CreateFileW((folder + L"\\" + data.cFileName).c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        FILE_BASIC_INFO basic;
        LARGE_INTEGER size;
        if (file && ::GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &basic, sizeof(basic)) &&
            ::GetFileSizeEx(file.Get(), &size)) {
          entry.size = size.QuadPart;
          entry.written.dwLowDateTime = basic.LastWriteTime.LowPart;
          entry.written.dwHighDateTime = static_cast<DWORD>(basic.LastWriteTime.HighPart);
        }
      }
      entries.push_back(std::move(entry));
    } while (::FindNextFileW(find.Get(), &data));
  }
  SortLikeTheService(entries);
  *listed = entries.size();
  return zelbench::Now() - start;
}

// Seconds for the shell's enumeration of the folder: names and attributes of every object.
double ShellAlone(const std::wstring& folder, size_t* listed) {
  const double start = zelbench::Now();
  *listed = 0;
  IMallocPtr allocator;
  IShellFolderPtr desktop;
  if (FAILED(::SHGetMalloc(&allocator)) || FAILED(::SHGetDesktopFolder(&desktop))) return 0;
  zel::browse::ShellIdList location(allocator);
  IShellFolderPtr shell_folder;
  IEnumIDListPtr objects;
  if (SUCCEEDED(desktop->ParseDisplayName(nullptr, nullptr, const_cast<wchar_t*>(folder.c_str()), nullptr,
                                          location.Receive(), nullptr)) &&
      SUCCEEDED(desktop->BindToObject(location.Get(), nullptr, IID_IShellFolder,
                                      reinterpret_cast<void**>(&shell_folder))) &&
      shell_folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &objects) == S_OK) {
    zel::browse::ShellIdList object(allocator);
    while (objects->Next(1, object.Receive(), nullptr) == S_OK) {
      STRRET name;
      wchar_t title[MAX_PATH], path[MAX_PATH];
      shell_folder->GetDisplayNameOf(object.Get(), SHGDN_INFOLDER, &name);
      ::StrRetToBufW(&name, object.Get(), title, MAX_PATH);
      shell_folder->GetDisplayNameOf(object.Get(), SHGDN_FORPARSING, &name);
      ::StrRetToBufW(&name, object.Get(), path, MAX_PATH);
      SFGAOF attributes = SFGAO_FILESYSTEM | SFGAO_FOLDER | SFGAO_HIDDEN | SFGAO_STREAM;
      LPCITEMIDLIST one = object.Get();
      shell_folder->GetAttributesOf(1, &one, &attributes);
      ++*listed;
    }
  }
  return zelbench::Now() - start;
}

// Seconds for one GetDiskFolderContent request; `rows` and `counted` receive what it answered.
double ThroughModule(const zelhost::ModuleClient& module, const std::wstring& folder, const std::string& paging,
                     size_t* rows, long long* counted) {
  const std::string input = "[\"bench\", " + zelhost::DumpJson(zel::WideToUtf8(folder)) +
                            R"(, 3, "", "title,type,size,dateModified", "size:desc")" + paging + "]";
  zel::ScopedVariant request;
  zelhost::JsonToVariant(zelhost::ParseJson(input), request.Get(), nullptr);
  zel::ScopedVariant output;
  const double start = zelbench::Now();
  const LONG rc = module.Call(L"GetDiskFolderContent", *request, &output, -1).rc;
  const double seconds = zelbench::Now() - start;
  const zelhost::Json answer = zelhost::VariantToJson(*output);
  if (rc != 0 || !answer.is_array() || answer.size() != 4) {
    std::fprintf(stderr, "GetDiskFolderContent failed: %ld\n", static_cast<long>(rc));
    return -1;
  }
  *rows = answer[1].size();
  *counted = answer[2].get<long long>() + answer[3].get<long long>();
  return seconds;
}

// The curves' points for a folder of `count` files: one page of 20 from the middle through the
// module against the shell enumeration alone, in milliseconds per entry, and the working set
// growth during the first listing of each, in bytes per entry. The counts run upwards and the shell
// goes first, so that each listing is the largest so far and finds little of its memory already in
// the working set.
void CurvePoint(zelhost::HostSession& session, const std::wstring& folder, int count, int pairs) {
  const std::string page = ", " + std::to_string(count / 2) + ", 20";
  size_t rows = 0, listed = 0;
  long long counted = 0;
  WorkingSetGrowth shell_memory;
  ShellAlone(folder, &listed);
  const double shell_growth = shell_memory.Stop();
  WorkingSetGrowth module_memory;
  ThroughModule(zelhost::ModuleClient(session, L"bench"), folder, page, &rows, &counted);
  const double growth = module_memory.Stop();
  const zelbench::Paired paired = zelbench::Interleave([&] { return ThroughModule(zelhost::ModuleClient(session, L"bench"), folder, page, &rows, &counted); },
                                                       [&] { return ShellAlone(folder, &listed); }, pairs);
  const char* const time_curve = "GetDiskFolderContent, one page: ms per entry against files";
  zelbench::Point(time_curve, "through the module", count, paired.subject * 1000 / count);
  zelbench::Point(time_curve, "shell enumeration alone (baseline)", count, paired.baseline * 1000 / count);
  const char* const memory_curve = "GetDiskFolderContent: working set growth per entry (bytes) against files";
  zelbench::Point(memory_curve, "through the module", count, std::max(0.0, growth) / count);
  zelbench::Point(memory_curve, "shell enumeration alone (baseline)", count, std::max(0.0, shell_growth) / count);
  std::printf("%d files: %.1f ms through the module, %.1f ms the shell alone (medians of %d pairs); working set "
              "growth per entry %.0f and %.0f bytes\n",
              count, paired.subject * 1000, paired.baseline * 1000, pairs, growth / count, shell_growth / count);
}

}  // namespace

int main(int argc, char** argv) {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const std::wstring made = argc == 3 && std::strcmp(argv[1], "--made") == 0 ? zel::Utf8ToWide(argv[2]) : L"";
  zelbench::Scratch scratch;
  zelhost::HostSession session(zelhost::HostOptions{});
  std::wstring folder;
  // The curves first, while the working set holds the least, after one listing of each kind: the
  // session's first pays for loading and starting what serves it, which made the 1,000-file point
  // four times the 10,000-file one. Fewer pairs at 100,000 files, whose listings take seconds each.
  for (int count : {1000, kFiles, kLargeFiles}) {
    const std::wstring listed = made.empty() ? MakeFolder(scratch, count) : made + L"\\" + std::to_wstring(count);
    if (count == kFiles) folder = listed;
    if (count == 1000) {
      size_t rows = 0, listed_count = 0;
      long long counted = 0;
      ThroughModule(zelhost::ModuleClient(session, L"bench"), listed, ", 0, 20", &rows, &counted);
      ShellAlone(listed, &listed_count);
    }
    CurvePoint(session, listed, count, count == kLargeFiles ? 3 : zelbench::kPairs);
  }
  const zelhost::ModuleClient client(session, L"bench");

  size_t plain_listed = 0, opened_listed = 0, shell_listed = 0, rows = 0;
  long long counted = 0;
  const auto shell = [&] { return ShellAlone(folder, &shell_listed); };
  const auto plain = [&] { return PlainLoop(folder, false, &plain_listed); };
  const zelbench::Paired module =
      zelbench::Interleave([&] { return ThroughModule(client, folder, ", 0, 0", &rows, &counted); }, shell);
  const zelbench::Paired shell_paired = zelbench::Interleave(shell, plain);
  const zelbench::Paired opened = zelbench::Interleave([&] { return PlainLoop(folder, true, &opened_listed); }, plain);
  std::printf("listed: plain loop %zu, shell %zu, GetDiskFolderContent %zu rows of %lld\n", plain_listed, shell_listed,
              rows, counted);
  zelbench::Judge("GetDiskFolderContent 10,000 files", zelbench::Scaled(module, 1000), "ms", "(shell enumeration)",
                  zelbench::AtMost(1.2));
  zelbench::Judge("  shell enumeration alone", zelbench::Scaled(shell_paired, 1000), "ms", "(FindFirstFileW loop)");
  zelbench::Judge("  plain loop + one open per file", zelbench::Scaled(opened, 1000), "ms", "(FindFirstFileW loop)");
  return 0;
}
