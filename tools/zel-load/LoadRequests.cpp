#include "LoadRequests.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/WirelessMessage.h"

namespace {

constexpr int kRowHeaderBytes = 10;   // "RD" + row number
constexpr int kFieldHeaderBytes = 13; // marker + field number + value length

void AppendWindow(TZelWirelessMessageSend& msg, int64_t start, int64_t end) {
    msg.AppendInt(static_cast<int>(start), 8);
    msg.AppendInt(static_cast<int>(end), 8);
}

void AppendField(TZelWirelessMessageSend& msg, const char* type, int field) {
    msg.AppendText(type, 2);
    msg.AppendInt(field, 3);
}

void AppendValue(TZelWirelessMessageSend& msg, const char* type, int field, const std::string& value) {
    AppendField(msg, type, field);
    msg.AppendInt(static_cast<int>(value.size()), 8);
    msg.AppendText(value, static_cast<int>(value.size()));
}

void AppendSelectFields(TZelWirelessMessageSend& msg) {
    for (int field = 1; field <= STOCK_FIELD_COUNT; ++field)
        AppendField(msg, "SF", field);
}

bool Digits(const char* text, int width, int64_t& value) {
    value = 0;
    for (int i = 0; i < width; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

std::string Quote(std::string_view text) {
    std::string quoted(1, '[');
    quoted.append(text);
    quoted += ']';
    return quoted;
}

// Compares one reply row with the values it must hold, in device field order.
std::string CompareRow(const TReplyRow& row, const std::array<const std::string*, 6>& expected) {
    for (size_t i = 0; i < expected.size(); ++i) {
        if (row.FieldNumbers[i] != static_cast<int>(i))
            return "row " + std::to_string(row.Number) + ": field " + std::to_string(row.FieldNumbers[i]) +
                   " where " + std::to_string(i) + " was expected";
        if (row.Values[i] != *expected[i])
            return "row " + std::to_string(row.Number) + " field " + std::to_string(i) + ": " +
                   Quote(row.Values[i]) + " where " + Quote(*expected[i]) + " was expected";
    }
    return std::string();
}

std::array<const std::string*, 6> FieldsOf(const TOwnRow& row) {
    std::array<const std::string*, 6> fields{};
    for (size_t i = 0; i < fields.size(); ++i)
        fields[i] = &row.Values[i];
    return fields;
}

} // namespace

std::string ParseDataRows(const char* payload, int length, int fieldsPerRow, std::vector<TReplyRow>& rows) {
    rows.clear();
    int position = 0;
    while (position < length) {
        if (length - position < kRowHeaderBytes || std::memcmp(payload + position, "RD", 2) != 0)
            return "no row marker at byte " + std::to_string(position);
        int64_t number = 0;
        if (!Digits(payload + position + 2, 8, number))
            return "bad row number at byte " + std::to_string(position);
        position += kRowHeaderBytes;
        TReplyRow& row = rows.emplace_back();
        row.Number = static_cast<int32_t>(number);
        for (int f = 0; f < fieldsPerRow; ++f) {
            int64_t field = 0;
            int64_t size = 0;
            if (length - position < kFieldHeaderBytes ||
                (std::memcmp(payload + position, f == 0 ? "RK" : "RF", 2) != 0) ||
                !Digits(payload + position + 2, 3, field) || !Digits(payload + position + 5, 8, size) ||
                length - position - kFieldHeaderBytes < size)
                return "bad field " + std::to_string(f) + " in row " + std::to_string(number);
            position += kFieldHeaderBytes;
            row.FieldNumbers.push_back(static_cast<int>(field));
            row.Values.emplace_back(payload + position, static_cast<size_t>(size));
            position += static_cast<int>(size);
        }
    }
    return std::string();
}

int64_t ReplyRowBytes(const std::vector<const std::string*>& values) {
    int64_t bytes = kRowHeaderBytes;
    for (const std::string* value : values)
        bytes += kFieldHeaderBytes + static_cast<int64_t>(value->size());
    return bytes;
}

TLoadRequests::TLoadRequests(const TLoadOptions& options, const TStockModel& model, int handheldNumber,
                             uint64_t seed)
    : m_options(options), m_model(model), m_number(handheldNumber), m_random(seed),
      m_mix(options.Mix.begin(), options.Mix.end()) {
    char location[16];
    std::snprintf(location, sizeof location, "Z-%04d", handheldNumber);
    m_location = location;
    m_nextDepth = static_cast<size_t>(handheldNumber) % std::max<size_t>(options.Depths.size(), 1);
}

std::string TLoadRequests::OwnKey(int64_t serial) const {
    char key[32];
    std::snprintf(key, sizeof key, "P%04d-%06lld", m_number, static_cast<long long>(serial));
    return key;
}

int64_t TLoadRequests::RandomBaseRow() {
    return std::uniform_int_distribution<int64_t>(1, m_model.Rows())(m_random);
}

int64_t TLoadRequests::KeyRowOrRandom() {
    return m_options.KeyRow > 0 ? m_options.KeyRow : RandomBaseRow();
}

const std::string* TLoadRequests::PickOwnKey() {
    if (m_own.empty())
        return nullptr;
    auto it = m_own.begin();
    std::advance(it, std::uniform_int_distribution<size_t>(0, m_own.size() - 1)(m_random));
    return &it->first;
}

TRequestKind TLoadRequests::Next(TZelWirelessMessageSend& msg) {
    m_kind = static_cast<TRequestKind>(m_mix(m_random));
    msg.Clear();
    switch (m_kind) {
    case TRequestKind::Select:
        BuildSelect(msg);
        break;
    case TRequestKind::Window:
        BuildWindow(msg);
        break;
    case TRequestKind::Count:
        BuildCount(msg);
        break;
    case TRequestKind::Post:
        BuildPost(msg);
        break;
    case TRequestKind::Delete:
        BuildDelete(msg);
        break;
    case TRequestKind::Page:
        BuildPage(msg);
        break;
    case TRequestKind::Update:
        BuildUpdate(msg);
        break;
    case TRequestKind::Download:
        BuildDownload(msg);
        break;
    }
    return m_kind;
}

void TLoadRequests::BuildCleanup(TZelWirelessMessageSend& msg) {
    msg.Clear();
    msg.MessageType = "PDADELETE";
    AppendValue(msg, "WF", STOCK_LOCATION_FIELD, m_location);
    m_kind = TRequestKind::Delete;
    m_ownKey.clear();
    m_expectedCount = -1; // whatever earlier runs left
}

void TLoadRequests::BuildSelect(TZelWirelessMessageSend& msg) {
    msg.MessageType = "PDASELECT";
    AppendWindow(msg, 0, 0);
    AppendSelectFields(msg);
    const std::string* own = m_random() % 5 == 0 ? PickOwnKey() : nullptr;
    m_ownKey = own ? *own : std::string();
    m_baseRow = own ? 0 : KeyRowOrRandom();
    AppendValue(msg, "WK", 0, own ? *own : TStockModel::ItemNo(m_baseRow));
}

void TLoadRequests::BuildWindow(TZelWirelessMessageSend& msg) {
    msg.MessageType = "PDASELECT";
    m_depth = m_options.Depths.empty() ? 0 : m_options.Depths[m_nextDepth++ % m_options.Depths.size()];
    AppendWindow(msg, m_depth, m_depth + m_options.WindowRows - 1);
    AppendField(msg, "OF", STOCK_QUANTITY_FIELD);
    AppendSelectFields(msg);
}

void TLoadRequests::BuildCount(TZelWirelessMessageSend& msg) {
    msg.MessageType = "PDACOUNT";
    AppendWindow(msg, 0, 0);
    std::string location;
    if (m_random() % 2 == 0) {
        location = m_location;
        m_expectedCount = static_cast<int64_t>(m_own.size());
    } else {
        location = TStockModel::Location(RandomBaseRow());
        m_expectedCount = m_model.CountAtLocation(location);
    }
    AppendValue(msg, "WF", STOCK_LOCATION_FIELD, location);
}

void TLoadRequests::BuildPost(TZelWirelessMessageSend& msg) {
    msg.MessageType = "PDAPOST";
    const std::string* own = m_random() % 2 == 0 ? PickOwnKey() : nullptr;
    m_ownKey = own ? *own : OwnKey(m_nextSerial++);
    const uint64_t version = m_random() % 1000;
    m_posted.Values = {m_ownKey,
                       "Counted by handheld " + std::to_string(m_number) + " v" + std::to_string(version),
                       std::to_string(STOCK_QUANTITY_LIMIT + m_number),
                       std::to_string(version / 100) + "." + std::to_string(10 + version % 90),
                       m_location,
                       "2026-02-" + std::to_string(10 + version % 19)};
    AppendValue(msg, "WK", 0, m_posted.Values[0]);
    for (int field = 1; field <= STOCK_FIELD_COUNT; ++field)
        AppendValue(msg, "WF", field, m_posted.Values[static_cast<size_t>(field)]);
    m_expectedCount = 1;
}

void TLoadRequests::BuildDelete(TZelWirelessMessageSend& msg) {
    msg.MessageType = "PDADELETE";
    const std::string* own = PickOwnKey();
    // Without rows of its own it deletes a key that was never written.
    m_ownKey = own ? *own : OwnKey(0);
    m_expectedCount = own ? 1 : 0;
    AppendValue(msg, "WK", 0, m_ownKey);
}

void TLoadRequests::BuildPage(TZelWirelessMessageSend& msg) {
    msg.MessageType = "PDASELECT";
    AppendWindow(msg, 0, 0);
    AppendSelectFields(msg);
}

// The next part of the table: from the row after the last one received to as
// many as fit into one reply (an end row of 0 sets no end).
void TLoadRequests::BuildDownload(TZelWirelessMessageSend& msg) {
    msg.MessageType = "PDASELECT";
    AppendWindow(msg, m_downloaded, 0);
    AppendSelectFields(msg);
}

void TLoadRequests::BuildUpdate(TZelWirelessMessageSend& msg) {
    msg.MessageType = "PDAPOST";
    const TStockRow row = TStockModel::Row(KeyRowOrRandom());
    const auto fields = row.Fields();
    AppendValue(msg, "WK", 0, *fields[0]);
    for (int field = 1; field <= STOCK_FIELD_COUNT; ++field)
        AppendValue(msg, "WF", field, *fields[static_cast<size_t>(field)]);
    m_expectedCount = 1;
}

std::string TLoadRequests::CheckCount(int64_t count) {
    if (m_expectedCount >= 0 && count != m_expectedCount)
        return "count " + std::to_string(count) + " where " + std::to_string(m_expectedCount) +
               " was expected";
    if (m_kind == TRequestKind::Post)
        m_own[m_ownKey] = m_posted;
    else if (m_kind == TRequestKind::Delete && !m_ownKey.empty())
        m_own.erase(m_ownKey);
    return std::string();
}

std::string TLoadRequests::CheckRows(const std::vector<TReplyRow>& rows, int length) {
    if (m_kind == TRequestKind::Select) {
        if (rows.size() != 1)
            return std::to_string(rows.size()) + " rows where 1 was expected";
        if (rows[0].Number != 0)
            return "row number " + std::to_string(rows[0].Number) + " where 0 was expected";
        if (m_baseRow > 0)
            return CompareRow(rows[0], TStockModel::Row(m_baseRow).Fields());
        auto own = m_own.find(m_ownKey);
        return own == m_own.end() ? "a row of its own that is not known"
                                  : CompareRow(rows[0], FieldsOf(own->second));
    }
    if (m_kind == TRequestKind::Window) {
        const int64_t window = m_options.WindowRows;
        const int64_t base = std::clamp<int64_t>(m_model.Rows() - m_depth, 0, window);
        if (static_cast<int64_t>(rows.size()) < base || static_cast<int64_t>(rows.size()) > window)
            return std::to_string(rows.size()) + " rows where " + std::to_string(base) + " were expected";
        for (size_t j = 0; j < rows.size(); ++j) {
            const int64_t position = m_depth + static_cast<int64_t>(j);
            if (rows[j].Number != position)
                return "row number " + std::to_string(rows[j].Number) + " where " + std::to_string(position) +
                       " was expected";
            if (position < m_model.Rows()) {
                std::string wrong =
                    CompareRow(rows[j], TStockModel::Row(m_model.RowAtQuantityPosition(position)).Fields());
                if (!wrong.empty())
                    return wrong;
            }
        }
        return std::string();
    }
    if (m_kind == TRequestKind::Download)
        return CheckDownload(rows);
    // A page: rows from the first in key order, as many as fit into one reply.
    if (rows.empty())
        return "no rows";
    for (size_t j = 0; j < rows.size(); ++j) {
        if (rows[j].Number != static_cast<int32_t>(j))
            return "row number " + std::to_string(rows[j].Number) + " where " + std::to_string(j) +
                   " was expected";
        if (static_cast<int64_t>(j) < m_model.Rows()) {
            std::string wrong = CompareRow(rows[j], TStockModel::Row(m_model.RowAtKeyPosition(j)).Fields());
            if (!wrong.empty())
                return wrong;
        }
    }
    if (static_cast<int64_t>(rows.size()) < m_model.Rows()) {
        const TStockRow next = TStockModel::Row(m_model.RowAtKeyPosition(static_cast<int64_t>(rows.size())));
        const auto fields = next.Fields();
        if (length + ReplyRowBytes({fields.begin(), fields.end()}) <= ZEL_MAX_PAYLOAD)
            return "reply of " + std::to_string(length) + " bytes stops before a row that would fit";
    }
    return std::string();
}

// Every reply continues where the last one ended, in key order; the first
// reply without rows ends the download, and only after the table's last row.
std::string TLoadRequests::CheckDownload(const std::vector<TReplyRow>& rows) {
    if (rows.empty()) {
        if (m_downloaded < m_model.Rows())
            return "no rows from row " + std::to_string(m_downloaded) + " of " +
                   std::to_string(m_model.Rows());
        m_downloadFinished = true;
        return std::string();
    }
    for (size_t j = 0; j < rows.size(); ++j) {
        const int64_t position = m_downloaded + static_cast<int64_t>(j);
        if (rows[j].Number != position)
            return "row number " + std::to_string(rows[j].Number) + " where " + std::to_string(position) +
                   " was expected";
        if (position >= m_model.Rows())
            return "row " + std::to_string(position) + " beyond the table's " +
                   std::to_string(m_model.Rows());
        std::string wrong =
            CompareRow(rows[j], TStockModel::Row(m_model.RowAtKeyPosition(position)).Fields());
        if (!wrong.empty())
            return wrong;
    }
    m_downloaded += static_cast<int64_t>(rows.size());
    return std::string();
}

std::string TLoadRequests::Check(const std::string& type, const char* payload, int length) {
    if (type == "PCERR")
        return "PCERR " + std::string(payload + 1, strnlen(payload + 1, std::min(length - 1, 250)));
    const bool rows = m_kind == TRequestKind::Select || m_kind == TRequestKind::Window ||
                      m_kind == TRequestKind::Page || m_kind == TRequestKind::Download;
    const std::string wanted = rows ? "PCDATA" : "PCCOUNT";
    if (type != wanted)
        return type + " where " + wanted + " was expected";
    if (!rows) {
        int64_t count = 0;
        if (length != 8 || !Digits(payload, 8, count))
            return "count reply of " + std::to_string(length) + " bytes is not a count";
        return CheckCount(count);
    }
    std::vector<TReplyRow> parsed;
    std::string malformed = ParseDataRows(payload, length, STOCK_FIELD_COUNT + 1, parsed);
    if (!malformed.empty())
        return malformed;
    return CheckRows(parsed, length);
}
