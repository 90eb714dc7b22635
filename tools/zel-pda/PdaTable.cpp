#include "zel-pda/PdaTable.h"

#include <algorithm>

namespace Pda {

namespace {

// Characters on screen: UTF-8 continuation bytes take no column of their own.
size_t DisplayWidth(const std::string& text) {
    return static_cast<size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string Printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '.';
    return text;
}

} // namespace

std::string FormatTable(const std::vector<TDataRow>& rows) {
    if (rows.empty())
        return {};
    std::vector<std::vector<std::string>> cells(1);
    cells[0].push_back("row");
    for (const TDataColumn& column : rows.front().Columns)
        cells[0].push_back(std::to_string(column.FieldNumber) + (column.IsKey ? "*" : ""));
    for (const TDataRow& row : rows) {
        std::vector<std::string>& line = cells.emplace_back();
        line.push_back(std::to_string(row.RowNumber));
        for (const TDataColumn& column : row.Columns)
            line.push_back(Printable(column.Value));
    }

    std::vector<size_t> widths;
    for (const auto& line : cells)
        for (size_t i = 0; i < line.size(); ++i) {
            if (widths.size() <= i)
                widths.push_back(0);
            widths[i] = std::max(widths[i], DisplayWidth(line[i]));
        }

    std::string table;
    for (const auto& line : cells) {
        std::string text;
        for (size_t i = 0; i < line.size(); ++i) {
            if (i > 0)
                text += "  ";
            text += line[i];
            if (i + 1 < line.size())
                text.append(widths[i] - DisplayWidth(line[i]), ' ');
        }
        // An empty last value would leave the padding of the column before it.
        text.erase(text.find_last_not_of(' ') + 1);
        table += text + "\n";
    }
    return table;
}

} // namespace Pda
