#include "OperationProgress.h"

#include <QApplication>
#include <QProgressDialog>

namespace cv {
namespace {

int showDelay = 500;
constexpr qint64 EventsEvery = 50;  // milliseconds

}  // namespace

void OperationProgress::setShowDelay(int milliseconds) { showDelay = milliseconds; }

OperationProgress::OperationProgress(QWidget* window, const QString& label, qint64 total)
    : window_(window), label_(label), total_(total) {
    clock_.start();
}

OperationProgress::~OperationProgress() { delete dialog_.data(); }

bool OperationProgress::step(qint64 done) {
    if (cancelled_) return false;
    const qint64 now = clock_.elapsed();
    if (now < showDelay || now - lastEvents_ < EventsEvery) return true;
    lastEvents_ = now;
    if (!shown_) show();
    if (!dialog_) return true;
    dialog_->setValue(int(qMin<qint64>(done, total_)));
    dialog_->setLabelText(label_.arg(done).arg(total_));
    // setValue handles events only while the dialog is modal and then at its own pace.
    QApplication::processEvents();
    cancelled_ = dialog_->wasCanceled();
    return !cancelled_;
}

void OperationProgress::show() {
    shown_ = true;
    dialog_ = new QProgressDialog(label_.arg(0).arg(total_),
                                                QStringLiteral("取消"), 0,
                                                int(qMin<qint64>(total_, INT_MAX)), window_.data());
    dialog_->setWindowTitle(QStringLiteral("请稍候"));
    dialog_->setWindowModality(Qt::ApplicationModal);
    dialog_->setAutoClose(false);
    dialog_->setAutoReset(false);
    dialog_->setMinimumDuration(0);
    dialog_->show();
}

}  // namespace cv
