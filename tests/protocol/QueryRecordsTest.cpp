#include <gtest/gtest.h>

#include "base/Exception.h"
#include "protocol/PDAInfo.h"
#include "protocol/PDASession.h"
#include "protocol/Zel_ODBCQuery.h"

namespace {

TEST(QueryRecords, LogTexts) {
    TZel_Query query;
    EXPECT_EQ(query.Result.LogText(), "srn[-1] ern[-1] RF[]");
    query.Param.StartRow = 1;
    query.Param.EndRow = 10;
    query.Param.SelectFields.AddNumber(1);
    query.Param.SelectFields.AddNumber(2);
    query.Param.OrderFields.AddNumber(1);
    TZel_QueryField* key = query.Param.WhereFields.AddNumber(0);
    key->IsKey = true;
    key->Value = "A17";
    EXPECT_EQ(query.Param.LogText(), "srn[1] ern[10] SF[1,2] OF[1] WH[*0=A17]");
    key->Value.clear();
    query.Param.WhereFields.AddNumber(5)->Value = "X";
    EXPECT_EQ(query.Param.LogText().substr(query.Param.LogText().find(" WH")), " WH[*0=,5=X]");

    query.Result.StartRow = 0;
    query.Result.EndRow = 3;
    query.Result.Fields.AddNumber(0)->IsKey = true;
    query.Result.Fields.AddNumber(3);
    EXPECT_EQ(query.Result.LogText(), "srn[0] ern[3] RF[*0,3]");

    TZelPDAInfo info;
    info.UserName = "ann";
    info.SerialNumber = "S1";
    EXPECT_EQ(info.LogText(), "sw[] un[ann] sn[S1] mo[] os[] st[]");
    TZelPDASession session;
    session.SessionNumber = 3;
    session.SessionName = "Stock";
    EXPECT_EQ(session.LogText(), "sn[3] pt[] pv[] sn[Stock]");
}

TEST(QueryRecords, FieldListKeepsOrder) {
    TZel_QueryFieldList list;
    list.AddNumber(7)->Value = "first";
    list.AddNumber(7)->Value = "second";
    list.AddNumber(9);
    EXPECT_EQ(list.FindByNumber(7)->Value, "first");
    EXPECT_EQ(list.FindByNumber(8), nullptr);
    list.Delete(0);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Get(0)->Value, "second");
    EXPECT_EQ(list.Get(1)->FieldNumber, 9);
    EXPECT_EQ(list.AddNew()->FieldNumber, -1);
    try {
        list.Add(nullptr);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "TZel_QueryFieldList.Add: no field given");
    }
}

} // namespace
