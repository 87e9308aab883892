// Plain-text tables whose columns line up whatever the cell texts.
#pragma once

#include <string>
#include <vector>

namespace morvane::tool {

// Columns printed on a terminal: the number of code points of a UTF-8 text
// (continuation bytes take no column). Control characters count as one, for
// table_cell() replaces them.
std::size_t display_width(const std::string& text);

// A cell text safe for one table line: control characters (a tab or newline
// in a udev text) become '?', an empty text becomes "-".
std::string table_cell(const std::string& text);

// The rows (the first is the header) as lines: each column as wide as its
// widest cell, columns separated by two blanks, no trailing blanks. Rows
// shorter than the header are padded with empty cells.
std::string format_table(const std::vector<std::vector<std::string>>& rows);

}  // namespace morvane::tool
