#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The benchmark's stock table, row by row, computed from the row number
// (1..Rows): the data generator writes exactly these rows and the load
// generator checks every reply against them without reading the database.
//
// Columns in table order; device fields 1..5 of the benchmark session map to
// Description, Quantity, Price, Location and LastCounted, the key is ItemNo.
struct TStockRow {
    std::string ItemNo;
    std::string Description;
    std::string Quantity;
    std::string Price;
    std::string Location;
    std::string LastCounted;

    // Values in device field order: 0 the key, then fields 1..5.
    std::array<const std::string*, 6> Fields() const;
};

constexpr int STOCK_FIELD_COUNT = 5; // device fields 1..5
constexpr int STOCK_QUANTITY_FIELD = 2;
constexpr int STOCK_LOCATION_FIELD = 4;
// Base rows hold quantities below this; rows written by handhelds hold more,
// so they sort after every base row.
constexpr int STOCK_QUANTITY_LIMIT = 500;

class TStockModel {
public:
    explicit TStockModel(int64_t rows);

    int64_t Rows() const { return m_rows; }

    static std::string ItemNo(int64_t i);
    static int Quantity(int64_t i);
    static std::string Location(int64_t i);
    static TStockRow Row(int64_t i);

    // Base rows at the location text; 0 for a text no base row holds.
    int64_t CountAtLocation(const std::string& location) const;
    // Row number at 0-based position in the order Quantity, ItemNo; 0 past the last.
    int64_t RowAtQuantityPosition(int64_t position) const;
    // Row number at 0-based position in the order of ItemNo (the key).
    int64_t RowAtKeyPosition(int64_t position) const;

private:
    int64_t m_rows;
    // Rows with quantity below q, for q = 0..STOCK_QUANTITY_LIMIT.
    std::vector<int64_t> m_quantityStart;
};
