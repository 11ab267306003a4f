#include "search/http_client.h"

#include <algorithm>
#include <cwchar>
#include <utility>

#include "common/text.h"

namespace zel::search {
namespace {

constexpr DWORD kResponseInfoChars = 1024;
constexpr size_t kMessageChars = 4096;
constexpr LONG kPartialContent = 206;

std::wstring RangeLine(LONG offset) {
  wchar_t line[64];
  _snwprintf(line, 63, L"Range: bytes=%d-\r\n", static_cast<int>(offset));
  line[63] = L'\0';
  return line;
}


}  // namespace

CMyHttpRequest::CMyHttpRequest(std::wstring host, INTERNET_PORT port, std::wstring path, std::wstring user_name,
                               std::wstring password, bool use_cookies)
    : host_(std::move(host)),
      port_(port),
      path_(std::move(path)),
      user_name_(std::move(user_name)),
      password_(std::move(password)),
      use_cookies_(use_cookies) {}

CMyHttpRequest::~CMyHttpRequest() {
  request_.Reset();
  connection_.Reset();
  internet_.Reset();
}

DWORD CMyHttpRequest::RequestFlags() const noexcept {
  const DWORD flags = port_ == kSecurePort ? kSecureRequestFlags : kRequestFlags;
  return use_cookies_ ? flags : flags | INTERNET_FLAG_NO_COOKIES;
}

void CMyHttpRequest::ApplyTimeouts(HINTERNET handle) const {
  DWORD connect = timeouts_.connect_ms;
  DWORD send = timeouts_.send_ms;
  DWORD receive = timeouts_.receive_ms;
  ::InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof(connect));
  ::InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &send, sizeof(send));
  ::InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof(receive));
  ::InternetSetOptionW(handle, INTERNET_OPTION_DATA_SEND_TIMEOUT, &send, sizeof(send));
  ::InternetSetOptionW(handle, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, &receive, sizeof(receive));
}

DWORD CMyHttpRequest::Open(LONG offset, const wchar_t* agent, const wchar_t* verb, const wchar_t* headers,
                           const void* data, DWORD data_length, const wchar_t* referrer) {
  request_.Reset();
  connection_.Reset();
  internet_.Reset(::InternetOpenW(agent != nullptr ? agent : kDefaultAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr,
                                  nullptr, 0));
  if (!internet_) return 1;
  ApplyTimeouts(internet_.Get());

  connection_.Reset(::InternetConnectW(internet_.Get(), host_.c_str(), port_, user_name_.c_str(), password_.c_str(),
                                       INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection_) {
    internet_.Reset();
    return 1;
  }

  const wchar_t* accept_types[] = {L"*/*", nullptr};
  request_.Reset(::HttpOpenRequestW(connection_.Get(), verb, path_.c_str(), L"HTTP/1.1", referrer, accept_types,
                                    RequestFlags(), 0));
  if (!request_) {
    connection_.Reset();
    internet_.Reset();
    return 1;
  }
  ApplyTimeouts(request_.Get());

  if (port_ == kSecurePort) {
    DWORD security = 0;
    DWORD size = sizeof(security);
    ::InternetQueryOptionW(request_.Get(), INTERNET_OPTION_SECURITY_FLAGS, &security, &size);
    security |= kRelaxedSecurityFlags;
    ::InternetSetOptionW(request_.Get(), INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof(security));
  }

  if (offset > 0) {
    if (!SendRanged(offset, headers, data, data_length)) return ::GetLastError();
  } else {
    const DWORD header_length = headers != nullptr ? static_cast<DWORD>(wcslen(headers)) : 0;
    if (!::HttpSendRequestW(request_.Get(), headers, header_length, const_cast<void*>(data), data_length)) {
      return ::GetLastError();
    }
    position_ = 0;
  }
  return 0;
}

bool CMyHttpRequest::SendRanged(LONG offset, const wchar_t* headers, const void* data, DWORD data_length) {
  const std::wstring all = (headers != nullptr ? std::wstring(headers) : std::wstring()) + RangeLine(offset);
  if (!::HttpSendRequestW(request_.Get(), all.c_str(), static_cast<DWORD>(all.size()), const_cast<void*>(data),
                          data_length)) {
    return false;
  }
  position_ = offset;
  return true;
}

// WinINet's receive time-out bounds each wait for bytes, not a read: a read of n bytes waits until
// n have come. Waiting for what is there, with the time-out cut to what is left, bounds both.
bool CMyHttpRequest::AwaitAnswerBytes(ULONGLONG deadline, DWORD* available) {
  const ULONGLONG now = ::GetTickCount64();
  if (now >= deadline) {
    ::SetLastError(ERROR_INTERNET_TIMEOUT);
    return false;
  }
  DWORD receive = static_cast<DWORD>(std::min<ULONGLONG>(timeouts_.receive_ms, deadline - now));
  ::InternetSetOptionW(request_.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof(receive));
  return ::InternetQueryDataAvailable(request_.Get(), available, 0, 0) != FALSE;
}

bool CMyHttpRequest::Read(void* buffer, LONG offset, DWORD size, DWORD* count, ULONGLONG deadline) {
  *count = 0;
  if (!request_) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (offset != -1 && offset != position_) {
    if (!SendRanged(offset, nullptr, nullptr, 0)) return false;
    // A server that ignores the range would hand back the answer from its first byte.
    if (StatusCode() != kPartialContent) {
      ::SetLastError(ERROR_INTERNET_INVALID_OPERATION);
      return false;
    }
  }
  if (deadline != kNoDeadline) {
    DWORD available = 0;
    if (!AwaitAnswerBytes(deadline, &available)) return false;
    size = std::min(size, available);  // 0 at the end of the answer
  }
  DWORD got = 0;
  if (size > 0 && !::InternetReadFile(request_.Get(), buffer, size, &got)) return false;
  *count = got;
  position_ += static_cast<LONG>(got);
  return true;
}

LONG CMyHttpRequest::StatusCode() const {
  if (!request_) return -1;
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!::HttpQueryInfoW(request_.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
    return -1;
  }
  return static_cast<LONG>(status);
}

LONG CMyHttpRequest::ContentInformation(std::wstring* content_type, LONG* content_length) const {
  if (!request_) return -1;
  LONG result = 0;
  wchar_t type[256] = {};
  DWORD size = sizeof(type) - sizeof(wchar_t);
  if (::HttpQueryInfoW(request_.Get(), HTTP_QUERY_CONTENT_TYPE, type, &size, nullptr)) {
    *content_type = std::wstring(type, size / sizeof(wchar_t));
  } else {
    result = static_cast<LONG>(::GetLastError());
  }
  DWORD length = 0;
  size = sizeof(length);
  if (::HttpQueryInfoW(request_.Get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size, nullptr)) {
    *content_length = static_cast<LONG>(length);
  } else {
    result = static_cast<LONG>(::GetLastError());
  }
  return result;
}

DWORD CMyHttpRequest::ErrorText(std::wstring* text) {
  DWORD code = ::GetLastError();
  text->clear();
  if (code == ERROR_INTERNET_EXTENDED_ERROR) {
    wchar_t response[kResponseInfoChars] = {};
    DWORD length = kResponseInfoChars;
    if (::InternetGetLastResponseInfoW(&code, response, &length)) {
      *text = std::wstring(response, wcsnlen(response, kResponseInfoChars));
    }
    return code;
  }
  UniqueModule wininet(::LoadLibraryW(L"WININET.DLL"));
  UniqueLocalMemory message;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM, wininet.Get(), code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), reinterpret_cast<wchar_t*>(message.Receive()), 0, nullptr);
  if (length > 0 && message) {
    *text = std::wstring(static_cast<const wchar_t*>(message.Get()), length < kMessageChars ? length : kMessageChars);
  }
  return code;
}

std::string CMyHttpRequest::UrlEncode(std::wstring_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string utf8 = WideToUtf8(text);
  std::string out;
  out.reserve(utf8.size() * 3);
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == ' ') {
      out += '+';
    } else if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
               byte == '!' || byte == '\'' || byte == '(' || byte == ')' || byte == '*' || byte == '-' ||
               byte == '.' || byte == '_') {
      out += static_cast<char>(byte);
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

}  // namespace zel::search
