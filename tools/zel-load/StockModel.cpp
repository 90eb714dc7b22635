#include "StockModel.h"

#include <cstdio>

namespace {

constexpr int kLocationLetters = 20;
constexpr int kLocationNumbers = 1000;
constexpr int kQuantityFactor = 37;
constexpr int kQuantityInverse = 473; // 37 * 473 = 1 (mod 500)

const char* const kKinds[] = {"Hex bolt M", "Washer M", "Wood screw ", "Wall plug ",
                              "Cable tie ", "Hinge ",   "Nut M",       "Bracket "};
const char* const kMaterials[] = {"zinc", "steel", "brass"};
const char* const kPacks[] = {"10", "25", "50", "100"};

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
std::string CivilDate(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", static_cast<int>(year), static_cast<int>(month),
                  static_cast<int>(day));
    return text;
}

constexpr int64_t kFirstCountedDay = 20454; // 2026-01-01

// Rows i in 1..rows with i % 500 == residue.
int64_t ResidueCount(int64_t rows, int64_t residue) {
    if (residue == 0)
        return rows / STOCK_QUANTITY_LIMIT;
    return rows < residue ? 0 : (rows - residue) / STOCK_QUANTITY_LIMIT + 1;
}

// q in 0..last with q % period == wanted.
int64_t CountUpTo(int64_t last, int64_t wanted, int64_t period) {
    return last < wanted ? 0 : (last - wanted) / period + 1;
}

} // namespace

std::array<const std::string*, 6> TStockRow::Fields() const {
    return {&ItemNo, &Description, &Quantity, &Price, &Location, &LastCounted};
}

TStockModel::TStockModel(int64_t rows) : m_rows(rows), m_quantityStart(STOCK_QUANTITY_LIMIT + 1, 0) {
    for (int q = 0; q < STOCK_QUANTITY_LIMIT; ++q)
        m_quantityStart[static_cast<size_t>(q) + 1] =
            m_quantityStart[static_cast<size_t>(q)] +
            ResidueCount(rows, (static_cast<int64_t>(q) * kQuantityInverse) % STOCK_QUANTITY_LIMIT);
}

std::string TStockModel::ItemNo(int64_t i) {
    char text[16];
    std::snprintf(text, sizeof text, "A%07lld", static_cast<long long>(i));
    return text;
}

int TStockModel::Quantity(int64_t i) {
    return static_cast<int>((i * kQuantityFactor) % STOCK_QUANTITY_LIMIT);
}

std::string TStockModel::Location(int64_t i) {
    char text[16];
    std::snprintf(text, sizeof text, "%c-%03d", static_cast<char>('A' + i % kLocationLetters),
                  static_cast<int>((i / kLocationLetters) % kLocationNumbers));
    return text;
}

TStockRow TStockModel::Row(int64_t i) {
    TStockRow row;
    row.ItemNo = ItemNo(i);
    row.Description = std::string(kKinds[i % 8]) + std::to_string(4 + i % 9) + " " + kMaterials[i % 3] +
                      ", pack of " + kPacks[(i / 8) % 4];
    row.Quantity = std::to_string(Quantity(i));
    const int64_t cents = 5 + (i * 13) % 2000;
    char price[16];
    std::snprintf(price, sizeof price, "%d.%02d", static_cast<int>(cents / 100),
                  static_cast<int>(cents % 100));
    row.Price = price;
    row.Location = Location(i);
    row.LastCounted = CivilDate(kFirstCountedDay + i % 330);
    return row;
}

int64_t TStockModel::CountAtLocation(const std::string& location) const {
    char letter = 0;
    int number = -1;
    char rest = 0;
    if (location.size() != 5 || std::sscanf(location.c_str(), "%c-%3d%c", &letter, &number, &rest) != 2 ||
        letter < 'A' || letter >= 'A' + kLocationLetters || number < 0 || number >= kLocationNumbers)
        return 0;
    // i = 20 q + letter offset, with q % 1000 == number and 1 <= i <= rows.
    const int64_t offset = letter - 'A';
    if (m_rows < offset)
        return 0;
    const int64_t lastQ = (m_rows - offset) / kLocationLetters;
    int64_t count = CountUpTo(lastQ, number, kLocationNumbers);
    if (offset == 0 && number == 0)
        --count; // q = 0 would be row 0
    return count;
}

int64_t TStockModel::RowAtQuantityPosition(int64_t position) const {
    if (position < 0 || position >= m_rows)
        return 0;
    int q = 0;
    while (m_quantityStart[static_cast<size_t>(q) + 1] <= position)
        ++q;
    const int64_t k = position - m_quantityStart[static_cast<size_t>(q)];
    const int64_t residue = (static_cast<int64_t>(q) * kQuantityInverse) % STOCK_QUANTITY_LIMIT;
    return residue == 0 ? STOCK_QUANTITY_LIMIT * (k + 1) : residue + STOCK_QUANTITY_LIMIT * k;
}

int64_t TStockModel::RowAtKeyPosition(int64_t position) const {
    return position < 0 || position >= m_rows ? 0 : position + 1;
}
