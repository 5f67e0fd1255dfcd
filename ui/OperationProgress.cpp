#include "OperationProgress.h"

#include <QApplication>
#include <QProgressDialog>

namespace cv {
namespace {

int showDelay = 500;
constexpr qint64 EventsEvery = 50;  // milliseconds

}  // namespace

void OperationProgress::setShowDelay(int milliseconds) { showDelay = milliseconds; }

OperationProgress::OperationProgress(QWidget* window, const QString& label, qint64 total,
                                     Cancel cancel)
    : window_(window), label_(label), total_(total), cancel_(cancel) {
    clock_.start();
}

OperationProgress::~OperationProgress() {
    listening_.reset();
    delete dialog_.data();
}

void OperationProgress::countRows(int passes) {
    passes_ = qMax(1, passes);
    listening_.emplace(static_cast<HeartbeatListener&>(*this));
}

void OperationProgress::beat(qint64 rows) { step(rows / passes_); }

QString OperationProgress::text(qint64 done) const {
    const QString count = total_ > 0 ? label_.arg(done).arg(total_) : label_.arg(done);
    return note_.isEmpty() ? count : count + QLatin1Char('\n') + note_;
}

void OperationProgress::restart(const QString& label, qint64 total) {
    listening_.reset();
    passes_ = 1;
    label_ = label;
    total_ = total;
    if (dialog_) dialog_->setMaximum(int(qMin<qint64>(total_, INT_MAX)));
}

bool OperationProgress::step(qint64 done) {
    if (cancelled_) return false;
    const qint64 now = clock_.elapsed();
    if (now - lastEvents_ < EventsEvery) return true;
    lastEvents_ = now;
    if (now < showDelay) {
        // Too early for a dialog, not for the windows to paint.
        QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        return true;
    }
    if (!shown_) show();
    if (!dialog_) return true;
    if (total_ > 0) {
        done = qMin(done, total_);
        dialog_->setValue(int(done));
    }
    dialog_->setLabelText(text(done));
    // setValue handles events only while the dialog is modal and then at its own pace.
    QApplication::processEvents();
    cancelled_ = cancel_ == Cancel::Offered && dialog_->wasCanceled();
    return !cancelled_;
}

void OperationProgress::show() {
    shown_ = true;
    dialog_ = new QProgressDialog(text(0), QStringLiteral("取消"), 0,
                                  int(qMin<qint64>(total_, INT_MAX)), window_.data());
    if (cancel_ == Cancel::NotOffered) dialog_->setCancelButton(nullptr);
    dialog_->setWindowTitle(QStringLiteral("请稍候"));
    dialog_->setWindowModality(Qt::ApplicationModal);
    dialog_->setAutoClose(false);
    dialog_->setAutoReset(false);
    dialog_->setMinimumDuration(0);
    dialog_->show();
}

}  // namespace cv
