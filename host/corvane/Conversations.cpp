// The host's three conversations with the plug-in, as the desktop host holds them: the
// preview, export (embed, untick, write, pack, free) and import (embed, untick, import,
// free). Unticking is done as a user does it: select the node, press and release Space.
#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <optional>

#include "Commands.h"
#include "EmbeddedTree.h"
#include "HostLog.h"
#include "HostSettings.h"
#include "Packer.h"
#include "Plugin.h"
#include "TextCodec.h"
#include "WatchedImport.h"

namespace corvane {
namespace {

QScreen* screen() { return QGuiApplication::primaryScreen(); }

bool offscreen() { return QGuiApplication::platformName() == "offscreen"; }

// A host window with a panel that receives the embedded frame.
struct HostWindow {
    QWidget window;
    QWidget* panel;
    explicit HostWindow(const QString& title) : panel(new QWidget(&window)) {
        window.setWindowTitle(title);
        auto* layout = new QVBoxLayout(&window);
        layout->setContentsMargins(4, 4, 4, 4);
        layout->addWidget(panel);
        panel->setLayout(new QVBoxLayout);
        panel->layout()->setContentsMargins(0, 0, 0, 0);
        window.resize(720, 520);
        window.show();
    }
    // What the user does with the embedded tree before the operation: untick, and look.
    void userTurn(const Options& options, QTextStream& out) {
        if (!options.untick.isEmpty())
            for (const QString& id : untick(panel, options.untick))
                out << "not in the tree: " << id << "\n";
        QApplication::processEvents();
        if (!options.screenshot.isEmpty() && !window.grab().save(options.screenshot))
            out << "cannot save the screenshot\n";
    }
};

bool loadPlugin(Plugin& plugin, QTextStream& out) {
    QString error;
    if (plugin.load(&error)) return true;
    out << "corvane: cannot load the plug-in: " << error << "\n";
    return false;
}

// The store's locks are still this process's (StoreLocks.h); else nothing is written.
bool storeLocksHeld(QTextStream& out) {
    const QStringList lost = cvhost::storesWithLostLocks();
    if (lost.isEmpty()) return true;
    const QString text = QString::fromUtf8("本进程对数据库文件的锁已丢失, 本次操作没有执行: ") +
                         lost.join(QStringLiteral(", "));
    cvhost::writeLog(text);
    out << "corvane: " << text << "\n";
    return false;
}

// What the plug-in logged, printed after the answers (its reasons included).
void printHeard(const cvhost::LogCapture& heard, QTextStream& out) {
    for (const QString& message : heard.messages()) out << "log: " << message << "\n";
}

QString describeExport(const QString& answer) {
    if (answer == "-2") return "nothing ticked";
    if (answer == "-3") return "the package directory cannot be made";
    if (answer == " ") return "failed";
    return "written to " + answer;
}

}  // namespace

int runView(const Options& options, QTextStream& out) {
    Plugin plugin;
    if (!loadPlugin(plugin, out)) return 1;
    // Offscreen nobody can close the dialog: the host renders it, saves the picture if asked,
    // and closes it as the close button would.
    if (offscreen() || !options.screenshot.isEmpty()) {
        auto* poll = new QTimer(qApp);
        QObject::connect(poll, &QTimer::timeout, [poll, path = options.screenshot] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog) return;
            poll->stop();
            QApplication::processEvents();
            if (!path.isEmpty()) dialog->grab().save(path);
            dialog->close();
        });
        poll->start(50);
    }
    const cvhost::LogCapture heard;
    const int result = plugin.view(qApp, screen(), nullptr, 0);
    out << "CVPackage_View: " << result << "\n";
    printHeard(heard, out);
    return result == 1 ? 0 : 1;
}

int runExport(const Options& options, QTextStream& out) {
    if (options.package.isEmpty()) {
        out << "corvane export: --package is required\n";
        return 2;
    }
    Plugin plugin;
    if (!loadPlugin(plugin, out)) return 1;
    HostWindow host(QString::fromUtf8("导出人员"));
    const cvhost::LogCapture heard;
    const int embedded = plugin.exportProc(qApp, screen(), nullptr, 0, host.panel);
    out << "CVPackage_ExportProc: " << embedded << "\n";
    int status = 1;
    if (embedded == 1) {
        host.userTurn(options, out);
        if (!storeLocksHeld(out)) {
            out << "CVPackage_Free: " << plugin.freeFrame(qApp, screen(), nullptr, 0, 0) << "\n";
            printHeard(heard, out);
            return 1;
        }
        const QString answer = plugin.writePackage(qApp);
        out << "CVPackage_Export: \"" << answer << "\" (" << describeExport(answer) << ")\n";
        if (answer.endsWith('/')) {
            QString error;
            if (cvhost::packDirectory(answer, options.package, &error)) {
                out << "packed: " << options.package << "\n";
                status = 0;
            } else {
                out << "cannot pack: " << error << "\n";
            }
        }
    }
    out << "CVPackage_Free: " << plugin.freeFrame(qApp, screen(), nullptr, 0, 0) << "\n";
    printHeard(heard, out);
    return status;
}

namespace {

void printCounts(const cvhost::ImportReport& report, QTextStream& out) {
    out << " (" << report.rows.size() << " people:";
    for (int i = 0; i < cvhost::OutcomeCount; ++i) {
        const auto outcome = cvhost::Outcome(i);
        out << (i ? ", " : " ") << report.count(outcome) << ' ' << cvhost::outcomeName(outcome);
    }
    out << ")\n";
}

// The preview's plan for the ticks the user leaves, printed and written as the report; the
// frame is freed without an import.
int dryRun(const Plugin& plugin, HostWindow& host, const Options& options, int embedded,
           QTextStream& out) {
    int status = 1;
    if (embedded == 1) {
        host.userTurn(options, out);
        PackageReading reading(options.package);
        const PlannedImport planned = planImport(host.panel, &host.window, reading);
        if (!planned.summary.isEmpty()) out << "plan: " << planned.summary << "\n";
        if (planned.report) {
            status = 0;
            if (!options.report.isEmpty()) {
                QString error;
                if (cvhost::saveReportCsv(*planned.report, options.report, &error)) {
                    out << "planned report: " << options.report;
                    printCounts(*planned.report, out);
                } else {
                    out << "cannot write the report: " << error << "\n";
                    status = 1;
                }
            }
        } else {
            out << "no plan: " << planned.error << "\n";
        }
    }
    out << "CVPackage_Free: " << plugin.freeFrame(qApp, screen(), nullptr, 0, 0) << "\n";
    return status;
}

}  // namespace

int runImport(const Options& options, QTextStream& out) {
    if (options.package.isEmpty()) {
        out << "corvane import: --package is required\n";
        return 2;
    }
    Plugin plugin;
    if (!loadPlugin(plugin, out)) return 1;
    HostWindow host(QString::fromUtf8("导入人员"));
    const QByteArray argument = cv::toGbk(options.package);
    const QByteArray shown = options.all ? "@&@" + argument : argument;
    std::optional<cvhost::LogCapture> heard(std::in_place);
    const int embedded =
        plugin.importProc(qApp, screen(), nullptr, 0, shown.constData(), host.panel);
    out << "CVPackage_ImportProc: " << embedded << "\n";
    printHeard(*heard, out);
    heard.reset();
    if (options.dryRun) return dryRun(plugin, host, options, embedded, out);
    int status = 1;
    WatchedImport run;
    bool imported = false;
    if (embedded == 1) {
        host.userTurn(options, out);
        imported = storeLocksHeld(out);
    }
    if (imported) {
        std::optional<PackageReading> reading;
        if (!options.report.isEmpty()) reading.emplace(options.package);
        run = runWatchedImport(plugin, qApp, host.panel, &host.window, options.package,
                               reading ? &*reading : nullptr);
        out << "CVPackage_Import: " << run.result << " (" << cvhost::endingText(run.ending)
            << ")\n";
        status = run.result == 1 ? 0 : 1;
    }
    out << "CVPackage_Free: " << plugin.freeFrame(qApp, screen(), nullptr, 0, 0) << "\n";
    for (const QString& message : run.log) out << "log: " << message << "\n";
    if (const QString summary = cvhost::summaryLine(run.log); !summary.isEmpty())
        out << "summary: " << summary << "\n";
    if (imported && !options.report.isEmpty()) {
        QString error = run.reportError;
        if (run.report && cvhost::saveReportCsv(*run.report, options.report, &error)) {
            out << "report: " << options.report;
            printCounts(*run.report, out);
            if (!run.report->summaryLine.isEmpty() && !run.report->summaryAgrees)
                out << "report: the summary line's counts are not the report's\n";
        } else {
            out << "cannot write the report: " << error << "\n";
            status = 1;
        }
    }
    return status;
}

}  // namespace corvane
