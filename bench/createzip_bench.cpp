// 1. A "CreateZip" job (a stored archive written by the worker thread) of 1 GiB of files, against
// copying the same files with CopyFileW, in the same run; target: at least 70 % of the copy's
// throughput. The files are read once beforehand so that both start from the page cache. Then the
// same at 4 and 8 GiB (the 1 GiB files and more), one round each, drawn with the 1 GiB medians as
// MiB/s against GiB: the archive and its copy's figures should not fall with the size.
// 2. Planning the archive of 1,000, 10,000 and 66,000 one-byte files (each opened once, as the
// writer reads it, and named), against a plain loop that opens each file once and reads its size;
// target: at most 1.2 times the loop at 10,000 and 66,000. The whole job (planning and writing) at
// each count is drawn beside the loop. Then the time to the answer of a "CreateZip" of the 66,000
// files, with the module's own 5 s wait for its worker.
// The two sides of each ratio run in interleaved rounds (bench_support.h).

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/scoped_variant.h"
#include "common/unique_handle.h"
#include "common/vutil.h"
#include "zip/zip_job_hooks.h"
#include "zip/zip_jobs.h"
#include "zip/zip_plan.h"

namespace {

constexpr DWORD kFileSize = 16u << 20;
constexpr int kFilesPerGiB = 64;
constexpr int kLargestGiB = 8;  // with its archive, 16 GiB on the disk at once

void WriteSource(const std::wstring& path, unsigned seed) {
  zel::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  std::vector<unsigned> block(1u << 18);  // 1 MiB of a cheap pseudo-random sequence
  unsigned state = seed * 2654435761u + 1;
  DWORD written = 0;
  for (DWORD done = 0; done < kFileSize; done += 1u << 20) {
    for (unsigned& word : block) word = state = state * 1664525u + 1013904223u;
    ::WriteFile(file.Get(), block.data(), 1u << 20, &written, nullptr);
  }
}

void ReadAll(const std::vector<std::wstring>& paths) {
  std::vector<char> buffer(1u << 20);
  for (const std::wstring& path : paths) {
    zel::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD got = 0;
    while (::ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
    }
  }
}

double CopySeconds(const std::vector<std::wstring>& paths, const std::wstring& target) {
  const double start = zelbench::Now();
  for (size_t i = 0; i < paths.size(); ++i) {
    ::CopyFileW(paths[i].c_str(), (target + L"\\copy" + std::to_wstring(i)).c_str(), FALSE);
  }
  const double seconds = zelbench::Now() - start;
  for (size_t i = 0; i < paths.size(); ++i) ::DeleteFileW((target + L"\\copy" + std::to_wstring(i)).c_str());
  return seconds;
}

// Adds source files up to `gib` GiB to `paths`, deleted with `scratch`, and reads the new ones once.
void GrowSources(zelbench::Scratch& scratch, const std::wstring& folder, int gib, std::vector<std::wstring>* paths) {
  const size_t first = paths->size();
  const double start = zelbench::Now();
  for (size_t i = first; i < static_cast<size_t>(gib) * kFilesPerGiB; ++i) {
    paths->push_back(scratch.File(folder + L"\\source" + std::to_wstring(i) + L".bin"));
    WriteSource(paths->back(), static_cast<unsigned>(i));
  }
  ReadAll(std::vector<std::wstring>(paths->begin() + static_cast<std::ptrdiff_t>(first), paths->end()));
  std::printf("sources of %d GiB ready (%.1f s for the new ones)\n", gib, zelbench::Now() - start);
}

double ZipSeconds(const std::vector<std::wstring>& paths, long long* size) {
  std::vector<zel::UniqueKernelHandle> workers;
  zel::zip::ZipJobHooks hooks;
  hooks.on_worker = [&workers](zel::UniqueKernelHandle worker) { workers.push_back(std::move(worker)); };
  zel::zip::ZipJobs jobs(hooks);
  const double start = zelbench::Now();
  zel::ScopedVariant output;
  if (jobs.CreateZipOfPaths(paths, *output) != 0 || workers.empty()) return -1;
  ::WaitForSingleObject(workers[0].Get(), INFINITE);
  const double seconds = zelbench::Now() - start;
  const std::wstring archive = zel::VUtil::GetStringElement(*output, 0);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ::GetFileAttributesExW(archive.c_str(), GetFileExInfoStandard, &data);
  *size = (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  ::DeleteFileW(archive.c_str());
  return seconds;
}

// One-byte files `first` to `count` - 1 added to `paths`, in folders of 1,000.
void SmallFiles(const std::wstring& folder, int first, int count, std::vector<std::wstring>* added) {
  std::vector<std::wstring>& paths = *added;
  for (int i = first; i < count; ++i) {
    const std::wstring sub = folder + L"\\d" + std::to_wstring(i / 1000);
    if (i % 1000 == 0) ::CreateDirectoryW(sub.c_str(), nullptr);
    paths.push_back(sub + L"\\f" + std::to_wstring(i));
    zel::UniqueFile file(::CreateFileW(paths.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.Get(), "x", 1, &written, nullptr);
  }
}

double OpenEachOnceSeconds(const std::vector<std::wstring>& paths) {
  const double start = zelbench::Now();
  for (const std::wstring& path : paths) {
    zel::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file.Get(), &size);
  }
  return zelbench::Now() - start;
}

double PlanSeconds(const std::vector<std::wstring>& paths) {
  const double start = zelbench::Now();
  zel::zip::ZipPlan plan;
  zel::zip::PlanArchive(L"bench", paths, &plan);
  const double seconds = zelbench::Now() - start;  // closing the held files is the writer's cost
  return plan.files.size() == paths.size() ? seconds : -1;
}

void ComparePlanning(const std::vector<std::wstring>& paths) {
  const double count = static_cast<double>(paths.size());
  const zelbench::Paired paired =
      zelbench::Interleave([&] { return PlanSeconds(paths); }, [&] { return OpenEachOnceSeconds(paths); });
  zelbench::Point("CreateZip of one-byte files: seconds against files", "planning", count, paired.subject);
  zelbench::Point("CreateZip of one-byte files: seconds against files", "opening each file once (baseline)", count,
                  paired.baseline);
  long long size = 0;
  zelbench::Point("CreateZip of one-byte files: seconds against files", "planning and writing", count,
                  ZipSeconds(paths, &size));
  zelbench::Judge("CreateZip planning " + std::to_string(paths.size()) + " files", zelbench::Scaled(paired, 1000), "ms",
                  "(opening each file once)", paths.size() >= 10000 ? zelbench::AtMost(1.2) : zelbench::Target{});
}

// The time until "CreateZip" answers for `paths`, then the worker is let finish.
double AnswerSeconds(const std::vector<std::wstring>& paths) {
  std::vector<zel::UniqueKernelHandle> workers;
  zel::zip::ZipJobHooks hooks;  // the module's own wait
  hooks.on_worker = [&workers](zel::UniqueKernelHandle worker) { workers.push_back(std::move(worker)); };
  zel::zip::ZipJobs jobs(hooks);
  const double start = zelbench::Now();
  zel::ScopedVariant output;
  const LONG rc = jobs.CreateZipOfPaths(paths, *output);
  const double seconds = zelbench::Now() - start;
  if (rc != 0 || workers.empty()) return -1;
  ::WaitForSingleObject(workers[0].Get(), INFINITE);
  ::DeleteFileW(zel::VUtil::GetStringElement(*output, 0).c_str());
  return seconds;
}

// The stored archive of 1, 4 and 8 GiB of files against copying them: the ratio judged at 1 GiB.
void CompareLargeArchives(const std::wstring& folder) {
  zelbench::Scratch scratch;
  const std::wstring sources = folder + L"\\large", target = sources + L"\\copies";
  scratch.Folder(sources);
  scratch.Folder(target);
  std::vector<std::wstring> paths;
  const char* const curve = "CreateZip (stored) of large files: MiB/s against GiB";
  for (int gib : {1, 4, kLargestGiB}) {
    GrowSources(scratch, sources, gib, &paths);
    const double mib = static_cast<double>(paths.size()) * kFileSize / 1048576.0;
    long long archive_size = 0;
    const auto zip_rate = [&] {
      const double seconds = ZipSeconds(paths, &archive_size);
      return seconds > 0 ? mib / seconds : -1;
    };
    const auto copy_rate = [&] { return mib / CopySeconds(paths, target); };
    const zelbench::Paired zip = zelbench::Interleave(zip_rate, copy_rate, gib == 1 ? zelbench::kPairs : 1);
    std::printf("archive: %lld bytes for %.0f MiB in %zu files\n", archive_size, mib, paths.size());
    if (gib == 1) {
      zelbench::Judge("CreateZip (stored) of 1 GiB", zip, "MiB/s", "(CopyFileW of the files)", zelbench::AtLeast(0.7));
    } else {
      std::printf("CreateZip (stored) of %d GiB: %.1f MiB/s against %.1f MiB/s for CopyFileW (one round): %.3f\n", gib,
                  zip.subject, zip.baseline, zip.median);
    }
    if (!zip.ok) return;
    zelbench::Point(curve, "CreateZip (medians at 1 GiB, one round at 4 and 8)", gib, zip.subject);
    zelbench::Point(curve, "CopyFileW of the same files (baseline)", gib, zip.baseline);
  }
}

}  // namespace

int main() {
  const std::wstring folder = zelbench::TempPath(L"zel-createzip-bench");
  ::CreateDirectoryW(folder.c_str(), nullptr);
  CompareLargeArchives(folder);

  const std::wstring small = folder + L"\\small";
  ::CreateDirectoryW(small.c_str(), nullptr);
  // The smaller counts first, so that their figures come before the 66,000 files are made.
  std::vector<std::wstring> many;
  SmallFiles(small, 0, 10000, &many);
  for (size_t count : {1000, 10000}) ComparePlanning(std::vector<std::wstring>(many.begin(), many.begin() + count));
  SmallFiles(small, 10000, 66000, &many);
  ComparePlanning(many);
  std::vector<double> answers;
  for (int round = 0; round < 3; ++round) answers.push_back(AnswerSeconds(many));
  std::sort(answers.begin(), answers.end());
  std::printf("CreateZip of 66000 files answers after %.2f s (median of 3; %.2f to %.2f)\n", answers[1], answers[0],
              answers[2]);
  for (const std::wstring& path : many) ::DeleteFileW(path.c_str());
  for (size_t i = 0; i < many.size(); i += 1000) ::RemoveDirectoryW((small + L"\\d" + std::to_wstring(i / 1000)).c_str());
  ::RemoveDirectoryW(small.c_str());
  ::RemoveDirectoryW(folder.c_str());
  return 0;
}
