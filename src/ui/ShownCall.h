#pragma once

#include <QString>
#include <QWidget>
#include <exception>
#include <utility>

#include "base/Zel_Lib.h"
#include "ui/MessageBox.h"

// For handlers whose failure the operator must learn about: runs the body and
// shows an escaping failure in a message box (its ExceptionText) instead of
// handing it to the application-wide handler, which only logs it.
template <class Body> void ShownCall(QWidget* parent, Body&& body) {
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& error) {
        TMessageBox::Show(parent, QString::fromStdString(ExceptionText(error)), QMessageBox::Warning);
    } catch (...) {
        TMessageBox::Show(parent, QStringLiteral("Unknown failure"), QMessageBox::Warning);
    }
}
