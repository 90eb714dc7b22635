#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// Shared pieces of the fault tests: the driver in test names, and the
// data-request payloads a handheld sends.

enum class TestDriver;
// Test names show the driver, not its bytes.
void PrintTo(TestDriver driver, std::ostream* os);

// Payloads of the data requests: a row window and "SF" items for select;
// "WK"/"WF" items (field number, value) for post.
std::string SelectPayload(int startRow, int endRow, const std::vector<int>& selectFields,
                          const std::vector<std::pair<int, std::string>>& where = {});
std::string PostPayload(const std::vector<std::pair<int, std::string>>& values);
// The rows of a "PCDATA" payload: row number -> values in reply order; empty
// optional when the payload does not parse.
std::optional<std::map<int, std::vector<std::string>>> ParseDataRows(const std::string& payload);
