// The host's main window: open an installation, then preview its personnel, export a package
// or import one, each through the plug-in's exports as the desktop host calls them.
#pragma once

#include <QMainWindow>

#include "Plugin.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QStackedWidget;

namespace corvane {

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(const Plugin& plugin, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The controls a test drives.
    QLineEdit* databaseEdit;
    QComboBox* styleBox;
    QPushButton* openButton;
    QPushButton* previewButton;
    QPushButton* exportButton;
    QPushButton* importButton;
    QPushButton* writeButton;      // "写出人员包": CVPackage_Export, pack, CVPackage_Free
    QPushButton* runImportButton;  // "导入选中人员": CVPackage_Import, CVPackage_Free
    QWidget* framePanel;           // receives the embedded frame
    QLabel* statusLabel;
    QListWidget* logList;

    // What the user would pick in a file dialog; tests set them to skip the dialog.
    QString nextPackageToWrite;
    QString nextPackageToRead;

private:
    void openInstallation();
    void preview();
    void beginExport();
    void writePackage();
    void beginImport();
    void runImport();
    void endConversation();
    void report(const QString& text);

    Plugin plugin_;
    // The application object the plug-in sees: one per opened installation, since the
    // plug-in's data module keeps the connection it found when it was created.
    QObject* session_ = nullptr;
    QString importArgument_;
    enum class Conversation { None, Export, Import } conversation_ = Conversation::None;
};

}  // namespace corvane
