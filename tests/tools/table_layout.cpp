// The tool's table layout: every column starts at the same terminal column
// in every row, whatever the cell texts (long, empty, multi-byte UTF-8).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "table.hpp"

namespace morvane::tool {
namespace {

std::size_t columns_before(const std::string& line, std::size_t byte) { return display_width(line.substr(0, byte)); }

TEST(ToolTable, ColumnsLineUpWhateverTheTexts) {
  const std::vector<std::string> pieces = {"a", "Stereo", "\xc3\xa9", "\xe2\x80\x94", "0c45:0643", "SN-1", "x"};
  std::mt19937 random(7);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t columns = 1 + random() % 6;
    std::vector<std::vector<std::string>> rows(1 + random() % 5, std::vector<std::string>(columns));
    for (auto& row : rows)
      for (auto& cell : row) {
        const std::size_t n = 1 + random() % 12;  // cells hold no blanks, so they can be found again
        for (std::size_t i = 0; i < n; ++i) cell += pieces[random() % pieces.size()];
      }
    const std::string text = format_table(rows);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(text.substr(start, end - start));
    ASSERT_EQ(lines.size(), rows.size());
    std::vector<std::size_t> first_start;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      EXPECT_NE(lines[r].back(), ' ') << "trailing blank";
      std::size_t pos = 0;
      for (std::size_t c = 0; c < columns; ++c) {
        pos = lines[r].find(rows[r][c], pos);
        ASSERT_NE(pos, std::string::npos) << trial;
        const std::size_t at = columns_before(lines[r], pos);
        if (r == 0) {
          first_start.push_back(at);
        } else {
          EXPECT_EQ(at, first_start[c]) << "trial " << trial << " row " << r << " column " << c;
        }
        if (c > 0) {
          EXPECT_EQ(lines[r].substr(pos - 2, 2), "  ") << "columns are two blanks apart at least";
        }
        pos += rows[r][c].size();
      }
    }
  }
}

TEST(ToolTable, CellsStayOnOneLine) {
  const std::pair<std::string, std::string> table[] = {{"", "-"},
                                                       {"Stereo Cam", "Stereo Cam"},
                                                       {"two\nlines", "two?lines"},
                                                       {"tab\there\r", "tab?here?"},
                                                       {std::string("nul\0x", 5), "nul?x"},
                                                       {"del\x7f", "del?"},
                                                       {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"}};
  for (const auto& [in, out] : table) EXPECT_EQ(table_cell(in), out);
  EXPECT_EQ(display_width("\xc3\xa9t\xc3\xa9"), 3u);
  EXPECT_EQ(format_table({{"A", "B"}, {"long text"}}), "A          B\nlong text\n");
  EXPECT_EQ(format_table({}), "");
}

}  // namespace
}  // namespace morvane::tool
