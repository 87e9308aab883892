#include "table.hpp"

#include <algorithm>

namespace morvane::tool {

std::size_t display_width(const std::string& text) {
  std::size_t width = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++width;
  return width;
}

std::string table_cell(const std::string& text) {
  if (text.empty()) return "-";
  std::string out = text;
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return out;
}

std::string format_table(const std::vector<std::vector<std::string>>& rows) {
  if (rows.empty()) return "";
  const std::size_t columns = rows.front().size();
  std::vector<std::size_t> widths(columns, 0);
  for (const auto& row : rows)
    for (std::size_t c = 0; c < columns && c < row.size(); ++c) widths[c] = std::max(widths[c], display_width(row[c]));
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < columns; ++c) {
      const std::string cell = c < row.size() ? row[c] : std::string();
      line += cell;
      if (c + 1 < columns) line.append(widths[c] - display_width(cell) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line;
    out += '\n';
  }
  return out;
}

}  // namespace morvane::tool
