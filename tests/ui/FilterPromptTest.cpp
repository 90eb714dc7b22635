#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "base/IniFile.h"
#include "support/TempFolder.h"
#include "ui/MessageBox.h"
#include "ui/frm_FilterPrompt.h"

namespace {

class FilterPromptTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_ini = std::make_unique<TIniFile>(m_folder.Path() + "/Prompt.ini");
        m_prompt = std::make_unique<TfrmFilterPrompt>();
        m_prompt->IniFile = m_ini.get();
        m_prompt->HistorySection = "DataViewFilter";
    }

    template <class T> T* Child(const char* name) {
        T* child = m_prompt->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    void SetHistory(int count) {
        m_ini->WriteInteger("DataViewFilter", "RecentCount", count);
        for (int i = 0; i < count; ++i)
            m_ini->WriteString("DataViewFilter", "Recent" + std::to_string(i), "f" + std::to_string(i));
    }
    std::vector<std::string> History() {
        std::vector<std::string> entries;
        const int count = m_ini->ReadInteger("DataViewFilter", "RecentCount", 0);
        for (int i = 0; i < count; ++i)
            entries.push_back(m_ini->ReadString("DataViewFilter", "Recent" + std::to_string(i), "?"));
        return entries;
    }
    void Compose(const char* field, const char* op, const char* value) {
        Child<QComboBox>("cmbPCFields")->setEditText(QString::fromUtf8(field));
        Child<QComboBox>("cmbOperator")->setEditText(QString::fromUtf8(op));
        Child<QLineEdit>("txtValue")->setText(QString::fromUtf8(value));
    }

    TTempFolder m_folder;
    std::unique_ptr<TIniFile> m_ini;
    std::unique_ptr<TfrmFilterPrompt> m_prompt;
};

TEST_F(FilterPromptTest, ComposesFieldOperatorAndQuotedValue) {
    struct Case {
        const char* field;
        const char* op;
        const char* value;
        const char* filter;
    };
    const Case cases[] = {
        {"CITY", "=", "Paris", "[CITY] ='Paris'"}, {"CITY", "=", "O'Hara", "[CITY] ='O''Hara'"},
        {"CITY", ">=", "'", "[CITY] >=''''"},      {"A", "(none)", "1", "[A] (none)'1'"},
        {"A", "LIKE ", "x%", "[A] LIKE 'x%'"},     {"Qty", "<", "", "[Qty] <''"},
    };
    m_prompt->show();
    for (const Case& c : cases) {
        Compose(c.field, c.op, c.value);
        EXPECT_EQ(m_prompt->GetFilterText().toStdString(), c.filter);
    }
    // Editing the filter itself leaves the three boxes alone, and is what OK returns.
    Child<QComboBox>("cmbCurrentFilter")->setEditText(QStringLiteral("[B] ='2'"));
    EXPECT_EQ(Child<QLineEdit>("txtValue")->text(), QString());
    Child<QPushButton>("btnOK")->click();
    EXPECT_EQ(m_prompt->result(), QDialog::Accepted);
    EXPECT_EQ(m_prompt->GetFilterText(), QStringLiteral("[B] ='2'"));
}

TEST_F(FilterPromptTest, StartsEmptyWithTheOperatorAndTheHistory) {
    SetHistory(3);
    m_prompt->show();
    EXPECT_EQ(m_prompt->windowTitle(), QStringLiteral("Select filter"));
    EXPECT_EQ(m_prompt->GetFilterText(), QString());
    QComboBox* ops = Child<QComboBox>("cmbOperator");
    EXPECT_EQ(ops->currentText(), QStringLiteral("="));
    QStringList items;
    for (int i = 0; i < ops->count(); ++i)
        items << ops->itemText(i);
    EXPECT_EQ(items.join(QLatin1Char(' ')), QStringLiteral("(none) = <= >= < >"));
    EXPECT_EQ(Child<QComboBox>("cmbCurrentFilter")->count(), 3);
}

TEST_F(FilterPromptTest, HistoryKeepsTheTenNewestNewestFirst) {
    struct Case {
        int stored;
        std::vector<std::string> after;
    };
    const Case cases[] = {
        {0, {"[A] ='1'"}},
        {2, {"[A] ='1'", "f0", "f1"}},
        {9, {"[A] ='1'", "f0", "f1", "f2", "f3", "f4", "f5", "f6", "f7", "f8"}},
        {10, {"[A] ='1'", "f0", "f1", "f2", "f3", "f4", "f5", "f6", "f7", "f8"}},
    };
    for (const Case& c : cases) {
        m_ini->EraseSection("DataViewFilter");
        SetHistory(c.stored);
        TfrmFilterPrompt prompt;
        prompt.IniFile = m_ini.get();
        prompt.HistorySection = "DataViewFilter";
        prompt.show();
        prompt.findChild<QComboBox*>(QStringLiteral("cmbCurrentFilter"))
            ->setEditText(QStringLiteral("[A] ='1'"));
        prompt.findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
        EXPECT_EQ(History(), c.after) << c.stored;
    }
}

TEST_F(FilterPromptTest, EmptyFilterStoresNothingAndClearHistoryErasesAtOnce) {
    SetHistory(2);
    m_prompt->show();
    Compose("A", "=", "1");
    Child<QPushButton>("btnClear")->click();
    EXPECT_EQ(m_prompt->GetFilterText(), QString());
    Child<QPushButton>("btnOK")->click();
    EXPECT_EQ(History(), (std::vector<std::string>{"f0", "f1"}));

    TfrmFilterPrompt again;
    again.IniFile = m_ini.get();
    again.HistorySection = "DataViewFilter";
    again.show();
    again.findChild<QPushButton*>(QStringLiteral("btnClearHistory"))->click();
    again.findChild<QPushButton*>(QStringLiteral("btnCancel"))->click();
    EXPECT_EQ(again.result(), QDialog::Rejected);
    EXPECT_FALSE(m_ini->SectionExists("DataViewFilter"));
}

} // namespace
