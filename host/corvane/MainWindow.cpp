#include "MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDate>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QTime>
#include <QUrl>
#include <QVBoxLayout>

#include "Application.h"
#include "Database.h"
#include "EmbeddedTree.h"
#include "FileDialog.h"
#include "HostLog.h"
#include "HostSettings.h"
#include "Packer.h"
#include "ReportModel.h"
#include "TextCodec.h"
#include "WatchedImport.h"

namespace corvane {
namespace {

enum Page { WelcomePage, ExportPage, ImportPage };

// The user's own settings of the host program.
QSettings preferences() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("corvane"),
                     QStringLiteral("corvane"));
}

bool onServer(const QString& store) { return store.startsWith(QLatin1String("postgres")); }

// A store as it is shown, and as it is remembered: a server address without its password.
QString shownStore(const QString& store) {
    return onServer(store) ? QUrl(store).toDisplayString(QUrl::RemovePassword) : store;
}
QString rememberedStore(const QString& store) {
    return onServer(store) ? QUrl(store).toString(QUrl::RemovePassword | QUrl::FullyEncoded)
                           : store;
}

QString exportAnswerText(const QString& answer) {
    if (answer == "-2") return QString::fromUtf8("没有选中任何人员");
    if (answer == "-3") return QString::fromUtf8("无法创建人员包目录");
    return QString::fromUtf8("导出失败：数据库不可用或人员包无法写出");
}

QString importAnswerText(int answer) {
    switch (answer) {
        case 1:
            return QString::fromUtf8("导入完成");
        case -2:
            return QString::fromUtf8("没有选中任何人员");
        default:
            return QString::fromUtf8("导入失败：人员包无法读取或数据库不可用");
    }
}

QString folderOr(const QString& remembered) {
    return !remembered.isEmpty() && QFileInfo(remembered).isDir() ? remembered : QDir::homePath();
}

QLabel* heading(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 1.25);
    font.setBold(true);
    label->setFont(font);
    return label;
}

}  // namespace

MainWindow::MainWindow(const Plugin& plugin, QWidget* parent)
    : QMainWindow(parent), plugin_(plugin) {
    setWindowTitle(hostTitle());
    QSettings prefs = preferences();
    const auto& host = cvhost::Settings::instance();
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(10, 10, 10, 6);
    layout->setSpacing(8);

    auto* form = new QHBoxLayout;
    // The command line's database and style first, else the ones last opened.
    QString db = host.value("db");
    if (db.isEmpty()) db = prefs.value("db").toString();
    databaseEdit = new QLineEdit(db, central);
    databaseEdit->setPlaceholderText(QString::fromUtf8("SQLite 文件或 postgresql:// 地址"));
    databaseEdit->setClearButtonEnabled(true);
    browseButton = new QPushButton(QString::fromUtf8("浏览…"), central);
    styleBox = new QComboBox(central);
    styleBox->addItem(QString::fromUtf8("本地数据库"), "local");
    styleBox->addItem(QString::fromUtf8("应用服务器"), "networked");
    QString style = host.value("style");
    if (style.isEmpty()) style = prefs.value("style", "local").toString();
    styleBox->setCurrentIndex(style == "networked" ? 1 : 0);
    openButton = new QPushButton(QString::fromUtf8("打开"), central);
    form->addWidget(new QLabel(QString::fromUtf8("数据库："), central));
    form->addWidget(databaseEdit, 1);
    form->addWidget(browseButton);
    form->addWidget(new QLabel(QString::fromUtf8("工作方式："), central));
    form->addWidget(styleBox);
    form->addWidget(openButton);
    layout->addLayout(form);

    auto* actions = new QHBoxLayout;
    previewButton = new QPushButton(QString::fromUtf8("人员预览"), central);
    exportButton = new QPushButton(QString::fromUtf8("导出人员…"), central);
    importButton = new QPushButton(QString::fromUtf8("导入人员…"), central);
    writeButton = new QPushButton(QString::fromUtf8("写出人员包"), central);
    runImportButton = new QPushButton(QString::fromUtf8("导入选中人员"), central);
    cancelButton = new QPushButton(QString::fromUtf8("取消"), central);
    for (QPushButton* b : {previewButton, exportButton, importButton}) actions->addWidget(b);
    actions->addStretch(1);
    for (QPushButton* b : {writeButton, runImportButton, cancelButton}) actions->addWidget(b);
    writeButton->setDefault(true);
    runImportButton->setDefault(true);
    layout->addLayout(actions);

    splitter_ = new QSplitter(Qt::Vertical, central);
    splitter_->setChildrenCollapsible(false);
    framePanel = new QWidget(splitter_);
    framePanel->setObjectName("framePanel");
    framePanel->setLayout(new QVBoxLayout);
    framePanel->layout()->setContentsMargins(0, 0, 0, 0);
    framePanel->setMinimumHeight(200);
    resultTabs = new QTabWidget(splitter_);
    buildResultPane(resultTabs);
    splitter_->addWidget(framePanel);
    splitter_->addWidget(resultTabs);
    splitter_->setStretchFactor(0, 3);
    splitter_->setStretchFactor(1, 2);
    layout->addWidget(splitter_, 1);
    setCentralWidget(central);

    statusLabel = new QLabel(this);
    statusBar()->addWidget(statusLabel, 1);
    resize(980, 700);
    restoreGeometry(prefs.value("geometry").toByteArray());

    session_ = new QObject(this);
    connect(openButton, &QPushButton::clicked, this, &MainWindow::openInstallation);
    connect(databaseEdit, &QLineEdit::returnPressed, this, &MainWindow::openInstallation);
    connect(browseButton, &QPushButton::clicked, this, &MainWindow::browseDatabase);
    connect(previewButton, &QPushButton::clicked, this, &MainWindow::preview);
    connect(exportButton, &QPushButton::clicked, this, &MainWindow::beginExport);
    connect(writeButton, &QPushButton::clicked, this, &MainWindow::writePackage);
    connect(importButton, &QPushButton::clicked, this, &MainWindow::beginImport);
    connect(runImportButton, &QPushButton::clicked, this, &MainWindow::runImport);
    connect(cancelButton, &QPushButton::clicked, this, [this] {
        endConversation();
        report(QString::fromUtf8("已取消"));
    });
    connect(openFolderButton, &QPushButton::clicked, this, [this] {
        QDesktopServices::openUrl(
            QUrl::fromLocalFile(QFileInfo(packageFileLabel->text()).absolutePath()));
    });
    connect(saveReportButton, &QPushButton::clicked, this, &MainWindow::saveReport);
    connect(reportFilter, &QComboBox::currentIndexChanged, this, &MainWindow::filterReport);
    setOpened(false);
    endConversation();
    report(QString::fromUtf8("请选择一个安装的数据库并点击“打开”"));
}

MainWindow::~MainWindow() { endConversation(); }

void MainWindow::closeEvent(QCloseEvent* event) {
    preferences().setValue("geometry", saveGeometry());
    QMainWindow::closeEvent(event);
}

void MainWindow::buildResultPane(QWidget* parent) {
    resultPages = new QStackedWidget(parent);

    auto* welcome = new QLabel(
        QString::fromUtf8("<h3>Corvane 人员管理</h3>"
                          "<p>打开一个安装的数据库，然后：</p>"
                          "<ul><li><b>人员预览</b>：查看本系统的部门与人员；</li>"
                          "<li><b>导出人员…</b>：勾选人员，写出人员包（zip 文件）；</li>"
                          "<li><b>导入人员…</b>：打开人员包，勾选要导入的人员。</li></ul>"
                          "<p>每次导出或导入的结果都会显示在这里。</p>"),
        resultPages);
    welcome->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    welcome->setMargin(12);
    welcome->setWordWrap(true);
    resultPages->addWidget(welcome);

    auto* exported = new QWidget(resultPages);
    auto* exportLayout = new QVBoxLayout(exported);
    exportLayout->setContentsMargins(16, 14, 16, 14);
    exportLayout->setSpacing(10);
    exportLayout->addWidget(heading(QString::fromUtf8("人员包已保存"), exported));
    exportCountsLabel = new QLabel(exported);
    QFont big = exportCountsLabel->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    exportCountsLabel->setFont(big);
    exportLayout->addWidget(exportCountsLabel);
    packageFileLabel = new QLabel(exported);
    packageFileLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    packageFileLabel->setWordWrap(true);
    exportLayout->addWidget(packageFileLabel);
    auto* hint = new QLabel(
        QString::fromUtf8("把这个 zip 文件带到另一处安装，在那里用“导入人员…”导入。"), exported);
    hint->setStyleSheet(QStringLiteral("color: #666"));
    exportLayout->addWidget(hint);
    auto* exportButtons = new QHBoxLayout;
    openFolderButton = new QPushButton(style()->standardIcon(QStyle::SP_DirOpenIcon),
                                       QString::fromUtf8("打开所在文件夹"), exported);
    exportButtons->addWidget(openFolderButton);
    exportButtons->addStretch(1);
    exportLayout->addLayout(exportButtons);
    exportModel_ = new PackageModel(this);
    auto* exportRows = new QSortFilterProxyModel(this);
    exportRows->setSourceModel(exportModel_);
    exportView = new QTableView(exported);
    exportView->setModel(exportRows);
    exportLayout->addWidget(exportView, 1);
    resultPages->addWidget(exported);

    auto* imported = new QWidget(resultPages);
    auto* importLayout = new QVBoxLayout(imported);
    importLayout->setContentsMargins(8, 8, 8, 8);
    reportSummaryLabel = new QLabel(imported);
    reportSummaryLabel->setWordWrap(true);
    reportSummaryLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    importLayout->addWidget(reportSummaryLabel);
    auto* tools = new QHBoxLayout;
    reportFilter = new QComboBox(imported);
    reportFilter->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    saveReportButton = new QPushButton(style()->standardIcon(QStyle::SP_DialogSaveButton),
                                       QString::fromUtf8("保存报告…"), imported);
    tools->addWidget(new QLabel(QString::fromUtf8("显示："), imported));
    tools->addWidget(reportFilter);
    tools->addStretch(1);
    tools->addWidget(saveReportButton);
    importLayout->addLayout(tools);
    reportModel_ = new ReportModel(this);
    reportRows_ = new QSortFilterProxyModel(this);
    reportRows_->setSourceModel(reportModel_);
    reportRows_->setFilterRole(Qt::UserRole);
    reportRows_->setFilterKeyColumn(0);
    reportView = new QTableView(imported);
    reportView->setModel(reportRows_);
    for (QTableView* view : {exportView, reportView}) {
        view->setSortingEnabled(true);
        view->sortByColumn(-1, Qt::AscendingOrder);  // file order until a header is clicked
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setAlternatingRowColors(true);
        view->setWordWrap(false);
        view->verticalHeader()->hide();
        view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 8);
        view->horizontalHeader()->setStretchLastSection(true);
        view->horizontalHeader()->setHighlightSections(false);
    }
    importLayout->addWidget(reportView, 1);
    resultPages->addWidget(imported);

    resultTabs->addTab(resultPages, QString::fromUtf8("结果"));
    logList = new QListWidget(resultTabs);
    logList->setAlternatingRowColors(true);
    resultTabs->addTab(logList, QString::fromUtf8("日志"));
}

const cvhost::ImportReport* MainWindow::report() const {
    return resultPages->currentIndex() == ImportPage && saveReportButton->isEnabled()
               ? &reportModel_->report()
               : nullptr;
}

void MainWindow::report(const QString& text) {
    statusLabel->setText(text);
    logList->addItem(QTime::currentTime().toString("HH:mm:ss  ") + text);
    logList->scrollToBottom();
}

void MainWindow::setOpened(bool opened) {
    for (QPushButton* b : {previewButton, exportButton, importButton}) b->setEnabled(opened);
}

void MainWindow::browseDatabase() {
    const QString current = databaseEdit->text().trimmed();
    const QString start = QFileInfo(current).isFile() ? current : folderOr(QString());
    const QString file =
        askForFile(this, QString::fromUtf8("打开数据库"), start,
                   QString::fromUtf8("SQLite 数据库 (*.sqlite *.db);;所有文件 (*)"), false);
    if (file.isEmpty()) return;
    databaseEdit->setText(file);
    openInstallation();
}

void MainWindow::openInstallation() {
    endConversation();
    setOpened(false);
    const QString target = databaseEdit->text().trimmed();
    if (target.isEmpty()) {
        report(QString::fromUtf8("请输入数据库：SQLite 文件或 postgresql:// 地址"));
        return;
    }
    if (missingStore(target)) {
        report(QString::fromUtf8("未打开：数据库文件不存在"));
        QMessageBox::warning(this, hostTitle(),
                             QString::fromUtf8("数据库文件不存在：\n%1\n\n"
                                               "新的安装请用命令 corvane init --db 文件 创建。")
                                 .arg(target));
        return;
    }
    auto& settings = cvhost::Settings::instance();
    settings.set("db", target);
    settings.set("style", styleBox->currentData().toString());
    delete session_;
    session_ = new QObject(this);
    cv::Connection* connection = cvhost::baseConnection();
    if (!connection) {
        report(QString::fromUtf8("无法打开：") + shownStore(target));
        return;
    }
    int people = 0;
    int departments = 0;
    try {
        cv::Query count(connection);
        count.setCommandText("SELECT count(*) AS n FROM CV_PersonInfo");
        count.open();
        people = count.field("n").toInt();
        count.close();
        count.setCommandText("SELECT count(*) AS n FROM CV_DeptInfo");
        count.open();
        departments = count.field("n").toInt();
    } catch (const std::exception&) {
        report(QString::fromUtf8("无法打开：%1 不是人员库（缺少 CV_PersonInfo 或 CV_DeptInfo 表）")
                   .arg(shownStore(target)));
        return;
    }
    QSettings prefs = preferences();
    prefs.setValue("db", rememberedStore(target));
    prefs.setValue("style", styleBox->currentData().toString());
    setWindowTitle(hostTitle() + QStringLiteral(" — ") +
                   (onServer(target) ? shownStore(target) : QFileInfo(target).fileName()));
    setOpened(true);
    report(QString::fromUtf8("已打开：%1（%2 人，%3 个部门）")
               .arg(shownStore(target))
               .arg(people)
               .arg(departments));
}

// Asked before every step that reads or writes the store through the plug-in. When the
// process lost its locks on the store, the frame goes (the plug-in's components hold the
// connection), every connection is closed without touching the store, and the store is
// opened afresh; the step is not taken and the user is told.
bool MainWindow::storeLocksHeld() {
    const QStringList lost = cvhost::storesWithLostLocks();
    if (lost.isEmpty()) return true;
    endConversation();
    delete session_;
    session_ = new QObject(this);
    cvhost::closeConnectionsAfterLostLocks();
    const bool reopened = cvhost::baseConnection() && cvhost::storesWithLostLocks().isEmpty();
    if (!reopened) {
        setOpened(false);
        setWindowTitle(hostTitle());
    }
    const QString text =
        QString::fromUtf8(
            "本程序对数据库文件 %1 的锁已丢失：本进程中有程序打开又关闭了这个文件。"
            "这时写入的数据可能写进已被别的程序删除的日志文件而丢失，"
            "所以本次操作没有执行。")
            .arg(lost.join(QStringLiteral("、"))) +
        (reopened ? QString::fromUtf8("数据库已重新打开，请重新操作。")
                  : QString::fromUtf8("无法重新取得数据库的锁，请关闭本程序后重新打开。"));
    cvhost::writeLog(text);
    report(text);
    QMessageBox::warning(this, hostTitle(), text);
    return false;
}

void MainWindow::preview() {
    if (!storeLocksHeld()) return;
    const int answer = plugin_.view(session_, screen(), nullptr, 0);
    report(answer == 1 ? QString::fromUtf8("预览已关闭")
                       : QString::fromUtf8("无法预览：数据库不可用"));
}

void MainWindow::beginExport() {
    endConversation();
    if (!storeLocksHeld()) return;
    if (plugin_.exportProc(session_, screen(), nullptr, 0, framePanel) != 1) {
        plugin_.freeFrame(session_, screen(), nullptr, 0, 0);
        report(QString::fromUtf8("无法显示人员树：数据库不可用"));
        return;
    }
    conversation_ = Conversation::Export;
    framePanel->show();
    for (QPushButton* b : {writeButton, cancelButton}) {
        b->show();
        b->setEnabled(true);
    }
    report(QString::fromUtf8("请勾选要导出的人员，然后点击“写出人员包”"));
}

void MainWindow::writePackage() {
    if (conversation_ != Conversation::Export) return;
    // The file is asked for only once it is known that somebody is ticked.
    if (personTicks(framePanel).ticked() == 0) {
        report(QString::fromUtf8("没有选中任何人员"));
        QMessageBox::information(this, hostTitle(),
                                 QString::fromUtf8("没有勾选任何人员。请先勾选要导出的人员。"));
        return;
    }
    QSettings prefs = preferences();
    QString target = nextPackageToWrite;
    nextPackageToWrite.clear();
    if (target.isEmpty())
        target = askForFile(this, QString::fromUtf8("保存人员包"),
                            folderOr(prefs.value("packageFolder").toString()) +
                                QString::fromUtf8("/人员包-") +
                                QDate::currentDate().toString("yyyyMMdd") + ".zip",
                            QString::fromUtf8("人员包 (*.zip)"), true);
    if (target.isEmpty()) return;
    prefs.setValue("packageFolder", QFileInfo(target).absolutePath());
    if (!storeLocksHeld()) return;
    const QString answer = plugin_.writePackage(session_);
    endConversation();
    if (!answer.endsWith('/')) {
        report(exportAnswerText(answer));
        return;
    }
    // What was written is read back for the result pane before the package is packed: a
    // package the host cannot read is not handed on.
    cvhost::PackageContents contents;
    QString error;
    bool packed = false;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        contents = cvhost::readPackage(answer);
        packed = cvhost::packDirectory(answer, target, &error);
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
    }
    QGuiApplication::restoreOverrideCursor();
    if (!packed) {
        report(QString::fromUtf8("无法保存人员包：") + error);
        return;
    }
    showExportResult(target, contents);
    report(QString::fromUtf8("人员包已保存：") + target);
}

void MainWindow::showExportResult(const QString& file, const cvhost::PackageContents& contents) {
    resultPages->setCurrentIndex(ExportPage);
    resultTabs->setCurrentIndex(0);
    packageFileLabel->setText(QDir::toNativeSeparators(file));
    exportCountsLabel->setText(QString::fromUtf8("%1 人，%2 个部门")
                                   .arg(contents.people.size())
                                   .arg(contents.departments));
    exportModel_->setPeople(contents.people);
    exportView->resizeColumnsToContents();
}

void MainWindow::beginImport() {
    endConversation();
    QString package = nextPackageToRead;
    nextPackageToRead.clear();
    QSettings prefs = preferences();
    if (package.isEmpty())
        package = askForFile(this, QString::fromUtf8("打开人员包"),
                             folderOr(prefs.value("packageFolder").toString()),
                             QString::fromUtf8("人员包 (*.zip);;所有文件 (*)"), false);
    if (package.isEmpty()) return;
    prefs.setValue("packageFolder", QFileInfo(package).absolutePath());
    if (!storeLocksHeld()) return;
    importArgument_ = package;
    const QByteArray argument = cv::toGbk(package);
    if (plugin_.importProc(session_, screen(), nullptr, 0, argument.constData(), framePanel) != 1) {
        plugin_.freeFrame(session_, screen(), nullptr, 0, 0);
        report(QString::fromUtf8("无法读取人员包：") + package);
        return;
    }
    conversation_ = Conversation::Import;
    framePanel->show();
    for (QPushButton* b : {runImportButton, cancelButton}) {
        b->show();
        b->setEnabled(true);
    }
    report(QString::fromUtf8("请勾选要导入的人员，然后点击“导入选中人员”"));
}

void MainWindow::runImport() {
    if (conversation_ != Conversation::Import || !storeLocksHeld()) return;
    const WatchedImport run = runWatchedImport(plugin_, session_, framePanel, importArgument_);
    endConversation();
    for (const QString& message : run.log) logList->addItem(message);
    showImportResult(run);
    report(importAnswerText(run.result));
}

void MainWindow::showImportResult(const WatchedImport& run) {
    resultPages->setCurrentIndex(ImportPage);
    resultTabs->setCurrentIndex(0);
    reportFilter->blockSignals(true);
    reportFilter->clear();
    if (!run.report) {
        reportModel_->setReport({});
        reportSummaryLabel->setText(QString::fromUtf8("%1。无法生成导入报告：%2")
                                        .arg(importAnswerText(run.result), run.reportError));
        saveReportButton->setEnabled(false);
        reportFilter->blockSignals(false);
        return;
    }
    const cvhost::ImportReport& report = *run.report;
    QString counts;
    reportFilter->addItem(QString::fromUtf8("全部 (%1)").arg(report.rows.size()), QString());
    for (int i = 0; i < cvhost::OutcomeCount; ++i) {
        const auto outcome = cvhost::Outcome(i);
        const QString label = cvhost::outcomeLabel(outcome);
        reportFilter->addItem(QStringLiteral("%1 (%2)").arg(label).arg(report.count(outcome)),
                              cvhost::outcomeName(outcome));
        counts += QStringLiteral("%1<b>%2</b> %3")
                      .arg(i ? QStringLiteral(" &nbsp;·&nbsp; ") : QString())
                      .arg(report.count(outcome))
                      .arg(label);
    }
    QString text = QStringLiteral("<b>%1</b>：人员包中 %2 人 &nbsp;—&nbsp; %3")
                       .arg(importAnswerText(run.result).toHtmlEscaped())
                       .arg(report.rows.size())
                       .arg(counts);
    if (!report.summaryLine.isEmpty())
        text += QStringLiteral("<br><span style='color:#555'>%1</span>")
                    .arg(report.summaryLine.toHtmlEscaped());
    reportSummaryLabel->setText(text);
    reportModel_->setReport(report);
    reportFilter->blockSignals(false);
    filterReport();
    saveReportButton->setEnabled(true);
    reportView->resizeColumnsToContents();
    for (int column = 0; column < ReportModel::Reason; ++column)
        reportView->setColumnWidth(column, qMin(reportView->columnWidth(column), 260));
}

void MainWindow::filterReport() {
    const QString outcome = reportFilter->currentData().toString();
    reportRows_->setFilterRegularExpression(
        outcome.isEmpty() ? QString() : '^' + QRegularExpression::escape(outcome) + '$');
}

void MainWindow::saveReport() {
    QSettings prefs = preferences();
    const QString file = askForFile(this, QString::fromUtf8("保存导入报告"),
                                    folderOr(prefs.value("reportFolder").toString()) +
                                        QString::fromUtf8("/导入报告-") +
                                        QDate::currentDate().toString("yyyyMMdd") + ".csv",
                                    QString::fromUtf8("CSV 文件 (*.csv)"), true);
    if (file.isEmpty()) return;
    prefs.setValue("reportFolder", QFileInfo(file).absolutePath());
    QString error;
    if (cvhost::saveReportCsv(reportModel_->report(), file, &error))
        report(QString::fromUtf8("导入报告已保存：") + file);
    else
        report(QString::fromUtf8("无法保存导入报告：") + error);
}

void MainWindow::endConversation() {
    if (conversation_ != Conversation::None) plugin_.freeFrame(session_, screen(), nullptr, 0, 0);
    conversation_ = Conversation::None;
    framePanel->hide();
    for (QPushButton* b : {writeButton, runImportButton, cancelButton}) {
        b->hide();
        b->setEnabled(false);
    }
}

}  // namespace corvane
