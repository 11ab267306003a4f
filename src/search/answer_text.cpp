#include "search/answer_text.h"

#include <cctype>
#include <cstdlib>

#include "common/text.h"

namespace zel::search {
namespace {

// How far into the answer an XML declaration may end.
constexpr size_t kDeclarationBytes = 256;
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// The number after `prefix` in `label` when `label` is exactly prefix + digits; -1 otherwise.
int NumberAfter(const std::string& label, std::string_view prefix) {
  if (label.size() <= prefix.size() || label.compare(0, prefix.size(), prefix) != 0 || label.size() > prefix.size() + 2) {
    return -1;
  }
  int number = 0;
  for (size_t i = prefix.size(); i < label.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(label[i]))) return -1;
    number = number * 10 + (label[i] - '0');
  }
  return number;
}

UINT KnownCodePage(const std::string& label) {
  static const std::pair<const char*, UINT> kLabels[] = {
      {"utf-8", CP_UTF8},      {"utf8", CP_UTF8},         {"unicode-1-1-utf-8", CP_UTF8},
      {"us-ascii", 1252},      {"ascii", 1252},           {"latin1", 1252},
      {"l1", 1252},            {"x-cp1252", 1252},        {"shift_jis", 932},
      {"shift-jis", 932},      {"sjis", 932},             {"windows-31j", 932},
      {"x-sjis", 932},         {"euc-jp", 20932},         {"iso-2022-jp", 50220},
      {"gb2312", 936},         {"gbk", 936},              {"x-gbk", 936},
      {"gb18030", 54936},      {"big5", 950},             {"euc-kr", 949},
      {"ks_c_5601-1987", 949}, {"koi8-r", 20866},         {"koi8-u", 21866},
      {"ibm866", 866},         {"cp866", 866},
  };
  for (const auto& [name, code_page] : kLabels) {
    if (label == name) return code_page;
  }
  for (const char* prefix : {"windows-", "cp"}) {
    const int number = NumberAfter(label, std::string(prefix) + "125");
    if (number >= 0 && number <= 8) return 1250 + number;
  }
  for (const char* prefix : {"iso-8859-", "iso8859-", "iso_8859-"}) {
    const int number = NumberAfter(label, prefix);
    if (number == 1) return 1252;
    if (number >= 2 && number <= 16) return 28590 + number;
  }
  return 0;
}

// The text between the quotes after `name=` in `text` (quotes optional), or "".
std::string QuotedValueAfter(std::string_view text, size_t at) {
  text.remove_prefix(at);
  text = Trim(text);
  if (text.empty() || text.front() != '=') return {};
  text = Trim(text.substr(1));
  if (!text.empty() && (text.front() == '"' || text.front() == '\'')) {
    const size_t end = text.find(text.front(), 1);
    return end == std::string_view::npos ? std::string() : std::string(text.substr(1, end - 1));
  }
  const size_t end = text.find_first_of(" \t;?");
  return std::string(text.substr(0, end));
}

}  // namespace

UINT CodePageOfCharset(std::string_view label) {
  const UINT code_page = KnownCodePage(Lower(Trim(label)));
  return code_page != 0 && (code_page == CP_UTF8 || ::IsValidCodePage(code_page)) ? code_page : 0;
}

std::string CharsetOfContentType(std::wstring_view content_type) {
  // Content-Type is ASCII; anything else in it cannot be a charset label.
  const std::string value = Lower(WideToUtf8(content_type));
  for (size_t start = value.find(';'); start != std::string::npos; start = value.find(';', start + 1)) {
    const std::string_view parameter = Trim(std::string_view(value).substr(start + 1));
    if (parameter.compare(0, 7, "charset") == 0) return std::string(Trim(QuotedValueAfter(parameter, 7)));
  }
  return {};
}

std::string CharsetOfXmlDeclaration(std::string_view body) {
  if (body.compare(0, kUtf8Mark.size(), kUtf8Mark) == 0) body.remove_prefix(kUtf8Mark.size());
  if (body.compare(0, 5, "<?xml") != 0) return {};
  const size_t end = body.substr(0, kDeclarationBytes).find("?>");
  if (end == std::string_view::npos) return {};
  const std::string_view declaration = body.substr(0, end);
  const size_t at = declaration.find("encoding");
  return at == std::string_view::npos ? std::string() : QuotedValueAfter(declaration, at + 8);
}

std::wstring DecodeAnswer(std::string_view body, std::wstring_view content_type, bool cut_short) {
  if (body.compare(0, kUtf8Mark.size(), kUtf8Mark) == 0) body.remove_prefix(kUtf8Mark.size());
  std::string charset = CharsetOfContentType(content_type);
  if (charset.empty()) charset = CharsetOfXmlDeclaration(body);
  const UINT code_page = CodePageOfCharset(charset);
  if (code_page != 0 && code_page != CP_UTF8) return CodePageToWide(code_page, body);
  const std::string_view whole = cut_short ? body.substr(0, WithoutCutUtf8End(body)) : body;
  return IsUtf8(whole) ? Utf8ToWide(whole) : AnsiToWide(body);
}

}  // namespace zel::search
