#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One field reference of a data request or result.
class TZel_QueryField {
public:
    int32_t FieldNumber = -1;
    std::string Value;
    bool IsKey = false;
};

// An ordered list that owns its fields.
class TZel_QueryFieldList {
public:
    int Count() const { return static_cast<int>(m_items.size()); }
    TZel_QueryField* Get(int index) const { return m_items[index].get(); }
    TZel_QueryField* AddNew();
    TZel_QueryField* AddNumber(int32_t number);
    // Raises "TZel_QueryFieldList.Add: no field given" for a null field.
    TZel_QueryField* Add(std::unique_ptr<TZel_QueryField> field);
    void Delete(int index);
    TZel_QueryField* FindByNumber(int32_t number) const;
    void Clear() { m_items.clear(); }

private:
    std::vector<std::unique_ptr<TZel_QueryField>> m_items;
};

class TZel_QueryParam {
public:
    TZel_QueryFieldList SelectFields;
    TZel_QueryFieldList OrderFields;
    TZel_QueryFieldList WhereFields;
    int32_t StartRow = 0;
    int32_t EndRow = 0;

    std::string LogText() const;
};

using TZel_QueryRow = std::vector<std::string>;

class TZel_QueryResult {
public:
    int32_t StartRow = -1;
    int32_t EndRow = -1;
    TZel_QueryFieldList Fields;
    std::vector<TZel_QueryRow> Rows;

    TZel_QueryRow& AddRow();
    std::string LogText() const;
    // Bytes the row takes in a "PCDATA" reply: "RD", row number, and per
    // field its marker, number, length and value.
    int64_t ReplySize(const TZel_QueryRow& row) const;
};

// One data request: what the handheld asks for and what the session returns.
class TZel_Query {
public:
    TZel_QueryParam Param;
    TZel_QueryResult Result;
    // Limit for the rows a select returns, in reply bytes (0: none). The
    // session stops before the row that would cross it, but always keeps the
    // first row, so that a row too long for any reply is reported, not skipped.
    int64_t MaxReplyBytes = 0;
};
