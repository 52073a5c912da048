// Text conversion between UTF-8 (the engine's own form), UTF-16 (wide text at the GUI boundary)
// and the legacy multi-byte code pages that seeds and peers use (GBK by default, Big5), via iconv.
// Conversions are pure functions and safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessali::platform {

// Converts `in` from one iconv encoding to another; nullopt when the bytes are invalid.
std::optional<std::string> ConvertText(std::string_view in, const char* from, const char* to);

std::u16string Utf8ToUtf16(std::string_view utf8);   // invalid bytes become U+FFFD
std::string Utf16ToUtf8(std::u16string_view utf16);  // lone surrogates become U+FFFD

// The process's "ANSI code page": GBK unless changed (peers and seeds come from Chinese-locale machines).
std::string AnsiCodePage();
void SetAnsiCodePage(std::string codePage);

// Narrow text in the ANSI code page <-> UTF-8. Invalid input falls back to the bytes as given.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);

bool IsValidUtf8(std::string_view text);

}  // namespace tessali::platform
