// Signs of life for a long operation on the host's user-interface thread. Once the operation
// has run for about half a second, a modal progress dialog parented to the host's window
// shows the count done out of the total, with a cancel button; from the start, the host's
// windows keep painting (events are handled every 50 ms, those of the user's input only once
// the dialog stands between them and the host). A quick operation never sees a dialog;
// either way a step costs a look at the clock. An operation that is a few long loops over
// rows (reading, writing, filling a tree) counts the rows that go by instead of stepping.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <optional>

#include "Heartbeat.h"

class QProgressDialog;
class QWidget;

namespace cv {

class OperationProgress final : private HeartbeatListener {
public:
    enum class Cancel { Offered, NotOffered };

    // `label` takes the count done and the total as %1 and %2 ("正在导入人员: %1 / %2"); with
    // a total of 0 (not known yet) it takes the count done alone and the bar shows only that
    // something is going on.
    OperationProgress(QWidget* window, const QString& label, qint64 total,
                      Cancel cancel = Cancel::Offered);
    ~OperationProgress();
    OperationProgress(const OperationProgress&) = delete;
    OperationProgress& operator=(const OperationProgress&) = delete;

    // `done` of the total are done. False once the user has cancelled.
    bool step(qint64 done);
    bool cancelled() const { return cancelled_; }

    // A line under the count, saying what the operation waits for; empty to take it away.
    void setNote(const QString& note) { note_ = note; }

    // From now on the count done is the rows that go by on this thread, divided by `passes`
    // (how many loops each row of the total goes through).
    void countRows(int passes);
    // From now on the operation counts something else: a new label and total, stepped again
    // (rows no longer counted). The dialog, when shown, stays.
    void restart(const QString& label, qint64 total);

    // How long an operation runs before the dialog shows; tests set 0 to see it at once.
    static void setShowDelay(int milliseconds);

private:
    void show();
    void beat(qint64 rows) override;
    QString text(qint64 done) const;

    QPointer<QWidget> window_;
    QString label_;
    QString note_;
    qint64 total_;
    QElapsedTimer clock_;
    qint64 lastEvents_ = -50;  // so that a dialog shown at once shows at the first step
    Cancel cancel_;
    int passes_ = 1;
    std::optional<HeartbeatScope> listening_;
    bool cancelled_ = false;
    bool shown_ = false;
    QPointer<QProgressDialog> dialog_;  // goes with the host window if that goes first
};

}  // namespace cv
