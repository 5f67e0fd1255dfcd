// The personnel preview "Frm_PersonView": a fixed modal dialog with the database tree in a
// frame of its own, without tick boxes, and a close button. ShowPersonView holds the dialog
// itself for the length of the call (a window cannot be a child of the host's non-widget
// application object), so the frame is never owned by the application object and never
// clashes with the export or import frame "FramePerson".
#pragma once

#include <QDialog>

class QFrame;
class QPushButton;

namespace cv {

class TFramePerson;

class TFrm_PersonView : public QDialog {
    Q_OBJECT

public:
    explicit TFrm_PersonView(QWidget* parent = nullptr);

    // Places `frame` (which the dialog then owns) above the bottom panel.
    void setFrame(TFramePerson* frame);
    TFramePerson* frame() const { return frame_; }

    // Esc, the close box and the close button end the dialog with modal result 2.
    void reject() override;

    QFrame* RzPanel1;
    QPushButton* BtBtnCancel;  // "关闭(&C)": the cancel button, modal result 2

private:
    TFramePerson* frame_ = nullptr;
};

// The dialog while ShowPersonView shows it; null otherwise.
extern TFrm_PersonView* Frm_PersonView;

// Shows the host's personnel in the preview dialog until the user closes it: true after the
// dialog closed, false (no window shown) when the tree builder answers false. A failing
// query throws (DbError) as building the tree does. The dialog, its frame and the node
// records are released before it returns, however it ends.
bool ShowPersonView();

}  // namespace cv
