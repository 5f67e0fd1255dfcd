// corvane: the stand-in host. It loads CVPersonPackAPI through its six exports, exactly as
// the desktop host does, and offers the same conversations on the command line.
//
//   corvane init --db FILE [--sample] [--second]
//   corvane view [--screenshot FILE.png]
//   corvane export --package OUT.zip [--untick ID,...] [--screenshot FILE.png]
//   corvane import --package PKG [--untick ID,...] [--all] [--report FILE.csv]
//                  [--dry-run] [--screenshot FILE.png]
//   corvane demo [--dir FOLDER] [--server URL]
//
// Common options: --db FILE|URL, --style local|networked, --settings FILE.
// Exit status 0 when the operation answered success.
#include <QApplication>
#include <QCommandLineParser>
#include <QTextStream>
#include <QThreadPool>
#include <cstdio>
#include <vector>

#include "Application.h"
#include "Commands.h"
#include "HostSettings.h"
#include "Installation.h"
#include "MainWindow.h"
#include "Plugin.h"
#include "WorkFolders.h"

int main(int argc, char** argv) {
    const QByteArray first = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    const bool help = first == "--help" || first == "-h" || first == "--help-all";
    const bool gui = !help && (first.isEmpty() || first.startsWith('-'));
    if (!gui && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // QApplication takes -style/--style for itself (a widget style), so the working style is
    // taken out of the arguments it sees; the parser reads the full list.
    QStringList arguments;
    std::vector<char*> qtArgs;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
        const QByteArray arg(argv[i]);
        if ((arg == "--style" || arg == "-style") && i + 1 < argc) {
            arguments << QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        if (!arg.startsWith("--style=") && !arg.startsWith("-style=")) qtArgs.push_back(argv[i]);
    }
    int qtArgc = int(qtArgs.size());
    qtArgs.push_back(nullptr);
    QApplication app(qtArgc, qtArgs.data());
    // Qt paints large pixmaps on the threads of its global pool. Such a thread lets go of
    // Qt's record of it only after the pool has stopped waiting for it, as the thread itself
    // ends; a command that ends just then (an export, an import) could end before it and
    // leave that record to a leak check. A thread that ends as soon as it is idle ends long
    // before the process does.
    QThreadPool::globalInstance()->setExpiryTimeout(0);
    corvane::setUpApplication();

    QCommandLineParser parser;
    parser.setApplicationDescription("Stand-in host for the CVPersonPackAPI plug-in");
    parser.addHelpOption();
    parser.addPositionalArgument("command", "init, view, export, import or demo");
    const QCommandLineOption db("db", "SQLite file or postgresql:// URL.", "target");
    const QCommandLineOption style("style", "Working style: local or networked.", "style");
    const QCommandLineOption settings("settings", "Host settings file (INI).", "file");
    const QCommandLineOption sample("sample", "init: fill with sample personnel.");
    const QCommandLineOption second("second", "init: the second sample installation.");
    const QCommandLineOption package("package", "export: zip to write; import: package.", "path");
    const QCommandLineOption untick("untick", "IDs of nodes to untick, comma separated.", "ids");
    const QCommandLineOption all("all", "import: everything, without tick boxes.");
    const QCommandLineOption report(
        "report", "import: write what became of each person of the package (CSV).", "csv");
    const QCommandLineOption dryRun(
        "dry-run", "import: show what the import would do with each person; store nothing.");
    const QCommandLineOption screenshot("screenshot", "Save what the user sees.", "png");
    const QCommandLineOption dir("dir", "demo: folder for the installations.", "folder");
    const QCommandLineOption server(
        "server",
        "demo: PostgreSQL server (postgresql:// URL) for the two installations, made afresh as "
        "its schemas corvane_demo_a and corvane_demo_b.",
        "url");
    parser.addOptions({db, style, settings, sample, second, package, untick, all, report, dryRun,
                       screenshot, dir, server});
    parser.process(arguments);

    auto& hostSettings = cvhost::Settings::instance();
    if (parser.isSet(settings) && !hostSettings.load(parser.value(settings))) {
        std::fprintf(stderr, "corvane: cannot read settings file %s\n",
                     qPrintable(parser.value(settings)));
        return 2;
    }
    if (parser.isSet(db)) hostSettings.set("db", parser.value(db));
    if (parser.isSet(style)) {
        const QString value = parser.value(style);
        if (value != "local" && value != "networked") {
            std::fprintf(stderr, "corvane: --style is local or networked\n");
            return 2;
        }
        hostSettings.set("style", value);
    }

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    QTextStream out(stdout);
    if (command == "init") {
        const cvhost::Sample which = !parser.isSet(sample)  ? cvhost::Sample::None
                                     : parser.isSet(second) ? cvhost::Sample::B
                                                            : cvhost::Sample::A;
        return corvane::runInit(hostSettings.value("db"), which, out);
    }
    corvane::Options options;
    options.package = parser.value(package);
    options.untick = parser.value(untick).split(',', Qt::SkipEmptyParts);
    options.all = parser.isSet(all);
    options.screenshot = parser.value(screenshot);
    options.report = parser.value(report);
    options.dryRun = parser.isSet(dryRun);
    options.directory = parser.value(dir);
    options.server = parser.value(server);
    options.style = hostSettings.value("style");
    if (hostSettings.value("logFile").isEmpty())
        hostSettings.set("logFile", cvhost::defaultLogFile());
    if (command.isEmpty()) {
        corvane::Plugin plugin;
        QString error;
        if (!plugin.load(&error)) {
            std::fprintf(stderr, "corvane: cannot load the plug-in: %s\n", qPrintable(error));
            return 1;
        }
        corvane::MainWindow window(plugin);
        window.show();
        return app.exec();
    }
    // Opening a file that does not exist, or an empty one, would make an installation of it:
    // only init makes stores.
    if (command == "view" || command == "export" || command == "import") {
        const QString db = hostSettings.value("db");
        if (const QString problem = cvhost::storeFileProblem(db); !problem.isEmpty()) {
            std::fprintf(stderr, "corvane %s: %s%s%s (corvane init --db FILE 创建新的安装)\n",
                         qPrintable(command), qPrintable(problem), db.isEmpty() ? "" : ": ",
                         qPrintable(db));
            return 1;
        }
    }
    try {
        if (command == "view") return corvane::runView(options, out);
        if (command == "export") return corvane::runExport(options, out);
        if (command == "import") return corvane::runImport(options, out);
        if (command == "demo") return corvane::runDemo(options, out);
    } catch (const std::exception& e) {
        out.flush();
        std::fprintf(stderr, "corvane %s: %s\n", qPrintable(command), e.what());
        return 1;
    }
    std::fprintf(stderr, "corvane: unknown command '%s' (see --help)\n", qPrintable(command));
    return 2;
}
