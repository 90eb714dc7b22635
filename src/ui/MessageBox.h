#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

// The one way the operator interface shows a message box. Modal questions and
// notices go through Ask/Show; messages raised inside socket, database or timer
// callbacks go through Post, which queues them and shows them one at a time,
// non-modally, so no nested event loop ever re-enters those callbacks.
//
// Tests install an answerer: every box (modal or posted) then goes to it
// instead of the screen, with its exact text, and never blocks.
namespace TMessageBox {

struct Request {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    bool posted = false;
    // The button Enter presses (modal boxes).
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

using Answerer = std::function<QMessageBox::StandardButton(const Request& request)>;

// Modal: returns the button pressed.
QMessageBox::StandardButton Ask(QWidget* parent, const QString& text,
                                QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::StandardButton defaultButton = QMessageBox::No,
                                QMessageBox::Icon icon = QMessageBox::Question);
// Modal OK box.
void Show(QWidget* parent, const QString& text, QMessageBox::Icon icon = QMessageBox::Information);
// Non-modal OK box, queued behind the one on screen; safe from any callback.
void Post(const QString& text, QMessageBox::Icon icon = QMessageBox::Warning);
// Posted messages not yet shown (the one on screen included).
int PendingPosts();

// Test seam: answers every following box; an empty function restores the screen.
void SetAnswerer(Answerer answerer);

} // namespace TMessageBox

// The one way the operator interface asks for a file name; tests set the
// next answer instead of a dialog opening.
namespace TFileDialog {

QString GetOpenFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter);
QString GetSaveFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter);
// Test seam: the next call returns name without a dialog (empty = cancelled).
void SetNextFileName(const QString& name);

} // namespace TFileDialog
