// The quoted form of a text used by representations and by the messages of
// the table loaders.
#pragma once

#include <string>
#include <string_view>

namespace tarvane {

// Double quotes around the text; backslash escapes for \" \\ \t \r \n \0 and
// \u{hex} for every other character Unicode does not class as printable.
// Invalid UTF-8 sequences are shown as \u{fffd}.
std::string quoted(std::string_view utf8);

// Whether a code point counts as printable (not a control, format,
// separator other than the space, surrogate, private-use or noncharacter).
bool is_printable(char32_t c);

// Replace invalid UTF-8 with U+FFFD (used for file names shown in messages).
std::string lossy_utf8(std::string_view bytes);

// True when the bytes are valid UTF-8; on failure, index of the first bad byte.
bool valid_utf8(std::string_view bytes, size_t* bad_index = nullptr);

}  // namespace tarvane
