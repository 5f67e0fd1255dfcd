// The library's one way to show a message box. Caption: the application's display name.
// Flags as the host's platform knows them: the low four bits choose the buttons (0 OK,
// 1 OK/Cancel, 3 Yes/No/Cancel, 4 Yes/No), the next four the icon (16 error, 32 question,
// 48 warning, 64 information). So 36 is Yes/No with a question icon and 0 a plain notice.
// The answer is the pressed button: 1 OK, 2 Cancel, 6 Yes, 7 No.
//
// A test sets the next answer beforehand; the box is then not shown, and what it would have
// shown is kept for the test to read.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace cv {

class MessageBox {
public:
    static constexpr int IdOk = 1;
    static constexpr int IdCancel = 2;
    static constexpr int IdYes = 6;
    static constexpr int IdNo = 7;
    static constexpr int FlagsOk = 0;
    static constexpr int FlagsYesNoQuestion = 36;

    static int show(const QString& text, int flags, QWidget* parent = nullptr);

    // Test hooks: the answer of the next show() (which then shows nothing), and what the
    // last show() was asked to show.
    static void setNextAnswer(int answer);
    static bool answerPending();
    static const QString& lastText();
    static int lastFlags();
    static int shownCount();
};

}  // namespace cv
