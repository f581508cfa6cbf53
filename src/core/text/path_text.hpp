#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zel {

// Final component of a POSIX path: trailing '/' and "." components do not
// count; a path that ends in "..", is a root, is empty or is only "."
// components has none.
std::optional<std::string_view> path_file_name(std::string_view path);

// Text after the last '.' of the file name. None without a file name, without
// a '.', or when the only splitting '.' is the name's first character
// (".csv"); empty for a name ending in '.'.
std::optional<std::string_view> path_extension(std::string_view path);

// `text` (UTF-8) in double quotes with \\, \", \t, \r, \n and \0 escapes;
// other non-printable and grapheme-extending characters become \u{hex}.
// Bytes that are not UTF-8 become \xHH.
std::string quote_text(std::string_view text);

}  // namespace zel
