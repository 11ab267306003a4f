#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace zel {

// Whether a registry text must be stored with its terminating NUL to count.
enum class RegistryTerminator { kOptional, kRequired };

// The text of a REG_SZ or REG_EXPAND_SZ registry value (not expanded), read the one way the module
// reads registry text: the text ends at the first NUL or at the end of the stored data. nullopt
// when the key or value is missing, of another type, or larger than `max_bytes` (a value that
// fills `max_bytes` without a terminator counts as larger: it may have been cut), and, where the
// terminator is required, when the stored data does not end in a NUL.
std::optional<std::wstring> ReadRegistryString(HKEY root, const wchar_t* key, const wchar_t* value,
                                               DWORD max_bytes,
                                               RegistryTerminator terminator = RegistryTerminator::kOptional);

// A REG_DWORD value; nullopt when missing, of another type or shorter than four bytes.
std::optional<DWORD> ReadRegistryDword(HKEY root, const wchar_t* key, const wchar_t* value);

}  // namespace zel
