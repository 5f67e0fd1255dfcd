#include "Busy.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <exception>
#include <memory>

namespace corvane {
namespace {

// Holds back the user's input (and closing) for every window but the progress dialog.
class InputHold : public QObject {
public:
    explicit InputHold(QWidget* dialog) : dialog_(dialog) { qApp->installEventFilter(this); }
    ~InputHold() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::Wheel:
            case QEvent::ShortcutOverride:
            case QEvent::Close: {
                auto* widget = qobject_cast<QWidget*>(watched);
                return !(widget && dialog_ && (widget == dialog_ || dialog_->isAncestorOf(widget)));
            }
            default:
                return false;
        }
    }

private:
    QWidget* dialog_;
};

}  // namespace

void waitWhileBusy(QWidget* parent, const QString& doing, const std::function<void()>& work) {
    QProgressDialog dialog(doing, QString(), 0, 0, parent);
    dialog.setWindowTitle(QApplication::applicationName());
    dialog.setObjectName(QStringLiteral("busyDialog"));
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setMinimumDuration(0);
    dialog.reset();  // not shown until the timer below says so
    InputHold hold(&dialog);
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);

    QEventLoop loop;
    std::atomic<bool> done = false;
    std::exception_ptr failure;
    // A QThread of its own rather than a bare thread: Qt keeps the record of a thread it did
    // not start (made once the work touches a QObject) past the thread's end, which a leak
    // check at the process's end may find.
    const std::unique_ptr<QThread> worker(QThread::create([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    }));
    worker->start();
    // A short wait shows no dialog; a longer one does, so that nobody waits without a word.
    QTimer show;
    show.setSingleShot(true);
    QObject::connect(&show, &QTimer::timeout, &dialog, [&] {
        if (!done) dialog.show();
    });
    show.start(300);
    if (!done) loop.exec(QEventLoop::AllEvents);
    worker->wait();
    QGuiApplication::restoreOverrideCursor();
    dialog.hide();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace corvane
