#include "ui/MessageBox.h"

#include <QApplication>
#include <QFileDialog>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <optional>

namespace TMessageBox {
namespace {

TMessageBox::Answerer& TestAnswerer() {
    static TMessageBox::Answerer answerer;
    return answerer;
}

QString Title() {
    return QApplication::applicationName();
}

struct PostQueue {
    std::deque<Request> waiting;
    QPointer<QMessageBox> onScreen;
};

PostQueue& Posts() {
    static PostQueue queue;
    return queue;
}

void ShowNextPost() {
    PostQueue& queue = Posts();
    if (queue.onScreen || queue.waiting.empty())
        return;
    const Request request = queue.waiting.front();
    queue.waiting.pop_front();
    auto* box = new QMessageBox(request.icon, request.title, request.text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    QObject::connect(box, &QObject::destroyed, [] { QTimer::singleShot(0, &ShowNextPost); });
    queue.onScreen = box;
    box->show();
}

} // namespace

QMessageBox::StandardButton Ask(QWidget* parent, const QString& text, QMessageBox::StandardButtons buttons,
                                QMessageBox::StandardButton defaultButton, QMessageBox::Icon icon) {
    const Request request{icon, Title(), text, buttons, false, defaultButton};
    if (TestAnswerer())
        return TestAnswerer()(request);
    QMessageBox box(icon, request.title, text, buttons, parent);
    box.setDefaultButton(defaultButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void Show(QWidget* parent, const QString& text, QMessageBox::Icon icon) {
    Ask(parent, text, QMessageBox::Ok, QMessageBox::Ok, icon);
}

void Post(const QString& text, QMessageBox::Icon icon) {
    const Request request{icon, Title(), text, QMessageBox::Ok, true};
    if (TestAnswerer()) {
        TestAnswerer()(request);
        return;
    }
    Posts().waiting.push_back(request);
    QTimer::singleShot(0, &ShowNextPost);
}

int PendingPosts() {
    return static_cast<int>(Posts().waiting.size()) + (Posts().onScreen ? 1 : 0);
}

void SetAnswerer(Answerer answerer) {
    TestAnswerer() = std::move(answerer);
}

} // namespace TMessageBox

namespace TFileDialog {
namespace {

std::optional<QString>& NextName() {
    static std::optional<QString> name;
    return name;
}

std::optional<QString> TakeNextName() {
    std::optional<QString> name = NextName();
    NextName().reset();
    return name;
}

} // namespace

QString GetOpenFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter) {
    if (auto name = TakeNextName())
        return *name;
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QString GetSaveFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter) {
    if (auto name = TakeNextName())
        return *name;
    return QFileDialog::getSaveFileName(parent, caption, dir, filter);
}

void SetNextFileName(const QString& name) {
    NextName() = name;
}

} // namespace TFileDialog
