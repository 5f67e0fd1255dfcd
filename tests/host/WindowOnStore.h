// The host's main window in this process over an SQLite store that corvane processes made,
// with the sqlite3 shell as the other programs sharing the store. Shared by the window's tests
// of shared stores and of mistakes.
#pragma once

#include <unistd.h>

#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <memory>

#include "Application.h"
#include "HostSettings.h"
#include "MainWindow.h"
#include "TestHost.h"
#include "WindowDriver.h"

namespace windowdriver {

// Runs a program to its end; its output (both channels), or why it did not run.
inline QString run(const QString& program, const QStringList& arguments, int* exitCode = nullptr) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000)) return program + " 没有运行完: " + process.errorString();
    if (exitCode) *exitCode = process.exitCode();
    return QString::fromUtf8(process.readAll());
}

// Whether this process holds a lock on `path` in the kernel's list.
inline bool locked(const QString& path) {
    const QString inode = run("stat", {"-c", "%i", path}).trimmed();
    QFile locks("/proc/locks");
    if (inode.isEmpty() || !locks.open(QIODevice::ReadOnly)) return false;
    const QString self = QString::number(::getpid());
    for (const QString& line : QString::fromLatin1(locks.readAll()).split('\n')) {
        const QStringList fields = line.simplified().split(' ');
        if (fields.size() > 5 && fields[1] != "->" && fields[4] == self &&
            fields[5].section(':', 2) == inode)
            return true;
    }
    return false;
}

// A store "b.sqlite" (the second sample installation) and, in the same folder, a package of
// the first sample installation, both made by corvane processes; the host's settings and the
// user's preferences of this process pointed into the folder.
struct SharedStore {
    QTemporaryDir dir;
    QString store = dir.filePath("b.sqlite");
    QString package = dir.filePath("people.zip");
    corvane::Plugin plugin;
    std::unique_ptr<corvane::MainWindow> window;
    ModalAnswerer answer;

    // The sqlite3 shell's answer to `sql` on the store: another program opening and closing it.
    QString shell(const QString& sql) { return run("sqlite3", {store, sql}).trimmed(); }

    void SetUp() {
        testhost::reset();
        const QString ini = dir.filePath("a.ini");
        {
            QSettings settings(ini, QSettings::IniFormat);
            settings.setValue("host/db", dir.filePath("a.sqlite"));
            settings.setValue("host/packageDir", dir.filePath("a-package/"));
            settings.setValue("host/tempDir", dir.filePath("a-temp/"));
            settings.setValue("host/logFile", dir.filePath("a.log"));
        }
        for (const QStringList& arguments :
             {QStringList{"init", "--db", dir.filePath("a.sqlite"), "--sample"},
              QStringList{"init", "--db", store, "--sample", "--second"},
              QStringList{"export", "--settings", ini, "--package", package}}) {
            int code = -1;
            const QString printed = run(CV_CORVANE, arguments, &code);
            ASSERT_EQ(code, 0) << printed.toStdString();
        }
        auto& settings = cvhost::Settings::instance();
        settings.set("packageDir", dir.filePath("b-package/"));
        settings.set("tempDir", dir.filePath("b-temp/"));
        settings.set("logFile", dir.filePath("b.log"));
        settings.set("packageVersion", "1");
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.filePath("home"));
        QSettings(QSettings::IniFormat, QSettings::UserScope, "corvane", "corvane")
            .setValue("packageFolder", dir.path());
        ASSERT_TRUE(corvane::setUpApplication()) << "没有安装 Qt 的中文翻译";
        QString error;
        ASSERT_TRUE(plugin.load(&error)) << error.toStdString();
        window = std::make_unique<corvane::MainWindow>(plugin);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        typeInto(window->databaseEdit, store);
        QTest::mouseClick(window->openButton, Qt::LeftButton);
        ASSERT_TRUE(window->importButton->isEnabled()) << window->statusLabel->text().toStdString();
        ASSERT_TRUE(locked(store) && locked(store + "-shm")) << "打开数据库后本进程没有持有锁";
    }

    ~SharedStore() {
        if (window) window->close();
        window.reset();
        testhost::reset();
    }

    // Previews the package (its path already answered) and imports everybody; the report.
    const cvhost::ImportReport* importAll() {
        QTest::mouseClick(window->runImportButton, Qt::LeftButton);
        return window->report();
    }
};

}  // namespace windowdriver
