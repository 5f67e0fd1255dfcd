#include "MessageBox.h"

#include <QGuiApplication>
#include <QMessageBox>

namespace cv {

namespace {

struct TestHooks {
    std::optional<int> nextAnswer;
    QString lastText;
    int lastFlags = 0;
    int shownCount = 0;
};

TestHooks& hooks() {
    static TestHooks instance;
    return instance;
}

QMessageBox::StandardButtons buttonsOf(int flags) {
    switch (flags & 0x0F) {
        case 1:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case 2:
            return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
        case 3:
            return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        case 4:
            return QMessageBox::Yes | QMessageBox::No;
        case 5:
            return QMessageBox::Retry | QMessageBox::Cancel;
        default:
            return QMessageBox::Ok;
    }
}

QMessageBox::Icon iconOf(int flags) {
    switch (flags & 0xF0) {
        case 16:
            return QMessageBox::Critical;
        case 32:
            return QMessageBox::Question;
        case 48:
            return QMessageBox::Warning;
        case 64:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

int answerOf(int button) {
    switch (button) {
        case QMessageBox::Ok:
            return MessageBox::IdOk;
        case QMessageBox::Yes:
            return MessageBox::IdYes;
        case QMessageBox::No:
            return MessageBox::IdNo;
        case QMessageBox::Abort:
            return 3;
        case QMessageBox::Retry:
            return 4;
        case QMessageBox::Ignore:
            return 5;
        default:
            return MessageBox::IdCancel;
    }
}

}  // namespace

int MessageBox::show(const QString& text, int flags, QWidget* parent) {
    TestHooks& h = hooks();
    h.lastText = text;
    h.lastFlags = flags;
    ++h.shownCount;
    if (h.nextAnswer) {
        const int answer = *h.nextAnswer;
        h.nextAnswer.reset();
        return answer;
    }
    QMessageBox box(iconOf(flags), QGuiApplication::applicationDisplayName(), text,
                    buttonsOf(flags), parent);
    return answerOf(box.exec());
}

void MessageBox::setNextAnswer(int answer) { hooks().nextAnswer = answer; }

bool MessageBox::answerPending() { return hooks().nextAnswer.has_value(); }

const QString& MessageBox::lastText() { return hooks().lastText; }

int MessageBox::lastFlags() { return hooks().lastFlags; }

int MessageBox::shownCount() { return hooks().shownCount; }

}  // namespace cv
