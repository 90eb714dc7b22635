#pragma once

#include <QFrame>
#include <QTimer>

#include <functional>

class QLabel;
class QPushButton;

// A line that says what the window waits for, with Cancel, shown (with a
// busy cursor on its owner) only once the work has waited DelayMs: quick
// answers never make the window flicker.
class TBusyPanel : public QFrame {
public:
    static constexpr int DelayMs = 300;

    // The panel is hidden until SetBusy(true) has lasted DelayMs; the owner
    // places it in its layout. cancel runs when the operator clicks Cancel.
    TBusyPanel(const QString& text, QWidget* owner, std::function<void()> cancel);

    // Work started (true) or everything ended (false); repeats are harmless.
    void SetBusy(bool busy);

    QLabel* Label() const { return m_label; }
    QPushButton* CancelButton() const { return m_cancel; }

private:
    QWidget* m_owner;
    QLabel* m_label;
    QPushButton* m_cancel;
    QTimer m_delay;
};
