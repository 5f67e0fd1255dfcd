#include "Busy.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressDialog>
#include <QTimer>
#include <atomic>
#include <exception>
#include <thread>

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
    // A thread that is joined, not a QThread: a QThread's thread is detached and drops its
    // share of Qt's record of it only after wait() has returned, so a process that ends just
    // after (an export from the command line) may end before it, and a leak check then finds
    // the record. Joining waits for all of the thread's end, Qt's clean-up of it included.
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    // A short wait shows no dialog; a longer one does, so that nobody waits without a word.
    QTimer show;
    show.setSingleShot(true);
    QObject::connect(&show, &QTimer::timeout, &dialog, [&] {
        if (!done) dialog.show();
    });
    show.start(300);
    if (!done) loop.exec(QEventLoop::AllEvents);
    worker.join();
    QGuiApplication::restoreOverrideCursor();
    dialog.hide();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace corvane
