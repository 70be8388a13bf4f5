// Text as the programs show it. Paths come from command lines and scripts, which may be
// hostile: an escape sequence in one could redraw the terminal, so that a refusal reads
// as success.
#pragma once

#include <string>

// text with everything that could act on a terminal shown as an escape: control
// characters (C0, DEL and C1, below U+0100) and bytes that are not valid UTF-8 as \xNN,
// the invisible marks that break lines or reorder text (U+200E, U+200F, U+2028,
// U+2029, U+202A to U+202E, U+2066 to U+2069) as \uNNNN. Everything else stands as it is.
std::string escape_text(const std::string& text);

// text in the ANSI code page (Windows: file names in scripts and patchscript's
// arguments) as native text, UTF-8 there; unchanged elsewhere. False when the bytes are
// not valid text in the code page.
bool ansi_to_native(const std::string& text, std::string& native);

// What a message shows of ANSI text: its native form where valid, else its bytes, which
// the escaping then shows as such.
std::string ansi_shown(const std::string& text);

// Windows: native text (UTF-8) as UTF-16, and UTF-16 as native text; false when the text
// is not valid (an unpaired surrogate), since it would name some other file.
bool native_to_wide(const std::string& native, std::wstring& wide);
bool wide_to_native(const wchar_t* wide, std::string& native);
