#include "Application.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace corvane {

QString hostTitle() { return QStringLiteral("Corvane 人员管理"); }

bool setUpApplication() {
    QCoreApplication::setApplicationName(hostTitle());
    QGuiApplication::setDesktopFileName(QStringLiteral("corvane"));
    // Dates, numbers and the file dialogs' columns in the interface's language, whatever the
    // machine's locale.
    const QLocale chinese(QLocale::Chinese, QLocale::China);
    QLocale::setDefault(chinese);
    static QTranslator* qtTexts = nullptr;
    if (!qtTexts) {
        qtTexts = new QTranslator(qApp);
        if (!qtTexts->load(chinese, QStringLiteral("qtbase"), QStringLiteral("_"),
                           QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
            delete qtTexts;
            qtTexts = nullptr;
            return false;
        }
        QCoreApplication::installTranslator(qtTexts);
    }
    return true;
}

}  // namespace corvane
