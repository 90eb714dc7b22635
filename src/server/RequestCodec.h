#pragma once

#include <cstdint>

#include "protocol/Zel_ODBCQuery.h"

class TZelWirelessMessageSend;

// Wire side of the data requests: parsing payloads into a query and encoding
// results. Works on plain buffers so that it can be tested and fuzzed alone.

// Reads the 16-byte row window at position when the payload holds at least 16 bytes.
void ParseRowWindow(TZel_Query& query, const char* payload, int payloadCount, int& position);

// Reads "SF", "OF", "WK" and "WF" items from position to the end of the
// payload; raises Exception on an unknown item or a short value.
void ParseFieldItems(TZel_Query& query, const char* payload, int payloadCount, int& position);

// Appends the rows of the result to a "PCDATA" payload. The rows must fit
// into one frame; raises Exception naming the first row that does not.
void EncodeDataRows(TZelWirelessMessageSend& msg, const TZel_QueryResult& result);

// Appends the eight-digit count of a "PCCOUNT" reply.
void EncodeCount(TZelWirelessMessageSend& msg, int32_t count);
