#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

#include "common/tk_section.h"
#include "common/unique_handle.h"

namespace zel {

// The module log: timestamped UTF-8 lines in the product's common log folder
// (<all-users application data>\RodEzeduduv\Logs\), a size limit of 524288 with one ".back"
// generation, and a shared error log "VizOderiv.log" for fatal lines. Nothing is opened until the
// first line that passes the level test; logging never raises an error to its caller.
//
// Formats are wide printf formats of the Windows runtime: "%s"/"%ls" wide, "%hs" narrow,
// "%I64d" 64-bit.
class CTkLog {
 public:
  enum Level : int { kFatal = 0, kError = 1, kWarn = 2, kInfo = 3, kDebug = 4 };
  static constexpr long kRotateSize = 524288;
  static constexpr size_t kLineChars = 2048;  // a whole line, terminator included

  // `file_name` null or empty: the host program's name + ".log". The level is 1 unless
  // HKLM\Software\ROD Ezeduduv\Zel "LogLevel" (REG_DWORD) says otherwise; it is read here once.
  CTkLog(const wchar_t* file_name, bool with_process_id);
  virtual ~CTkLog();
  CTkLog(const CTkLog&) = delete;
  CTkLog& operator=(const CTkLog&) = delete;

  virtual void Debug(const wchar_t* format, ...);
  virtual void Info(const wchar_t* format, ...);
  virtual void Warn(const wchar_t* format, ...);
  virtual void Error(const wchar_t* format, ...);
  // Writes at level 0 to the main log, then the same message to the error log.
  virtual void Fatal(const wchar_t* format, ...);
  virtual void Log(int level, const wchar_t* format, ...);
  virtual void Trace(const wchar_t* format, ...);
  virtual void Write(const wchar_t* format, va_list args, int level);
  virtual void WriteError(const wchar_t* format, va_list args);

  // Writes one line's bytes to the log file in one call, as WriteFile does (the default, also
  // when `writer` is null). A test puts a writer here that stops part-way, as on a full disk.
  using LineWriter = BOOL (*)(HANDLE file, const void* bytes, DWORD size, DWORD* written);
  void SetLineWriter(LineWriter writer);

  int Level() const noexcept { return level_; }
  bool IsEnabled(int level) const noexcept { return level <= level_; }
  // Overrides the registry level for the life of the object (the host's and the tests' knob).
  void SetLevel(int level) noexcept { level_ = level; }

  // Full paths of the files actually opened; empty before the first line or when none opened.
  std::wstring MainPath();
  std::wstring ErrorPath();

  // Line prefixes, exposed so that their layout can be checked against a fixed time.
  static int FormatMainPrefix(wchar_t* buffer, size_t size, const SYSTEMTIME& time, int level,
                              bool with_process_id, DWORD process_id);
  static int FormatErrorPrefix(wchar_t* buffer, size_t size, const SYSTEMTIME& time,
                               const wchar_t* program_name);

 private:
  struct Stream {
    UniqueFile file;
    long count = 0;
    bool open = false;
    std::wstring base;  // the name the fallbacks 1 to 9 are made from
    std::wstring path;  // the name actually opened
  };

  void InitializeLocked();
  // Opens `stream` under its base name or the first fallback that opens; `rotate_at_start`
  // rotates an oversized file first and takes the count from its size.
  static bool OpenWithFallback(Stream& stream, bool rotate_at_start);
  static void RotateRunning(Stream& stream);
  void Emit(Stream& stream, const wchar_t* line, int length);
  static int AppendMessage(wchar_t* line, int prefix_length, const wchar_t* format, va_list args);

  bool initialised_ = false;
  bool with_process_id_;
  std::wstring file_name_;
  std::wstring program_name_;
  Stream main_;
  Stream error_;
  TkSection lock_;
  DWORD process_id_;
  int level_ = kError;
  LineWriter line_writer_;
};

}  // namespace zel
