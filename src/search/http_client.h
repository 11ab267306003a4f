#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>
#include <string_view>

#include "common/unique_handle.h"

namespace zel::search {

// How long WinINet may wait, in milliseconds, before a step of a request fails with
// ERROR_INTERNET_TIMEOUT: setting up the connection, sending the request, and each wait for
// answer bytes (the response headers, and every later read).
struct HttpTimeouts {
  DWORD connect_ms;
  DWORD send_ms;
  DWORD receive_ms;
};

// One HTTP request to one server over WinINet, with its answer read in pieces, optionally from a
// byte offset (a Range header). An object is used by one thread; it owns its three WinINet
// handles and closes them (request, connection, session) when destroyed.
class CMyHttpRequest {
 public:
  static constexpr const wchar_t* kDefaultAgent = L"Mozilla/4.0";
  static constexpr INTERNET_PORT kSecurePort = 443;
  static constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                         INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_PRAGMA_NOCACHE;
  static constexpr DWORD kSecureRequestFlags = kRequestFlags | INTERNET_FLAG_SECURE |
                                               INTERNET_FLAG_IGNORE_CERT_CN_INVALID |
                                               INTERNET_FLAG_IGNORE_CERT_DATE_INVALID;
  static constexpr DWORD kRelaxedSecurityFlags =
      SECURITY_FLAG_IGNORE_REVOCATION | SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
      SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTPS | SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP;
  // Generous for a server on the same machine; every request of the module sets them explicitly
  // so that a server that stops answering can never hold a broker thread for WinINet's own
  // defaults (which can be unlimited).
  static constexpr HttpTimeouts kDefaultTimeouts{10000, 10000, 20000};

  // `path` is the object path with its query. Empty user name and password mean none.
  CMyHttpRequest(std::wstring host, INTERNET_PORT port, std::wstring path, std::wstring user_name = {},
                 std::wstring password = {}, bool use_cookies = true);
  virtual ~CMyHttpRequest();
  CMyHttpRequest(const CMyHttpRequest&) = delete;
  CMyHttpRequest& operator=(const CMyHttpRequest&) = delete;

  // Applies to the next Open.
  void SetTimeouts(const HttpTimeouts& timeouts) noexcept { timeouts_ = timeouts; }

  // Opens the session, the connection and the request and sends it; with `offset` above 0 it asks
  // for the answer from that byte on. `agent` null: kDefaultAgent. `headers` null: none; `data`
  // (may be null) is sent as the request body. Returns 0; 1 when a handle could not be made (the
  // reason is in GetLastError()); the last error when sending failed.
  DWORD Open(LONG offset = 0, const wchar_t* agent = nullptr, const wchar_t* verb = L"GET",
             const wchar_t* headers = nullptr, const void* data = nullptr, DWORD data_length = 0,
             const wchar_t* referrer = nullptr);

  // Reads at most `size` bytes into `buffer`. `offset` -1 or equal to Position(): the next bytes;
  // any other offset sends the request again asking for the answer from that byte, which the
  // server must confirm with 206. `*count` 0 means the answer is complete. False on failure (the
  // reason is in GetLastError()).
  // With a `deadline` (a GetTickCount64 value), the read waits for answer bytes no longer than
  // what is left until then (the receive time-out is set from it) and returns those that have come,
  // however few, rather than waiting for `size` of them; past the deadline it fails with
  // ERROR_INTERNET_TIMEOUT. So a server that sends a byte now and then cannot stretch a read.
  static constexpr ULONGLONG kNoDeadline = ~0ull;
  bool Read(void* buffer, LONG offset, DWORD size, DWORD* count, ULONGLONG deadline = kNoDeadline);

  // The answer's numeric status; -1 without a request or when the query fails.
  LONG StatusCode() const;
  // Content-Type and Content-Length (each filled when its query succeeds). 0; the last error of
  // a failed query; -1 without a request.
  virtual LONG ContentInformation(std::wstring* content_type, LONG* content_length) const;

  // Byte offset of the next byte that Read returns.
  LONG Position() const noexcept { return position_; }
  DWORD RequestFlags() const noexcept;

  // The text of the last failed WinINet call (GetLastError()): the server's response text for
  // ERROR_INTERNET_EXTENDED_ERROR, else WININET.DLL's message for the code ("" when it has none).
  // Returns the code. Call it before anything else can change the last error.
  static DWORD ErrorText(std::wstring* text);

  // Query-text encoding: UTF-8 bytes, a blank as "+", letters, digits and ! ' ( ) * - . _ kept,
  // every other byte as "%XX" in upper-case hexadecimal.
  static std::string UrlEncode(std::wstring_view text);

 private:
  bool SendRanged(LONG offset, const wchar_t* headers, const void* data, DWORD data_length);
  bool AwaitAnswerBytes(ULONGLONG deadline, DWORD* available);
  void ApplyTimeouts(HINTERNET handle) const;

  std::wstring host_;
  INTERNET_PORT port_;
  std::wstring path_;
  std::wstring user_name_;
  std::wstring password_;
  bool use_cookies_;
  HttpTimeouts timeouts_ = kDefaultTimeouts;
  UniqueInternetHandle internet_;
  UniqueInternetHandle connection_;
  UniqueInternetHandle request_;
  LONG position_ = 0;
};

}  // namespace zel::search
