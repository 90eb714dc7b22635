#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "LoadOptions.h"
#include "StockModel.h"

class TZelWirelessMessageSend;

// A row a handheld wrote itself, as it last wrote it.
struct TOwnRow {
    std::array<std::string, STOCK_FIELD_COUNT + 1> Values; // device field order, 0 the key
};

// One row of a "PCDATA" reply; the values point into the reply's payload.
struct TReplyRow {
    int32_t Number = 0;
    std::vector<int> FieldNumbers;
    std::vector<std::string_view> Values;
};

// The requests of one active handheld and the checks of their replies. The
// handheld keeps rows of its own (keys "P<number>-<serial>", location
// "Z-<number>", quantities above every base row's) so that posts, deletes and
// counts can be checked while other handhelds work on the same table.
class TLoadRequests {
public:
    TLoadRequests(const TLoadOptions& options, const TStockModel& model, int handheldNumber, uint64_t seed);

    // Chooses the next request by the mix and builds it into msg (cleared first).
    TRequestKind Next(TZelWirelessMessageSend& msg);
    // The request that removes the rows of earlier runs: a delete of the own location.
    void BuildCleanup(TZelWirelessMessageSend& msg);
    // Checks the reply to the last request; an empty text means right.
    std::string Check(const std::string& type, const char* payload, int length);
    // After the cleanup: no rows of its own are left.
    void ForgetOwnRows() { m_own.clear(); }
    TRequestKind Kind() const { return m_kind; }
    // Download: rows received so far, and whether the reply without rows came.
    int64_t Downloaded() const { return m_downloaded; }
    bool DownloadFinished() const { return m_downloadFinished; }

private:
    void BuildSelect(TZelWirelessMessageSend& msg);
    void BuildWindow(TZelWirelessMessageSend& msg);
    void BuildCount(TZelWirelessMessageSend& msg);
    void BuildPost(TZelWirelessMessageSend& msg);
    void BuildDelete(TZelWirelessMessageSend& msg);
    void BuildPage(TZelWirelessMessageSend& msg);
    void BuildUpdate(TZelWirelessMessageSend& msg);
    void BuildDownload(TZelWirelessMessageSend& msg);
    std::string CheckRows(const std::vector<TReplyRow>& rows, int length);
    std::string CheckDownload(const std::vector<TReplyRow>& rows);
    std::string CheckCount(int64_t count);
    std::string OwnKey(int64_t serial) const;
    int64_t RandomBaseRow();
    int64_t KeyRowOrRandom();
    const std::string* PickOwnKey();

    const TLoadOptions& m_options;
    const TStockModel& m_model;
    int m_number;
    std::string m_location;
    std::mt19937_64 m_random;
    std::discrete_distribution<int> m_mix;
    std::map<std::string, TOwnRow> m_own;
    int64_t m_nextSerial = 1;
    size_t m_nextDepth = 0;

    // The request in flight.
    TRequestKind m_kind = TRequestKind::Select;
    int64_t m_baseRow = 0;       // select: the base row asked for (0: an own row)
    std::string m_ownKey;        // select, post, delete: the own row concerned
    TOwnRow m_posted;            // post: the values sent
    int64_t m_depth = 0;         // window
    int64_t m_expectedCount = 0; // count, post, delete
    int64_t m_downloaded = 0;    // download: rows received, the next start row
    bool m_downloadFinished = false;
};

// Splits a "PCDATA" payload into rows of fieldsPerRow values; an empty text means well formed.
std::string ParseDataRows(const char* payload, int length, int fieldsPerRow, std::vector<TReplyRow>& rows);
// Bytes one row takes in a "PCDATA" reply.
int64_t ReplyRowBytes(const std::vector<const std::string*>& values);
