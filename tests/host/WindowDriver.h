// Driving the host's main window as a user does: typing, pressing a message box's button,
// answering Qt's own file dialog. Shared by the window's tests.
#pragma once

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QQueue>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <functional>

namespace windowdriver {

// A button's text without its mnemonic: "是(&Y)" and "&Yes" read "是" and "Yes".
inline QString plain(QString text) {
    static const QRegularExpression mnemonic(QStringLiteral("\\(&.\\)"));
    return text.remove(mnemonic).remove('&').trimmed();
}

// Answers the modal dialogs that open, one after the other, with the answers queued; a modal
// dialog nobody expected is rejected and noted. A progress dialog asks nothing: it is left to
// its operation.
class ModalAnswerer {
public:
    using Answer = std::function<void(QWidget*)>;
    ModalAnswerer() {
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start(20);
    }
    void expect(Answer answer) { answers_.enqueue(std::move(answer)); }
    int pending() const { return int(answers_.size()); }
    QStringList unexpected;

private:
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == handled_ || qobject_cast<QProgressDialog*>(modal)) return;
        handled_ = modal;
        if (answers_.isEmpty()) {
            unexpected << modal->metaObject()->className();
            QTimer::singleShot(0, modal, [modal] { modal->close(); });
            return;
        }
        answers_.dequeue()(modal);
    }
    QTimer timer_;
    QQueue<Answer> answers_;
    QPointer<QWidget> handled_;
};

// Types `text` into an edit; QTest types only ASCII, so other text is pasted in as an input
// method commits it.
inline void typeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    bool ascii = true;
    for (QChar c : text) ascii = ascii && c.unicode() < 128;
    if (ascii) {
        QTest::keyClicks(edit, text);
        return;
    }
    QInputMethodEvent commit;
    commit.setCommitString(text);
    QApplication::sendEvent(edit, &commit);
}

struct Seen {
    QString kind;   // the dialog's class
    QString title;  // its caption
    QString text;   // a message box's text
    QStringList buttons;
};

// Presses the button reading `wanted` on a message box.
inline ModalAnswerer::Answer press(const QString& wanted, Seen* seen) {
    return [=](QWidget* widget) {
        seen->kind = widget->metaObject()->className();
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box) {
            widget->close();
            return;
        }
        seen->title = box->windowTitle();
        seen->text = box->text();
        QAbstractButton* chosen = nullptr;
        for (QAbstractButton* button : box->buttons()) {
            seen->buttons << plain(button->text());
            if (plain(button->text()) == wanted) chosen = button;
        }
        if (chosen)
            QTest::mouseClick(chosen, Qt::LeftButton);
        else
            box->close();
    };
}

// Types `path` into Qt's file dialog and presses its accept button.
inline ModalAnswerer::Answer typeFile(const QString& path, Seen* seen) {
    return [=](QWidget* widget) {
        seen->kind = widget->metaObject()->className();
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        if (!dialog) {
            widget->close();
            return;
        }
        seen->title = dialog->windowTitle();
        auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
        auto* box = dialog->findChild<QDialogButtonBox*>("buttonBox");
        if (!edit || !box) {
            dialog->reject();
            return;
        }
        for (QAbstractButton* button : box->buttons()) seen->buttons << plain(button->text());
        typeInto(edit, path);
        QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
    };
}

}  // namespace windowdriver
