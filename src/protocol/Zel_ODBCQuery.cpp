#include "protocol/Zel_ODBCQuery.h"

#include "base/Exception.h"

namespace {

std::string JoinNumbers(const TZel_QueryFieldList& list) {
    std::string text;
    for (int i = 0; i < list.Count(); ++i) {
        if (i > 0)
            text += ",";
        const TZel_QueryField* field = list.Get(i);
        if (field->IsKey)
            text += "*";
        text += std::to_string(field->FieldNumber);
    }
    return text;
}

std::string RowBounds(int32_t startRow, int32_t endRow) {
    return "srn[" + std::to_string(startRow) + "] ern[" + std::to_string(endRow) + "]";
}

} // namespace

TZel_QueryField* TZel_QueryFieldList::AddNew() {
    m_items.push_back(std::make_unique<TZel_QueryField>());
    return m_items.back().get();
}

TZel_QueryField* TZel_QueryFieldList::AddNumber(int32_t number) {
    TZel_QueryField* field = AddNew();
    field->FieldNumber = number;
    return field;
}

TZel_QueryField* TZel_QueryFieldList::Add(std::unique_ptr<TZel_QueryField> field) {
    if (!field)
        throw Exception("TZel_QueryFieldList.Add: no field given");
    m_items.push_back(std::move(field));
    return m_items.back().get();
}

void TZel_QueryFieldList::Delete(int index) {
    m_items.erase(m_items.begin() + index);
}

TZel_QueryField* TZel_QueryFieldList::FindByNumber(int32_t number) const {
    for (const auto& item : m_items)
        if (item->FieldNumber == number)
            return item.get();
    return nullptr;
}

std::string TZel_QueryParam::LogText() const {
    std::string where;
    for (int i = 0; i < WhereFields.Count(); ++i) {
        const TZel_QueryField* field = WhereFields.Get(i);
        if (i > 0)
            where += ",";
        if (field->IsKey)
            where += "*";
        where += std::to_string(field->FieldNumber) + "=" + field->Value;
    }
    return RowBounds(StartRow, EndRow) + " SF[" + JoinNumbers(SelectFields) + "] OF[" +
           JoinNumbers(OrderFields) + "] WH[" + where + "]";
}

TZel_QueryRow& TZel_QueryResult::AddRow() {
    Rows.emplace_back();
    return Rows.back();
}

std::string TZel_QueryResult::LogText() const {
    return RowBounds(StartRow, EndRow) + " RF[" + JoinNumbers(Fields) + "]";
}

int64_t TZel_QueryResult::ReplySize(const TZel_QueryRow& row) const {
    constexpr int64_t rowHeader = 10;    // "RD" + row number
    constexpr int64_t columnHeader = 13; // "RK"/"RF" + field number + value length
    int64_t size = rowHeader;
    for (int i = 0; i < Fields.Count(); ++i)
        size += columnHeader + static_cast<int64_t>(static_cast<size_t>(i) < row.size()
                                                        ? row[static_cast<size_t>(i)].size()
                                                        : 0);
    return size;
}
