#include "FaultSupport.h"

#include <cstdio>
#include <cstdlib>

#include "support/OdbcTestEnv.h"

void PrintTo(TestDriver driver, std::ostream* os) {
    *os << TestDriverName(driver);
}

namespace {

std::string Digits(long value, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*ld", width, value);
    return text;
}

std::string WhereItems(const std::vector<std::pair<int, std::string>>& values) {
    std::string items;
    for (const auto& [field, value] : values)
        items += (field == 0 ? "WK" : "WF") + Digits(field, 3) + Digits(long(value.size()), 8) + value;
    return items;
}

} // namespace

std::string SelectPayload(int startRow, int endRow, const std::vector<int>& selectFields,
                          const std::vector<std::pair<int, std::string>>& where) {
    std::string payload = Digits(startRow, 8) + Digits(endRow, 8);
    for (int field : selectFields)
        payload += "SF" + Digits(field, 3);
    return payload + WhereItems(where);
}

std::string PostPayload(const std::vector<std::pair<int, std::string>>& values) {
    return WhereItems(values);
}

std::optional<std::map<int, std::vector<std::string>>> ParseDataRows(const std::string& payload) {
    std::map<int, std::vector<std::string>> rows;
    std::vector<std::string>* row = nullptr;
    size_t at = 0;
    auto number = [&](size_t width) -> std::optional<long> {
        if (at + width > payload.size())
            return std::nullopt;
        const std::string text = payload.substr(at, width);
        at += width;
        char* end = nullptr;
        const long value = std::strtol(text.c_str(), &end, 10);
        return *end == '\0' ? std::optional<long>(value) : std::nullopt;
    };
    while (at < payload.size()) {
        const std::string tag = payload.substr(at, 2);
        at += 2;
        if (tag == "RD") {
            const auto rowNumber = number(8);
            if (!rowNumber)
                return std::nullopt;
            row = &rows[int(*rowNumber)];
        } else if ((tag == "RK" || tag == "RF") && row) {
            const auto field = number(3);
            const auto length = number(8);
            if (!field || !length || at + size_t(*length) > payload.size())
                return std::nullopt;
            row->push_back(payload.substr(at, size_t(*length)));
            at += size_t(*length);
        } else {
            return std::nullopt;
        }
    }
    return rows;
}
