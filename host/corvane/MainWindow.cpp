#include "MainWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "HostLog.h"
#include "HostSettings.h"
#include "Packer.h"
#include "TextCodec.h"

namespace corvane {
namespace {

QString exportAnswerText(const QString& answer) {
    if (answer == "-2") return QString::fromUtf8("没有选中任何人员");
    if (answer == "-3") return QString::fromUtf8("无法创建人员包目录");
    if (answer == " ") return QString::fromUtf8("导出失败");
    return QString::fromUtf8("人员包已写出：") + answer;
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

}  // namespace

MainWindow::MainWindow(const Plugin& plugin, QWidget* parent)
    : QMainWindow(parent), plugin_(plugin) {
    setWindowTitle(QApplication::applicationDisplayName());
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    auto* form = new QHBoxLayout;
    databaseEdit = new QLineEdit(cvhost::Settings::instance().value("db"), central);
    databaseEdit->setPlaceholderText(QString::fromUtf8("SQLite 文件或 postgresql:// 地址"));
    styleBox = new QComboBox(central);
    styleBox->addItem(QString::fromUtf8("本地数据库"), "local");
    styleBox->addItem(QString::fromUtf8("应用服务器"), "networked");
    styleBox->setCurrentIndex(cvhost::Settings::instance().workingStyle() == 1 ? 1 : 0);
    openButton = new QPushButton(QString::fromUtf8("打开"), central);
    form->addWidget(new QLabel(QString::fromUtf8("数据库："), central));
    form->addWidget(databaseEdit, 1);
    form->addWidget(styleBox);
    form->addWidget(openButton);
    layout->addLayout(form);

    auto* actions = new QHBoxLayout;
    previewButton = new QPushButton(QString::fromUtf8("人员预览"), central);
    exportButton = new QPushButton(QString::fromUtf8("导出人员…"), central);
    importButton = new QPushButton(QString::fromUtf8("导入人员…"), central);
    writeButton = new QPushButton(QString::fromUtf8("写出人员包"), central);
    runImportButton = new QPushButton(QString::fromUtf8("导入选中人员"), central);
    for (QPushButton* b : {previewButton, exportButton, importButton, writeButton, runImportButton})
        actions->addWidget(b);
    actions->addStretch(1);
    layout->addLayout(actions);

    framePanel = new QWidget(central);
    framePanel->setObjectName("framePanel");
    framePanel->setLayout(new QVBoxLayout);
    framePanel->layout()->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(framePanel, 1);
    statusLabel = new QLabel(central);
    layout->addWidget(statusLabel);
    logList = new QListWidget(central);
    logList->setMaximumHeight(110);
    layout->addWidget(logList);
    setCentralWidget(central);
    resize(760, 640);

    session_ = new QObject(this);
    connect(openButton, &QPushButton::clicked, this, &MainWindow::openInstallation);
    connect(previewButton, &QPushButton::clicked, this, &MainWindow::preview);
    connect(exportButton, &QPushButton::clicked, this, &MainWindow::beginExport);
    connect(writeButton, &QPushButton::clicked, this, &MainWindow::writePackage);
    connect(importButton, &QPushButton::clicked, this, &MainWindow::beginImport);
    connect(runImportButton, &QPushButton::clicked, this, &MainWindow::runImport);
    endConversation();
}

MainWindow::~MainWindow() { endConversation(); }

void MainWindow::report(const QString& text) {
    statusLabel->setText(text);
    logList->addItem(text);
    logList->scrollToBottom();
}

void MainWindow::openInstallation() {
    endConversation();
    auto& settings = cvhost::Settings::instance();
    settings.set("db", databaseEdit->text().trimmed());
    settings.set("style", styleBox->currentData().toString());
    delete session_;
    session_ = new QObject(this);
    report(cvhost::baseConnection() ? QString::fromUtf8("已打开：") + databaseEdit->text()
                                    : QString::fromUtf8("无法打开：") + databaseEdit->text());
}

void MainWindow::preview() {
    const int answer = plugin_.view(session_, QGuiApplication::primaryScreen(), nullptr, 0);
    report(answer == 1 ? QString::fromUtf8("预览已关闭")
                       : QString::fromUtf8("无法预览：数据库不可用"));
}

void MainWindow::beginExport() {
    endConversation();
    if (plugin_.exportProc(session_, QGuiApplication::primaryScreen(), nullptr, 0, framePanel) !=
        1) {
        plugin_.freeFrame(session_, QGuiApplication::primaryScreen(), nullptr, 0, 0);
        report(QString::fromUtf8("无法显示人员树：数据库不可用"));
        return;
    }
    conversation_ = Conversation::Export;
    writeButton->setEnabled(true);
    report(QString::fromUtf8("请选择要导出的人员，然后点击“写出人员包”"));
}

void MainWindow::writePackage() {
    if (conversation_ != Conversation::Export) return;
    QString target = nextPackageToWrite;
    nextPackageToWrite.clear();
    if (target.isEmpty())
        target =
            QFileDialog::getSaveFileName(this, QString::fromUtf8("保存人员包"),
                                         QDir::homePath() + "/person-package.zip", "Zip (*.zip)");
    if (target.isEmpty()) return;
    const QString answer = plugin_.writePackage(session_);
    QString text = exportAnswerText(answer);
    if (answer.endsWith('/')) {
        QString error;
        text = cvhost::packDirectory(answer, target, &error)
                   ? QString::fromUtf8("人员包已保存：") + target
                   : QString::fromUtf8("无法保存人员包：") + error;
    }
    endConversation();
    report(text);
}

void MainWindow::beginImport() {
    endConversation();
    QString package = nextPackageToRead;
    nextPackageToRead.clear();
    if (package.isEmpty())
        package = QFileDialog::getOpenFileName(this, QString::fromUtf8("打开人员包"),
                                               QDir::homePath(), "Zip (*.zip)");
    if (package.isEmpty()) return;
    importArgument_ = package;
    const QByteArray argument = cv::toGbk(package);
    if (plugin_.importProc(session_, QGuiApplication::primaryScreen(), nullptr, 0,
                           argument.constData(), framePanel) != 1) {
        plugin_.freeFrame(session_, QGuiApplication::primaryScreen(), nullptr, 0, 0);
        report(QString::fromUtf8("无法读取人员包：") + package);
        return;
    }
    conversation_ = Conversation::Import;
    runImportButton->setEnabled(true);
    report(QString::fromUtf8("请选择要导入的人员，然后点击“导入选中人员”"));
}

void MainWindow::runImport() {
    if (conversation_ != Conversation::Import) return;
    const LogTail log;
    const QByteArray argument = cv::toGbk(importArgument_);
    const int answer = plugin_.importPackage(session_, QGuiApplication::primaryScreen(), nullptr, 0,
                                             argument.constData());
    endConversation();
    report(importAnswerText(answer));
    logList->addItems(log.newMessages());
}

void MainWindow::endConversation() {
    if (conversation_ != Conversation::None)
        plugin_.freeFrame(session_, QGuiApplication::primaryScreen(), nullptr, 0, 0);
    conversation_ = Conversation::None;
    writeButton->setEnabled(false);
    runImportButton->setEnabled(false);
}

}  // namespace corvane
