#include "TFrm_PersonView.h"

#include <QGuiApplication>
#include <QKeySequence>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <memory>

#include "FormLook.h"
#include "TFramePerson.h"

namespace cv {

TFrm_PersonView* Frm_PersonView = nullptr;

namespace {

constexpr int ModalResultCancel = 2;

}  // namespace

TFrm_PersonView::TFrm_PersonView(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Frm_PersonView"));
    setWindowTitle(QStringLiteral("系统人员预览"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(492, 453);
    setSizeGripEnabled(false);
    applyFormLook(*this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addStretch(1);  // replaced by the frame

    RzPanel1 = new QFrame(this);
    RzPanel1->setObjectName(QStringLiteral("RzPanel1"));
    RzPanel1->setFixedHeight(46);
    RzPanel1->setFrameShape(QFrame::NoFrame);
    layout->addWidget(RzPanel1);

    BtBtnCancel = new QPushButton(QStringLiteral("关闭(&C)"), RzPanel1);
    BtBtnCancel->setObjectName(QStringLiteral("BtBtnCancel"));
    // Alt+C also where the platform turns automatic mnemonics off.
    BtBtnCancel->setShortcut(QKeySequence(Qt::ALT | Qt::Key_C));
    BtBtnCancel->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    BtBtnCancel->setGeometry(393, 13, 75, 25);
    BtBtnCancel->setAutoDefault(false);
    connect(BtBtnCancel, &QPushButton::clicked, this, [this] { done(ModalResultCancel); });
}

void TFrm_PersonView::setFrame(TFramePerson* frame) {
    auto* box = static_cast<QVBoxLayout*>(layout());
    if (frame_ != nullptr) {
        box->removeWidget(frame_);
        delete frame_;
    } else {
        delete box->takeAt(0);  // the stretch
    }
    frame_ = frame;
    frame_->setParent(this);
    box->insertWidget(0, frame_, 1);
}

void TFrm_PersonView::reject() {
    // Esc, the close box and the close button all end the dialog with modal result 2.
    done(ModalResultCancel);
}

bool ShowPersonView() {
    auto dialog = std::make_unique<TFrm_PersonView>();
    Frm_PersonView = dialog.get();
    struct Release {
        std::unique_ptr<TFrm_PersonView>& dialog;
        ~Release() {
            Frm_PersonView = nullptr;
            dialog.reset();  // the frame and every node record go with it
        }
    } release{dialog};
    auto* frame = new TFramePerson(dialog.get());
    frame->hide();
    if (!frame->LoadFromDatabase()) return false;
    dialog->setFrame(frame);
    frame->SizePnl->hide();
    frame->CTDeptPerson->removeCheckBoxes();
    frame->ExpandToLevel(1);
    frame->show();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect area(QPoint(0, 0), dialog->size());
        area.moveCenter(screen->availableGeometry().center());
        dialog->move(area.topLeft());
    }
    dialog->exec();
    return true;
}

}  // namespace cv
