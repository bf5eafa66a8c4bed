// UTF-8 <-> UTF-16 for the Win32 layer: the programs keep every text as UTF-8 and hand
// it to the W functions, so that texts outside the system code page (Chinese names on
// an English Windows) survive.
#pragma once

#include <string>
#include <string_view>

// Invalid UTF-8 sequences come out as U+FFFD.
std::wstring Utf8ToWide(std::string_view text);
// Unpaired surrogates come out as U+FFFD.
std::string WideToUtf8(std::wstring_view text);
