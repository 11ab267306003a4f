#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace zel::search {

// The code page a charset label names ("UTF-8", "windows-1252", "ISO-8859-1", "Shift_JIS", ...,
// ignoring case); 0 for a label this module does not know or the platform cannot convert.
// "ISO-8859-1", "latin1" and "US-ASCII" read as windows-1252, as web clients read them: servers
// that name them often send windows-1252's curly quotes and dashes, and windows-1252 agrees with
// ISO-8859-1 on every printable character the latter has.
UINT CodePageOfCharset(std::string_view label);

// The charset that a Content-Type value names in its "charset" parameter; "" without one.
std::string CharsetOfContentType(std::wstring_view content_type);
// The encoding that an XML declaration at the start of `body` names; "" without one.
std::string CharsetOfXmlDeclaration(std::string_view body);

// The search engine's answer as text: read in the charset its Content-Type names, else in the
// one its XML declaration names; without either (or with UTF-8 named, or a label not known) as
// UTF-8, and in the ANSI code page only when its bytes are not well-formed UTF-8. In an answer
// `cut_short` (a broken connection, a size limit), a UTF-8 character cut at its end is dropped
// rather than taken for such bytes. A UTF-8 byte order mark is dropped.
std::wstring DecodeAnswer(std::string_view body, std::wstring_view content_type, bool cut_short = false);

}  // namespace zel::search
