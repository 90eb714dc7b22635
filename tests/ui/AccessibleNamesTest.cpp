// What a screen reader meets: every input of every view and dialog says what
// it is (its own name or its label's), and every caption that introduces an
// input is that input's label, so its mnemonic and a click on it reach it.
#include "MainWindowFixture.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextEdit>

#include <algorithm>

#include "support/EventLoop.h"
#include "ui/frm_AboutBox.h"
#include "ui/frm_DataSources.h"
#include "ui/frm_FilterPrompt.h"

namespace {

using View = TfrmMainContainer::View;

bool IsInput(const QWidget* widget) {
    if (qobject_cast<const QScrollBar*>(widget))
        return false;
    return qobject_cast<const QLineEdit*>(widget) || qobject_cast<const QComboBox*>(widget) ||
           qobject_cast<const QAbstractSpinBox*>(widget) || qobject_cast<const QTextEdit*>(widget) ||
           qobject_cast<const QPlainTextEdit*>(widget) || qobject_cast<const QAbstractItemView*>(widget) ||
           qobject_cast<const QAbstractSlider*>(widget) || qobject_cast<const QAbstractButton*>(widget);
}

// Qt's own parts of a widget (a combo box's line edit, a view's viewport)
// speak through the widget they belong to.
bool IsPartOfAnother(const QWidget* widget, const QWidget* top) {
    for (const QWidget* up = widget->parentWidget(); up && up != top; up = up->parentWidget())
        if (IsInput(up))
            return true;
    return false;
}

// The layout that holds widget, searched from its parent's top layout down.
QLayout* HoldingLayout(QLayout* layout, QWidget* widget) {
    if (!layout)
        return nullptr;
    if (layout->indexOf(widget) >= 0)
        return layout;
    for (int i = 0; i < layout->count(); ++i)
        if (QLayout* found = HoldingLayout(layout->itemAt(i)->layout(), widget))
            return found;
    return nullptr;
}

// The widget that follows a caption in its layout: the next cell of its row
// (or the one under it) in a grid, the field of its row in a form, the next item in a row or column of
// widgets.
QWidget* FollowingWidget(QLabel* label) {
    QWidget* parent = label->parentWidget();
    QLayout* layout = parent ? HoldingLayout(parent->layout(), label) : nullptr;
    if (!layout)
        return nullptr;
    const int index = layout->indexOf(label);
    QLayoutItem* next = nullptr;
    if (auto* grid = qobject_cast<QGridLayout*>(layout)) {
        int row = 0, column = 0, rows = 0, columns = 0;
        grid->getItemPosition(index, &row, &column, &rows, &columns);
        next = grid->itemAtPosition(row, column + columns); // beside it, else under it
        if (!next)
            next = grid->itemAtPosition(row + rows, column);
    } else if (auto* form = qobject_cast<QFormLayout*>(layout)) {
        int row = 0;
        QFormLayout::ItemRole role{};
        form->getItemPosition(index, &row, &role);
        next = role == QFormLayout::LabelRole ? form->itemAt(row, QFormLayout::FieldRole) : nullptr;
    } else if (index + 1 < layout->count()) {
        next = layout->itemAt(index + 1);
    }
    return next ? next->widget() : nullptr;
}

QString Describe(const QWidget* widget) {
    return QStringLiteral("%1 \"%2\"")
        .arg(QString::fromLatin1(widget->metaObject()->className()), widget->objectName());
}

// Every problem found among the widgets of top that the operator can see.
std::vector<std::string> Walk(QWidget* top) {
    std::vector<std::string> problems;
    for (QWidget* widget : top->findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(top) || widget->objectName().startsWith(QLatin1String("qt_")))
            continue;
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            const QString text = label->text().trimmed();
            QWidget* following = FollowingWidget(label);
            if (text.endsWith(QLatin1Char(':')) && !label->buddy() && following && IsInput(following))
                problems.push_back("a caption without its input: " +
                                   (Describe(label) + QLatin1Char(' ') + text).toStdString());
            continue;
        }
        if (!IsInput(widget) || IsPartOfAnother(widget, top))
            continue;
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
        if (!face || face->text(QAccessible::Name).trimmed().isEmpty())
            problems.push_back("an input without a name: " + Describe(widget).toStdString());
    }
    return problems;
}

// Walk on every page of every tab widget, since hidden pages are not walked.
std::vector<std::string> WalkEveryPage(QWidget* top) {
    std::vector<std::string> problems = Walk(top);
    for (QTabWidget* tabs : top->findChildren<QTabWidget*>()) {
        if (!tabs->isVisibleTo(top))
            continue;
        const int shown = tabs->currentIndex();
        for (int page = 0; page < tabs->count(); ++page) {
            tabs->setCurrentIndex(page);
            for (std::string& problem : Walk(top))
                if (std::find(problems.begin(), problems.end(), problem) == problems.end())
                    problems.push_back(std::move(problem));
        }
        tabs->setCurrentIndex(shown);
    }
    return problems;
}

class AccessibleNamesTest : public MainWindowFixture {};

TEST_F(AccessibleNamesTest, EveryViewNamesItsInputs) {
    ShowWindow();
    for (int view : {View::vwNone, View::vwClientList, View::vwAppSettings, View::vwSessionConfig,
                     View::vwData, View::vwDevices}) {
        Window->ShowView(view);
        PumpFor(50);
        EXPECT_EQ(WalkEveryPage(Window.get()), std::vector<std::string>()) << "in view " << view;
    }
    Window->ShowView(View::vwClientList);
}

TEST_F(AccessibleNamesTest, EveryDialogNamesItsInputs) {
    TfrmDataSources sources;
    sources.show();
    EXPECT_EQ(WalkEveryPage(&sources), std::vector<std::string>()) << "data sources";
    TfrmFilterPrompt filter;
    filter.show();
    EXPECT_EQ(WalkEveryPage(&filter), std::vector<std::string>()) << "filter";
    TfrmAboutBox about;
    about.show();
    EXPECT_EQ(WalkEveryPage(&about), std::vector<std::string>()) << "about";
}

} // namespace
