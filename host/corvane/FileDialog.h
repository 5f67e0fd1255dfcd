// The host's file dialogs: Qt's own (not the desktop's), in the interface's language, and
// blind to what the files they list hold.
//
// Qt's own dialog finds each listed file's type and icon through the MIME database, which
// opens and reads a file whose name does not settle its type (the store's -wal and -shm
// files, the store itself). On Linux closing any descriptor of a file drops every POSIX lock
// the process holds on it: a dialog over the store's folder took SQLite's locks away, the next
// program to close the store deleted the write-ahead log, and the host went on writing into
// the deleted file. The dialogs here tell folders from files by their names and the file
// system's answer to stat alone.
#pragma once

#include <QAbstractFileIconProvider>
#include <QString>

class QWidget;

namespace corvane {

// Icons and type texts from a file's name and kind only; never opens the file.
class NameOnlyIconProvider : public QAbstractFileIconProvider {
public:
    QIcon icon(IconType type) const override;
    QIcon icon(const QFileInfo& info) const override;
    QString type(const QFileInfo& info) const override;
};

// Asks for a file to open (`save` false: it must exist) or to save to. `start` is a folder or
// a file (whose folder is shown; when saving, its name is proposed and its suffix added to a
// name typed without one). Answers "" when the user cancelled.
QString askForFile(QWidget* parent, const QString& caption, const QString& start,
                   const QString& filter, bool save);

}  // namespace corvane
