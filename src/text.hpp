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

// Text from a file, shown in an error, is cut to this many bytes: a 20 MB
// alias file or table field must not become a 20 MB message.
inline constexpr size_t kShownTextBytes = 200;

// The first kShownTextBytes bytes of text (cut at a character boundary),
// then "... (N bytes)" when anything was cut.
std::string text_prefix(std::string_view text);

// quoted() of the same prefix, the mark after the closing quote.
std::string quoted_prefix(std::string_view utf8);

// Whether a code point counts as printable (not a control, format,
// separator other than the space, surrogate, private-use or noncharacter).
bool is_printable(char32_t c);

// Replace invalid UTF-8 with U+FFFD (used for file names shown in messages).
std::string lossy_utf8(std::string_view bytes);

// True when the bytes are valid UTF-8; on failure, index of the first bad byte.
bool valid_utf8(std::string_view bytes, size_t* bad_index = nullptr);

}  // namespace tarvane
