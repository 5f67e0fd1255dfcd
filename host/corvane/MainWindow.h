// The host's main window: open an installation, then preview its personnel, export a package
// or import one, each through the plug-in's exports as the desktop host calls them. The
// embedded frame sits above a result pane that keeps the outcome of the last operation: the
// package written (file, people, departments), or the report of the import.
//
// The last database, working style and folders are remembered in the user's settings
// (QSettings, INI format, organisation and application "corvane"; a test moves them with
// QSettings::setPath).
#pragma once

#include <QMainWindow>
#include <memory>
#include <optional>

#include "Disposal.h"
#include "ImportReport.h"
#include "Plugin.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QScrollArea;
class QSortFilterProxyModel;
class QSplitter;
class QStackedWidget;
class QTabWidget;
class QTableView;

namespace corvane {

class PackageModel;
class PackageReading;
class ReportModel;
struct WatchedImport;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(const Plugin& plugin, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The controls a test drives.
    QLineEdit* databaseEdit;
    QLabel* passwordLabel;    // shown for a server address
    QLineEdit* passwordEdit;  // the server's password: never shown, never remembered
    QPushButton* browseButton;
    QComboBox* styleBox;
    QPushButton* openButton;
    QPushButton* previewButton;
    QPushButton* exportButton;
    QPushButton* importButton;
    QPushButton* writeButton;      // "写出人员包": CVPackage_Export, pack, CVPackage_Free
    QPushButton* planButton;       // "预演": the report of what the import would do
    QPushButton* runImportButton;  // "导入选中人员": CVPackage_Import, CVPackage_Free
    QPushButton* cancelButton;     // "取消": CVPackage_Free without writing or importing
    QScrollArea* frameArea;        // scrolls the frame when the window is smaller than it
    QWidget* framePanel;           // receives the embedded frame
    QLabel* statusLabel;
    QListWidget* logList;

    // The result pane.
    QTabWidget* resultTabs;  // 结果, 日志
    QStackedWidget* resultPages;
    QLabel* packageFileLabel;   // after an export: the package file
    QLabel* exportCountsLabel;  // and the people and departments written
    QTableView* exportView;     // the people written
    QPushButton* openFolderButton;
    QLabel* reportSummaryLabel;  // after an import: the import's summary and the counts
    QComboBox* reportFilter;     // 全部, then one entry per outcome
    QTableView* reportView;
    QPushButton* saveReportButton;  // "保存报告…"

    // The report shown, if any.
    const cvhost::ImportReport* report() const;

    // What the user would pick in a file dialog; tests may set them to skip the dialog.
    QString nextPackageToWrite;
    QString nextPackageToRead;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildResultPane(QWidget* parent);
    void openInstallation();
    bool connectInstallation(const QString& store);
    void forgetInstallation();
    void browseDatabase();
    void preview();
    void beginExport();
    void writePackage();
    void beginImport();
    void runImport();
    void showPlan();
    void endConversation();
    void saveReport();
    void showExportResult(const QString& file, const cvhost::PackageContents& contents);
    void showImportResult(const WatchedImport& run);
    // The report pane: `heading` (HTML) above the report's counts and rows, or why there is
    // no report.
    void showReport(const std::optional<cvhost::ImportReport>& report, const QString& heading,
                    const QString& error);
    void filterReport();
    void openPackageFolder();
    void report(const QString& text);
    void hear(const QStringList& lines);
    void refuse(const QString& what, const QString& why);
    void clearResult();
    void showFrame();
    void setOpened(bool opened);
    bool storeLocksHeld();

    Plugin plugin_;
    // The application object the plug-in sees: one per opened installation, since the
    // plug-in's data module keeps the connection it found when it was created.
    QObject* session_ = nullptr;
    QString importArgument_;
    Disposal disposal_;  // before reading_ and the models, which hand it what they let go
    std::unique_ptr<PackageReading> reading_;  // the previewed package, read for the report
    QString passwordAccount_;                  // user@host:port the password field is for
    enum class Conversation { None, Export, Import } conversation_ = Conversation::None;
    QSplitter* splitter_;
    PackageModel* exportModel_;
    ReportModel* reportModel_;
    QSortFilterProxyModel* reportRows_;
};

}  // namespace corvane
