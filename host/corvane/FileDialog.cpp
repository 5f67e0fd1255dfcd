#include "FileDialog.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QStyle>

namespace corvane {

QIcon NameOnlyIconProvider::icon(IconType type) const {
    switch (type) {
        case Computer:
            return QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
        case Desktop:
            return QApplication::style()->standardIcon(QStyle::SP_DesktopIcon);
        case Trashcan:
            return QApplication::style()->standardIcon(QStyle::SP_TrashIcon);
        case Network:
            return QApplication::style()->standardIcon(QStyle::SP_DriveNetIcon);
        case Drive:
            return QApplication::style()->standardIcon(QStyle::SP_DriveHDIcon);
        case Folder:
            return QApplication::style()->standardIcon(QStyle::SP_DirIcon);
        case File:
            break;
    }
    return QApplication::style()->standardIcon(QStyle::SP_FileIcon);
}

QIcon NameOnlyIconProvider::icon(const QFileInfo& info) const {
    if (info.isRoot()) return icon(Drive);
    return icon(info.isDir() ? Folder : File);
}

QString NameOnlyIconProvider::type(const QFileInfo& info) const {
    if (info.isRoot()) return QString::fromUtf8("驱动器");
    if (info.isDir()) return QString::fromUtf8("文件夹");
    const QString suffix = info.suffix();
    return suffix.isEmpty() ? QString::fromUtf8("文件")
                            : QString::fromUtf8("%1 文件").arg(suffix.toUpper());
}

QString askForFile(QWidget* parent, const QString& caption, const QString& start,
                   const QString& filter, bool save) {
    static NameOnlyIconProvider icons;
    QFileDialog dialog(parent, caption, QString(), filter);
    dialog.setObjectName(QStringLiteral("fileDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::DontUseCustomDirectoryIcons);
    dialog.setIconProvider(&icons);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    const QFileInfo where(start);
    if (where.isDir()) {
        dialog.setDirectory(start);
    } else {
        dialog.setDirectory(where.absolutePath());
        if (save) dialog.selectFile(where.fileName());
    }
    if (save) dialog.setDefaultSuffix(where.suffix());
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles().value(0);
}

}  // namespace corvane
