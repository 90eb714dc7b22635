#include "ui/BusyPanel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

TBusyPanel::TBusyPanel(const QString& text, QWidget* owner, std::function<void()> cancel)
    : QFrame(owner), m_owner(owner) {
    setObjectName(QStringLiteral("pnlBusy"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    m_label = new QLabel(text, this);
    m_label->setObjectName(QStringLiteral("lblBusy"));
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("btnCancelWork"));
    layout->addWidget(m_label);
    layout->addWidget(m_cancel);
    layout->addStretch(1);
    hide();
    connect(m_cancel, &QPushButton::clicked, this, std::move(cancel));
    m_delay.setSingleShot(true);
    m_delay.setInterval(DelayMs);
    connect(&m_delay, &QTimer::timeout, this, [this] {
        show();
        m_owner->setCursor(Qt::BusyCursor);
    });
}

void TBusyPanel::SetBusy(bool busy) {
    if (busy) {
        if (!m_delay.isActive() && !isVisible())
            m_delay.start();
        return;
    }
    m_delay.stop();
    hide();
    m_owner->unsetCursor();
}
