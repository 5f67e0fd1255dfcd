#include "MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDate>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
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
#include "Busy.h"
#include "Database.h"
#include "EmbeddedTree.h"
#include "FileDialog.h"
#include "HostLog.h"
#include "HostSettings.h"
#include "Installation.h"
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
// A server address with the password of the password field, which the address itself never
// shows.
QString withPassword(const QString& store, const QString& password) {
    if (!onServer(store) || password.isEmpty()) return store;
    QUrl url(store);
    url.setPassword(password);
    return url.toString(QUrl::FullyEncoded);
}
// Who the server is asked as: user@host:port.
QString serverAccount(const QString& store) {
    const QUrl url(store);
    return url.userName() + '@' + url.host() +
           (url.port() > 0 ? ':' + QString::number(url.port()) : QString());
}

// A count as the interface writes it: 100,000.
QString count(qsizetype n) { return QLocale().toString(qlonglong(n)); }

// What the plug-in logged while it answered: the reason of a failure is its last line.
QString reasonHeard(const QStringList& heard) {
    return heard.isEmpty() ? QString::fromUtf8("插件没有说明原因 (日志中没有它的话)")
                           : heard.last();
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
    databaseEdit = new QLineEdit(rememberedStore(db), central);
    databaseEdit->setPlaceholderText(QString::fromUtf8("SQLite 文件或 postgresql:// 地址"));
    databaseEdit->setClearButtonEnabled(true);
    passwordLabel = new QLabel(QString::fromUtf8("密码："), central);
    passwordEdit = new QLineEdit(onServer(db) ? QUrl(db).password() : QString(), central);
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setPlaceholderText(QString::fromUtf8("服务器要求时"));
    passwordEdit->setMaximumWidth(130);
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
    form->addWidget(passwordLabel);
    form->addWidget(passwordEdit);
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
    planButton = new QPushButton(QString::fromUtf8("预演"), central);
    planButton->setToolTip(QString::fromUtf8("列出导入将如何处理每个勾选的人员，不写入任何数据"));
    runImportButton = new QPushButton(QString::fromUtf8("导入选中人员"), central);
    cancelButton = new QPushButton(QString::fromUtf8("取消"), central);
    for (QPushButton* b : {previewButton, exportButton, importButton}) actions->addWidget(b);
    actions->addStretch(1);
    for (QPushButton* b : {writeButton, planButton, runImportButton, cancelButton})
        actions->addWidget(b);
    writeButton->setDefault(true);
    runImportButton->setDefault(true);
    layout->addLayout(actions);

    // The frame keeps the size its own layout needs: in a window smaller than that it scrolls
    // instead of squeezing its fields over each other.
    splitter_ = new QSplitter(Qt::Vertical, central);
    splitter_->setChildrenCollapsible(false);
    frameArea = new QScrollArea(splitter_);
    frameArea->setWidgetResizable(true);
    frameArea->setFrameShape(QFrame::NoFrame);
    framePanel = new QWidget;
    framePanel->setObjectName("framePanel");
    framePanel->setLayout(new QVBoxLayout);
    framePanel->layout()->setContentsMargins(0, 0, 0, 0);
    frameArea->setWidget(framePanel);
    frameArea->setMinimumHeight(160);
    resultTabs = new QTabWidget(splitter_);
    resultTabs->setMinimumHeight(90);
    buildResultPane(resultTabs);
    splitter_->addWidget(frameArea);
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
    passwordLabel->setVisible(onServer(db));
    passwordEdit->setVisible(onServer(db));
    // A password belongs to one account on one server: another address clears it.
    connect(databaseEdit, &QLineEdit::textEdited, this, [this](const QString& text) {
        const bool server = onServer(text.trimmed());
        passwordLabel->setVisible(server);
        passwordEdit->setVisible(server);
        const QString account = server ? serverAccount(text.trimmed()) : QString();
        if (account != passwordAccount_) passwordEdit->clear();
        passwordAccount_ = account;
    });
    passwordAccount_ = onServer(db) ? serverAccount(db) : QString();
    connect(openButton, &QPushButton::clicked, this, &MainWindow::openInstallation);
    connect(databaseEdit, &QLineEdit::returnPressed, this, &MainWindow::openInstallation);
    connect(browseButton, &QPushButton::clicked, this, &MainWindow::browseDatabase);
    connect(previewButton, &QPushButton::clicked, this, &MainWindow::preview);
    connect(exportButton, &QPushButton::clicked, this, &MainWindow::beginExport);
    connect(writeButton, &QPushButton::clicked, this, &MainWindow::writePackage);
    connect(importButton, &QPushButton::clicked, this, &MainWindow::beginImport);
    connect(runImportButton, &QPushButton::clicked, this, &MainWindow::runImport);
    connect(planButton, &QPushButton::clicked, this, &MainWindow::showPlan);
    connect(cancelButton, &QPushButton::clicked, this, [this] {
        endConversation();
        report(QString::fromUtf8("已取消"));
    });
    connect(openFolderButton, &QPushButton::clicked, this, &MainWindow::openPackageFolder);
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
    // Column widths from the first rows: measuring 100,000 of them stalls the window.
    reportView->horizontalHeader()->setResizeContentsPrecision(200);
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

// The lines the plug-in logged during a call, into the log tab.
void MainWindow::hear(const QStringList& lines) {
    for (const QString& line : lines) logList->addItem(line);
    logList->scrollToBottom();
}

// A mistake or a failure: said in the status line, in the host's log and in a dialog that
// names its cause.
void MainWindow::refuse(const QString& what, const QString& why) {
    report(what + QString::fromUtf8("：") + why);
    cvhost::writeLog(what + QStringLiteral(": ") + why);
    QMessageBox::warning(this, hostTitle(), what + QStringLiteral("\n\n") + why);
}

// The result pane goes back to its welcome: what it showed no longer applies.
void MainWindow::clearResult() {
    resultPages->setCurrentIndex(WelcomePage);
    reportModel_->setReport({});
    exportModel_->setPeople({});
    saveReportButton->setEnabled(false);
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
    passwordLabel->hide();
    passwordEdit->hide();
    openInstallation();
}

// No installation is open: nothing of the last one is left to act on or to look at.
void MainWindow::forgetInstallation() {
    cvhost::Settings::instance().set("db", {});
    delete session_;
    session_ = new QObject(this);
    cvhost::closeConnections();
    setOpened(false);
    setWindowTitle(hostTitle());
    clearResult();
}

void MainWindow::openInstallation() {
    endConversation();
    setOpened(false);
    QString typed = databaseEdit->text().trimmed();
    // A password typed into the address goes into the password field.
    if (onServer(typed) && !QUrl(typed).password().isEmpty()) {
        passwordEdit->setText(QUrl(typed).password());
        typed = rememberedStore(typed);
        databaseEdit->setText(typed);
        passwordAccount_ = serverAccount(typed);
    }
    passwordLabel->setVisible(onServer(typed));
    passwordEdit->setVisible(onServer(typed));
    if (const QString problem = cvhost::storeFileProblem(typed); !problem.isEmpty()) {
        forgetInstallation();
        QString why = problem;
        if (!typed.isEmpty()) why += QString::fromUtf8("：\n") + typed;
        if (!QFileInfo::exists(typed) || QFileInfo(typed).size() == 0)
            why += QString::fromUtf8("\n\n新的安装请用命令 corvane init --db 文件 创建。");
        refuse(QString::fromUtf8("无法打开数据库"), why);
        return;
    }
    if (!connectInstallation(typed)) return;
    cv::Connection* connection = cvhost::baseConnection();
    qlonglong people = 0;
    qlonglong departments = 0;
    try {
        cv::Query counting(connection);
        counting.setCommandText("SELECT count(*) AS n FROM CV_PersonInfo");
        counting.open();
        people = counting.field("n").toLongLong();
        counting.close();
        counting.setCommandText("SELECT count(*) AS n FROM CV_DeptInfo");
        counting.open();
        departments = counting.field("n").toLongLong();
    } catch (const std::exception& e) {
        forgetInstallation();
        refuse(QString::fromUtf8("无法打开数据库 %1").arg(shownStore(typed)),
               QString::fromUtf8("这不是人员库: ") +
                   cvhost::plainDatabaseError(QString::fromUtf8(e.what())));
        return;
    }
    QSettings prefs = preferences();
    prefs.setValue("db", rememberedStore(typed));
    prefs.setValue("style", styleBox->currentData().toString());
    setWindowTitle(hostTitle() + QStringLiteral(" — ") +
                   (onServer(typed) ? shownStore(typed) : QFileInfo(typed).fileName()));
    clearResult();
    setOpened(true);
    report(QString::fromUtf8("已打开：%1（%2 人，%3 个部门）")
               .arg(shownStore(typed), count(people), count(departments)));
}

// Opens the store for the plug-in; a server that wants a password (or another one) has it
// asked for. False, with everything said, when the store did not open.
bool MainWindow::connectInstallation(const QString& store) {
    auto& settings = cvhost::Settings::instance();
    settings.set("style", styleBox->currentData().toString());
    for (;;) {
        settings.set("db", withPassword(store, passwordEdit->text()));
        delete session_;
        session_ = new QObject(this);
        if (cvhost::baseConnection()) return true;
        const QString error = cvhost::lastOpenError();
        if (!onServer(store) || !cvhost::passwordRefused(error)) {
            forgetInstallation();
            refuse(QString::fromUtf8("无法打开数据库 %1").arg(shownStore(store)),
                   cvhost::plainDatabaseError(error));
            return false;
        }
        const QString asked = passwordEdit->text().isEmpty()
                                  ? QString::fromUtf8("数据库服务器要求密码。\n请输入 %1 的密码：")
                                  : QString::fromUtf8("密码不对。\n请重新输入 %1 的密码：");
        passwordEdit->clear();
        bool given = false;
        const QString password =
            QInputDialog::getText(this, hostTitle(), asked.arg(serverAccount(store)),
                                  QLineEdit::Password, QString(), &given);
        if (!given || password.isEmpty()) {
            forgetInstallation();
            report(QString::fromUtf8("未打开：没有输入密码"));
            return false;
        }
        passwordEdit->setText(password);
        passwordAccount_ = serverAccount(store);
    }
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
    const cvhost::LogCapture heard;
    const int answer = plugin_.view(session_, screen(), nullptr, 0);
    hear(heard.messages());
    if (answer == 1)
        report(QString::fromUtf8("预览已关闭"));
    else
        refuse(QString::fromUtf8("无法预览人员"), reasonHeard(heard.messages()));
}

void MainWindow::showFrame() {
    // The frame keeps the height it asks for (the area scrolls below that); the result pane
    // keeps only its least while the user ticks.
    const auto* frame = framePanel->findChild<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    framePanel->setMinimumHeight(frame ? frame->sizeHint().height() : 0);
    framePanel->show();
    frameArea->show();
    const int total = splitter_->height();
    splitter_->setSizes({total - resultTabs->minimumHeight(), resultTabs->minimumHeight()});
}

void MainWindow::beginExport() {
    endConversation();
    if (!storeLocksHeld()) return;
    const cvhost::LogCapture heard;
    if (plugin_.exportProc(session_, screen(), nullptr, 0, framePanel) != 1) {
        plugin_.freeFrame(session_, screen(), nullptr, 0, 0);
        hear(heard.messages());
        refuse(QString::fromUtf8("无法显示人员树"), reasonHeard(heard.messages()));
        return;
    }
    hear(heard.messages());
    conversation_ = Conversation::Export;
    showFrame();
    for (QPushButton* b : {writeButton, cancelButton}) {
        b->show();
        b->setEnabled(true);
    }
    report(QString::fromUtf8("请勾选要导出的人员，然后点击“写出人员包”"));
}

void MainWindow::writePackage() {
    if (conversation_ != Conversation::Export) return;
    // The file is asked for only once it is known that somebody is ticked.
    if (tickedPeople(framePanel) == 0) {
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
    const cvhost::LogCapture heard;
    const QString answer = plugin_.writePackage(session_);
    endConversation();
    hear(heard.messages());
    if (!answer.endsWith('/')) {
        clearResult();
        refuse(QString::fromUtf8("人员包没有写出"), answer == "-2"
                                                        ? QString::fromUtf8("没有选中任何人员")
                                                        : reasonHeard(heard.messages()));
        return;
    }
    // What was written is read back for the result pane before the package is packed: a
    // package the host cannot read is not handed on.
    cvhost::PackageContents contents;
    QString error;
    bool packed = false;
    waitWhileBusy(this, QString::fromUtf8("正在打包人员包…"), [&] {
        try {
            contents = cvhost::readPackage(answer);
            packed = cvhost::packDirectory(answer, target, &error);
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
    });
    if (!packed) {
        clearResult();
        refuse(QString::fromUtf8("无法保存人员包 %1").arg(target), error);
        return;
    }
    showExportResult(target, contents);
    report(QString::fromUtf8("人员包已保存：") + target);
}

void MainWindow::showExportResult(const QString& file, const cvhost::PackageContents& contents) {
    resultPages->setCurrentIndex(ExportPage);
    resultTabs->setCurrentIndex(0);
    packageFileLabel->setText(QDir::toNativeSeparators(file));
    exportCountsLabel->setText(
        QString::fromUtf8("%1 人，%2 个部门")
            .arg(count(contents.people.size()), count(contents.departments)));
    exportModel_->setPeople(contents.people);
    exportView->resizeColumnsToContents();
    exportView->scrollToTop();
}

void MainWindow::openPackageFolder() {
    const QString folder = QFileInfo(packageFileLabel->text()).absolutePath();
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) return;
    refuse(QString::fromUtf8("无法打开文件夹"),
           QString::fromUtf8("本机没有可以打开文件夹的文件管理器。人员包所在的文件夹是：\n") +
               QDir::toNativeSeparators(folder));
}

void MainWindow::beginImport() {
    // An open selection stays until another package is chosen.
    QString package = nextPackageToRead;
    nextPackageToRead.clear();
    QSettings prefs = preferences();
    if (package.isEmpty())
        package = askForFile(this, QString::fromUtf8("打开人员包"),
                             folderOr(prefs.value("packageFolder").toString()),
                             QString::fromUtf8("人员包 (*.zip);;所有文件 (*)"), false);
    if (package.isEmpty()) return;
    endConversation();
    prefs.setValue("packageFolder", QFileInfo(package).absolutePath());
    if (!storeLocksHeld()) return;
    importArgument_ = package;
    const QByteArray argument = cv::toGbk(package);
    const cvhost::LogCapture heard;
    if (plugin_.importProc(session_, screen(), nullptr, 0, argument.constData(), framePanel) != 1) {
        plugin_.freeFrame(session_, screen(), nullptr, 0, 0);
        hear(heard.messages());
        clearResult();
        refuse(QString::fromUtf8("无法预览人员包 %1").arg(package), reasonHeard(heard.messages()));
        return;
    }
    hear(heard.messages());
    reading_ = std::make_unique<PackageReading>(package);
    conversation_ = Conversation::Import;
    showFrame();
    for (QPushButton* b : {planButton, runImportButton, cancelButton}) {
        b->show();
        b->setEnabled(true);
    }
    report(QString::fromUtf8("请勾选要导入的人员，然后点击“导入选中人员”"));
}

void MainWindow::runImport() {
    if (conversation_ != Conversation::Import || !storeLocksHeld()) return;
    const WatchedImport run =
        runWatchedImport(plugin_, session_, framePanel, this, importArgument_, reading_.get());
    endConversation();
    hear(run.log);
    showImportResult(run);
    const QString ending = cvhost::endingText(run.ending);
    switch (run.ending.end) {
        case cvhost::ImportEnd::Completed:
        case cvhost::ImportEnd::Cancelled:
        case cvhost::ImportEnd::NothingTicked:
            report(ending);
            break;
        default:
            cvhost::writeLog(ending);
            report(ending);
            QMessageBox::warning(this, hostTitle(), ending);
    }
}

void MainWindow::showPlan() {
    if (conversation_ != Conversation::Import || !reading_) return;
    const PlannedImport planned = planImport(framePanel, this, *reading_);
    QString heading = QString::fromUtf8("<b>预演：尚未写入任何人员</b>");
    if (!planned.summary.isEmpty()) heading += "<br>" + planned.summary.toHtmlEscaped();
    showReport(planned.report, heading, planned.error);
    report(planned.report ? QString::fromUtf8("预演完成：以上是导入将如何处理每个人员")
                          : planned.error);
}

void MainWindow::showImportResult(const WatchedImport& run) {
    QString heading = "<b>" + cvhost::endingText(run.ending).toHtmlEscaped() + "</b>";
    if (run.report && !run.report->summaryLine.isEmpty()) {
        heading += QStringLiteral("<br><span style='color:#555'>%1</span>")
                       .arg(run.report->summaryLine.toHtmlEscaped());
        if (!run.report->summaryAgrees)
            heading += QString::fromUtf8(
                "<br><span style='color:#a81d16'>注意：插件的小结与本报告"
                "的人数不一致，以本报告逐人列出的为准。</span>");
    }
    showReport(run.report, heading, run.reportError);
}

void MainWindow::showReport(const std::optional<cvhost::ImportReport>& shown,
                            const QString& heading, const QString& error) {
    resultPages->setCurrentIndex(ImportPage);
    resultTabs->setCurrentIndex(0);
    reportFilter->blockSignals(true);
    reportFilter->clear();
    if (!shown) {
        disposal_.drop(reportModel_->setReport({}));
        reportSummaryLabel->setText(
            QString::fromUtf8("%1<br>无法生成导入报告：%2").arg(heading, error.toHtmlEscaped()));
        saveReportButton->setEnabled(false);
        reportFilter->blockSignals(false);
        return;
    }
    const cvhost::ImportReport& report = *shown;
    QString counts;
    reportFilter->addItem(QString::fromUtf8("全部 (%1)").arg(count(report.rows.size())), QString());
    for (int i = 0; i < cvhost::OutcomeCount; ++i) {
        const auto outcome = cvhost::Outcome(i);
        const QString label =
            report.planned ? cvhost::plannedLabel(outcome) : cvhost::outcomeLabel(outcome);
        reportFilter->addItem(QStringLiteral("%1 (%2)").arg(label, count(report.count(outcome))),
                              cvhost::outcomeName(outcome));
        counts += QStringLiteral("%1<b>%2</b> %3")
                      .arg(i ? QStringLiteral(" &nbsp;·&nbsp; ") : QString(),
                           count(report.count(outcome)), label);
    }
    // The heading's first line, then the counts, then the rest of it.
    const qsizetype br = heading.indexOf(QStringLiteral("<br>"));
    reportSummaryLabel->setText(QString::fromUtf8("%1<br>人员包中 %2 人 &nbsp;—&nbsp; %3%4")
                                    .arg(heading.left(br), count(report.rows.size()), counts,
                                         br < 0 ? QString() : heading.mid(br)));
    disposal_.drop(reportModel_->setReport(report));
    reportFilter->blockSignals(false);
    filterReport();
    saveReportButton->setEnabled(true);
    reportView->resizeColumnsToContents();
    for (int column = 0; column < ReportModel::Reason; ++column)
        reportView->setColumnWidth(column, qMin(reportView->columnWidth(column), 260));
    reportView->scrollToTop();
}

void MainWindow::filterReport() {
    const QString outcome = reportFilter->currentData().toString();
    reportRows_->setFilterRegularExpression(
        outcome.isEmpty() ? QString() : '^' + QRegularExpression::escape(outcome) + '$');
    reportView->scrollToTop();
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
        refuse(QString::fromUtf8("无法保存导入报告 %1").arg(file), error);
}

void MainWindow::endConversation() {
    if (conversation_ != Conversation::None) plugin_.freeFrame(session_, screen(), nullptr, 0, 0);
    conversation_ = Conversation::None;
    if (reading_) disposal_.drop(reading_->release());
    reading_.reset();
    framePanel->hide();
    framePanel->setMinimumHeight(0);
    frameArea->hide();
    for (QPushButton* b : {writeButton, planButton, runImportButton, cancelButton}) {
        b->hide();
        b->setEnabled(false);
    }
}

}  // namespace corvane
