#pragma once

// Reading the small line-based files of the desktop (machine-info, desktop entries), where
// blanks around lines, keys and values carry no meaning.

#include <string_view>

namespace kestrel {

// `text` without the spaces, tabs and carriage returns at either end.
std::string_view trimmed(std::string_view text);

// Takes the first line (up to a newline, or all that is left) off `text` and returns it
// trimmed. `text` is left empty after its last line.
std::string_view takeTrimmedLine(std::string_view& text);

}  // namespace kestrel
