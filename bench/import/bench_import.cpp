// The import of a person package at scale, on SQLite and on PostgreSQL servers like real ones,
// side by side in one run. A package of 100,000 people in 5,000 departments (three levels) is
// imported into an empty installation, then again into the installation that now holds
// everybody, in each working style, in each setting:
//
//   sqlite    an SQLite file on this machine's disk, under the store's own settings
//   loopback  a PostgreSQL server with its default durability (every commit waits for its log
//             to reach the disk), on loopback
//   relay     the same server through the loopback relay, at each --rtt round trip
//
// Each figure is printed beside its yardstick, measured in the same run on the rows the import
// stored: the engine's shell inserting them in transactions of --window rows, COPY of them on
// a server, the shell reading what an import must read of a full installation; through the
// relay, the same import on loopback. Beside them: the disk's flush time and the round trip
// measured in the setting, the round trips (the client's turnarounds at the relay) and the
// transactions the import made, the time inside SQLite's calls (the rest is reading the
// package, planning and the library's own work), the peak memory.
//
// An import that would take longer than --budget seconds (judged by importing a hundredth of
// the package first) imports fewer people, a multiple of that hundredth, and says so.
//
// Run:  scripts/pgserver.sh run --durable build/bin/bench_import [options]
//       build/bin/bench_import [--postgres URL] [options]      (without a server: SQLite only)
// Options (each also as --name=value):
//   --parts sqlite,loopback,relay   --styles local,networked   --people 100000
//   --departments 5000   --window 2000   --rtt 1,10 (ms)   --budget 20 (s, 0: no limit)
//   --work /var/tmp (the folder for the run's files, removed at the end)
#include <QApplication>
#include <QDir>
#include <QLocale>
#include <QSqlQuery>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QUrl>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>

#include "BenchDatabase.h"
#include "BenchPackageHost.h"
#include "ClientDataSet.h"
#include "Database.h"
#include "Installation.h"
#include "Measures.h"
#include "PackageOperations.h"
#include "Relay.h"
#include "SqliteCalls.h"
#include "WindowedImport.h"

namespace {

using bench::Spread;

[[noreturn]] void fail(const QString& what) {
    std::fprintf(stderr, "bench_import: %s\n", qPrintable(what));
    std::exit(1);
}

// ---- options -------------------------------------------------------------------------------

struct Options {
    QStringList parts{"sqlite", "loopback", "relay"};
    QList<std::uint8_t> styles{2, 1};
    int people = 100000;
    int departments = 5000;
    int window = cv::WindowedImport::DefaultWindow;
    QList<double> rtts{1, 10};
    double budget = 20;
    QString work = "/var/tmp";

    // The options as a command line, with `parts` and the sizes given.
    QStringList arguments(const QStringList& partList, int people, int departments,
                          double budget) const {
        QStringList styleNames;
        for (std::uint8_t style : styles) styleNames << bench::styleName(style);
        QStringList rttList;
        for (double rtt : rtts) rttList << QString::number(rtt);
        return {"--parts",  partList.join(','),      "--styles",      styleNames.join(','),
                "--people", QString::number(people), "--departments", QString::number(departments),
                "--window", QString::number(window), "--rtt",         rttList.join(','),
                "--budget", QString::number(budget)};
    }
};

[[noreturn]] void usage(const QString& why) {
    std::fprintf(stderr,
                 "bench_import: %s\n"
                 "usage: bench_import [--postgres URL] [--parts sqlite,loopback,relay]"
                 " [--styles local,networked] [--people N] [--departments N] [--window N]"
                 " [--rtt MS,MS] [--budget SECONDS] [--work FOLDER]\n",
                 qPrintable(why));
    std::exit(2);
}

Options parseOptions(const QStringList& arguments) {
    Options options;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString name = arguments[i];
        QString value;
        if (name.contains('=')) {
            value = name.section('=', 1);
            name = name.section('=', 0, 0);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            usage(name + " needs a value");
        }
        bool ok = true;
        const auto number = [&](int least) {
            const int n = value.toInt(&ok);
            if (!ok || n < least)
                usage(name + " takes a whole number from " + QString::number(least));
            return n;
        };
        if (name == "--parts") {
            options.parts = value.split(',', Qt::SkipEmptyParts);
            for (const QString& part : options.parts)
                if (!QStringList{"sqlite", "loopback", "relay"}.contains(part))
                    usage("no part " + part);
        } else if (name == "--styles") {
            options.styles.clear();
            for (const QString& style : value.split(',', Qt::SkipEmptyParts)) {
                if (style != "local" && style != "networked") usage("no working style " + style);
                const std::uint8_t code = style == "local" ? 2 : 1;
                if (!options.styles.contains(code)) options.styles << code;
            }
            if (options.styles.isEmpty()) usage("no working style");
        } else if (name == "--people") {
            options.people = number(1);
        } else if (name == "--departments") {
            options.departments = number(1);
        } else if (name == "--window") {
            options.window = number(1);
            cv::WindowedImport::setDefaultWindow(options.window);
        } else if (name == "--rtt") {
            options.rtts.clear();
            for (const QString& rtt : value.split(',', Qt::SkipEmptyParts)) {
                const double ms = rtt.toDouble(&ok);
                if (!ok || ms <= 0 || ms > 1000)
                    usage("a round trip is more than 0 ms and at most 1000");
                options.rtts << ms;
            }
        } else if (name == "--budget") {
            options.budget = value.toDouble(&ok);
            if (!ok || options.budget < 0) usage("--budget takes seconds, 0 for no limit");
        } else if (name == "--work") {
            options.work = value;
        } else {
            usage("unknown option " + name);
        }
    }
    return options;
}

// ---- formatting ----------------------------------------------------------------------------

const QLocale english(QLocale::English);

QString count(double n) { return english.toString(qint64(std::llround(n))); }
QString secs(double s) { return QString::number(s, 'f', s < 0.1 ? 3 : s < 100 ? 2 : 0) + " s"; }
QString ms(double m) { return QString::number(m, 'f', m < 1 ? 3 : 2) + " ms"; }
QString ratio(double r) { return QString::number(r, 'f', r < 10 ? 2 : 1); }
QString percent(double part, double whole) {
    return QString::number(whole > 0 ? 100 * part / whole : 0, 'f', 0) + "%";
}
QString spreadText(const Spread& s) {
    return s.median > 0 ? "median " + ms(s.median) + ", p90 " + ms(s.p90) : "not measured";
}

// A setting's figures: a line per figure, a column per working style, a note after.
class Block {
public:
    explicit Block(const QList<std::uint8_t>& styles) {
        QStringList names;
        for (std::uint8_t style : styles) names << bench::styleName(style);
        row("", names);
    }
    void row(const QString& label, const QStringList& cells, const QString& after = {}) {
        QString line = "  " + label.leftJustified(LabelWidth);
        for (const QString& cell : cells) line += ' ' + cell.leftJustified(CellWidth);
        if (!after.isEmpty()) line += "  " + after;
        while (line.endsWith(' ')) line.chop(1);
        std::printf("%s\n", qPrintable(line));
    }
    static void line(const QString& text) { std::printf("  %s\n", qPrintable(text)); }

private:
    static constexpr int LabelWidth = 50;
    static constexpr int CellWidth = 15;
};

// ---- the package ---------------------------------------------------------------------------

struct Package {
    int people = 0;
    int depts = 0;
    QString folder;          // its three files, ending in '/'
    double readSeconds = 0;  // its two data files read as the import reads them
};

// The packages of each size, made once: everybody of an SQLite installation exported by the
// library.
class Packages {
public:
    explicit Packages(const QString& folder) : folder_(folder) {}

    const Package& get(int people, int depts) {
        auto found = made_.find({people, depts});
        if (found != made_.end()) return found->second;
        Package package{people, depts, QDir(folder_).filePath(QString("package-%1/").arg(people)),
                        0};
        const QString host = QDir(folder_).filePath("export");
        {
            const bench::Store source(
                QDir(folder_).filePath(QString("source-%1.sqlite").arg(people)), QString());
            bench::fillStore(source, bench::departments(depts), people);
            const bench::PackageHost exporting(source.target(), 2, host);
            QWidget window;
            if (cv::PackageExportProc(&window) != 1) fail("the export frame failed");
            const QString written = cv::PackageExport();
            if (!written.endsWith("PerInfo/")) fail("the export failed: " + written);
            bench::copyPackage(written, package.folder);
        }
        QFile::remove(QDir(folder_).filePath(QString("source-%1.sqlite").arg(people)));
        package.readSeconds = bench::bestSeconds(3, [&] {
            cv::ClientDataSet people;
            cv::ClientDataSet depts;
            people.loadFromFile(package.folder + "perinfo.per");
            depts.loadFromFile(package.folder + "deptinfo.per");
        });
        return made_.emplace(std::make_pair(people, depts), package).first->second;
    }

private:
    QString folder_;
    std::map<std::pair<int, int>, Package> made_;
};

// ---- the settings --------------------------------------------------------------------------

struct Setting {
    QString part;    // sqlite, loopback, relay
    QString server;  // empty on SQLite
    double rtt = 0;  // the relay's round trip in ms; 0 without the relay
    std::unique_ptr<bench::Relay> relay;

    bool onServer() const { return !server.isEmpty(); }
    // The address the host is given for `target`: through the relay when there is one.
    QString reach(const QString& target) const {
        if (!relay) return target;
        QUrl url(target);
        url.setPort(relay->port());
        return url.toString(QUrl::FullyEncoded);
    }
};

struct Figures {
    int people = 0;
    int depts = 0;
    double preview = 0;
    double importEmpty = 0;
    double previewFull = 0;
    double importFull = 0;
    double residentMB = 0;
    double previewPeakMB = 0;
    double importPeakMB = 0;
    int stored = 0;
    std::int64_t commits = -1;  // -1: not known
    std::int64_t flushes = -1;  // the server's log flushes, -1: not known
    double flushMs = 0;         // their time, 0 when the server does not track it
    bench::RelayCounts relay;
    bench::SqliteCalls sqlite;
};

struct Measured {
    Figures figures;
    std::unique_ptr<bench::Store> target;  // the installation that now holds everybody
};

int storedPeople(const QString& target) {
    auto connection = cvhost::openStore(target);
    QSqlQuery query(connection->database());
    if (!query.exec("SELECT count(*) FROM CV_PersonInfo") || !query.next())
        fail("cannot count the people stored in " + target);
    return query.value(0).toInt();
}

// The package imported into a fresh installation of `setting`, then again into that
// installation, which then holds everybody.
Measured measure(Setting& setting, std::uint8_t style, const Package& package,
                 const QString& folder) {
    Measured measured;
    Figures& f = measured.figures;
    f.people = package.people;
    f.depts = package.depts;
    measured.target = std::make_unique<bench::Store>(
        QDir(folder).filePath(QString("target-%1-%2.sqlite").arg(package.people).arg(style)),
        setting.server);
    const QString target = measured.target->target();
    const QString in = QDir(folder).filePath("in/");
    const QString hostFolder = QDir(folder).filePath("host");

    const auto once = [&](bool first) {
        std::optional<bench::ServerWatch> watch;
        if (first && setting.onServer()) watch.emplace(setting.server);
        const bench::ServerCounts before = watch ? watch->counts() : bench::ServerCounts{};
        double preview = 0;
        double imported = 0;
        {
            const bench::PackageHost host(setting.reach(target), style, hostFolder);
            QWidget window;
            bench::copyPackage(package.folder, in);  // the import removes the files it read
            if (first) {
                bench::resetPeakMemory();
                f.residentMB = bench::peakMemoryMB();
            }
            std::int32_t shown = 0;
            std::int32_t result = 0;
            preview = bench::seconds([&] { shown = cv::PackageImportProc(in, &window); });
            if (first) {
                f.previewPeakMB = bench::peakMemoryMB();
                bench::resetPeakMemory();
            }
            if (setting.relay) setting.relay->resetCounts();
            bench::resetSqliteCalls();
            imported = bench::seconds([&] {
                const bench::PerfScope sampled;
                result = cv::PackageImport(in);
            });
            if (shown != 1 || result != 1)
                fail(QString("the import failed (preview %1, import %2)").arg(shown).arg(result));
            if (first) {
                f.importPeakMB = bench::peakMemoryMB();
                if (setting.relay) f.relay = setting.relay->counts();
                f.sqlite = bench::sqliteCalls();
                if (!setting.onServer() && f.sqlite.commitsKnown)
                    f.commits = std::int64_t(f.sqlite.commits);
            }
        }  // the host's connections end here, and with them the server's count of them
        if (watch) {
            const bench::ServerCounts made = watch->settled() - before;
            f.commits = made.commits;
            f.flushes = made.flushes;
            f.flushMs = made.flushMs;
        }
        (first ? f.preview : f.previewFull) = preview;
        (first ? f.importEmpty : f.importFull) = imported;
    };
    once(true);
    f.stored = storedPeople(target);
    once(false);
    return measured;
}

// ---- the yardsticks' rows ------------------------------------------------------------------

QString sqlValue(const QVariant& value) {
    return value.isNull() ? QString("NULL") : cv::sqlQuote(value.toString());
}

QString copyValue(const QVariant& value) {
    if (value.isNull()) return "\\N";
    QString text = value.toString();
    text.replace('\\', "\\\\").replace('\t', "\\t").replace('\n', "\\n").replace('\r', "\\r");
    return text;
}

// What the import stored into an empty installation: one INSERT per row (departments first),
// and the same rows as COPY ... FROM STDIN with their data.
struct StoredRows {
    QStringList inserts;
    QString copy;
};

StoredRows storedRows(const QString& target) {
    StoredRows rows;
    auto connection = cvhost::openStore(target);
    const struct {
        const char* table;
        const char* columns;
        int width;
    } tables[] = {{"CV_DeptInfo", "DeptID, DeptName, DeptMemo", 3},
                  {"CV_PersonInfo",
                   "PerUUID, PerName, PerSex, PerMemo, LoginName, UPassword, PerDept, PrjID", 8}};
    for (const auto& table : tables) {
        QSqlQuery query(connection->database());
        query.setForwardOnly(true);
        if (!query.exec(QString("SELECT %1 FROM %2").arg(table.columns, table.table)))
            fail("cannot read the stored rows of " + target);
        rows.copy += QString("COPY %1 (%2) FROM STDIN;\n").arg(table.table, table.columns);
        while (query.next()) {
            QStringList values;
            QStringList fields;
            for (int i = 0; i < table.width; ++i) {
                values << sqlValue(query.value(i));
                fields << copyValue(query.value(i));
            }
            rows.inserts << QString("INSERT INTO %1 (%2) VALUES (%3);")
                                .arg(table.table, table.columns, values.join(", "));
            rows.copy += fields.join('\t') + '\n';
        }
        rows.copy += "\\.\n";
    }
    return rows;
}

// The inserts in transactions of `window` rows; each on its own for a window of 1.
QString inTransactions(const QStringList& inserts, int window) {
    QString script;
    for (qsizetype i = 0; i < inserts.size(); i += window) {
        const QStringList part = inserts.mid(i, window);
        script +=
            window == 1 ? part.join('\n') + '\n' : "BEGIN;\n" + part.join('\n') + "\nCOMMIT;\n";
    }
    return script;
}

QString writeScript(const QString& path, const QString& text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0)
        fail("cannot write " + path);
    return path;
}

struct Yardstick {
    QString label;
    double seconds = 0;
    bool againstFull = false;  // against the import into the installation holding everybody
};

// What an import must read of a full installation besides the package: every PerUUID and
// login name, every department.
const QStringList identifierStatements{"SELECT PerUUID, LoginName FROM CV_PersonInfo",
                                       "SELECT DeptID, DeptName FROM CV_DeptInfo"};

QList<Yardstick> yardsticks(const Setting& setting, const Options& options, const Package& package,
                            const Measured& measured, const QString& folder) {
    QList<Yardstick> result;
    const bench::Store& full = *measured.target;
    const StoredRows rows = storedRows(full.target());
    const QString shell = full.shellName();
    const QString through =
        setting.reach(full.target()) == full.target() ? QString() : setting.reach(full.target());
    const auto fresh = [&](const QString& name) {
        return std::make_unique<bench::Store>(QDir(folder).filePath(name + ".sqlite"),
                                              setting.server);
    };
    const int transactions = int((rows.inserts.size() + options.window - 1) / options.window);
    if (!setting.relay) {
        const auto store = fresh("yardstick-window");
        const QString script =
            writeScript(QDir(folder).filePath("window.sql"),
                        store->scriptPrologue() + inTransactions(rows.inserts, options.window));
        result << Yardstick{QString("%1, in transactions of %2").arg(shell, count(options.window)),
                            store->shellSeconds(script)};
    }
    // Where the import commits far more often than the yardstick, the same rows committed one
    // by one show what that costs (on a server, a round trip and a flush each: too long to wait
    // for at this size).
    if (!setting.onServer() && measured.figures.commits > 2 * transactions) {
        const auto store = fresh("yardstick-alone");
        const QString script =
            writeScript(QDir(folder).filePath("alone.sql"),
                        store->scriptPrologue() + inTransactions(rows.inserts, 1));
        result << Yardstick{QString("%1, each row committed alone").arg(shell),
                            store->shellSeconds(script)};
    }
    if (setting.onServer()) {
        const auto store = fresh("yardstick-copy");
        const QString script = writeScript(QDir(folder).filePath("copy.sql"), rows.copy);
        result << Yardstick{
            QString("COPY (psql)%1, the floor").arg(setting.relay ? " via the relay" : ""),
            store->shellSeconds(script, setting.reach(store->target()) == store->target()
                                            ? QString()
                                            : setting.reach(store->target()))};
    }
    result << Yardstick{QString("package + identifiers read (%1)").arg(shell),
                        package.readSeconds + full.shellRowsSeconds(identifierStatements, folder,
                                                                    "identifiers", 3, through),
                        true};
    return result;
}

// ---- one setting ---------------------------------------------------------------------------

QString storageOf(const QString& path) {
    const QStorageInfo storage(path);
    return QString("%1 (%2)").arg(QString::fromLocal8Bit(storage.device()),
                                  QString::fromLocal8Bit(storage.fileSystemType()));
}

struct Summary {
    QString setting;
    int people = 0;
    int depts = 0;
    std::map<std::uint8_t, Figures> figures;
    QString yardstick;
    double yardstickSeconds = 0;
};

class Run {
public:
    Run(const Options& options, const QString& folder)
        : options_(options), folder_(folder), packages_(folder) {}

    void setting(Setting& setting);
    void summary() const;

private:
    // The size a setting imports: everybody, unless the budget says fewer.
    std::pair<int, int> size(Setting& setting, std::map<std::uint8_t, Measured>& probes,
                             QString& note);

    const Options& options_;
    QString folder_;
    Packages packages_;
    std::map<std::uint8_t, Figures> loopback_;  // per style, for the relay's ratios
    QList<Summary> summaries_;
};

std::pair<int, int> Run::size(Setting& setting, std::map<std::uint8_t, Measured>& probes,
                              QString& note) {
    const int people = options_.people;
    const int depts = options_.departments;
    if (options_.budget <= 0 || people < 200) return {people, depts};
    const Package& probe = packages_.get(people / 100, std::max(1, depts / 100));
    double slowest = 0;
    for (std::uint8_t style : options_.styles) {
        probes[style] = measure(setting, style, probe, folder_);
        slowest = std::max(slowest, probes[style].figures.importEmpty);
    }
    const double predicted = slowest * 100;
    if (predicted <= options_.budget) {
        probes.clear();
        return {people, depts};
    }
    const int times = std::clamp(int(options_.budget / slowest), 1, 99);
    note = QString(
               "%1 people would take about %2 by the %3-person probe; --budget 0 measures them all")
               .arg(count(people), secs(predicted), count(probe.people));
    if (times > 1) probes.clear();
    return {times * probe.people, times * probe.depts};
}

void Run::setting(Setting& setting) {
    const bool sqlite = !setting.onServer();
    // The setting's conditions, measured now: they vary with other work on the machine.
    QString flushFolder;
    Spread roundTrip;
    QString title;
    if (sqlite) {
        title = QString("%1: a file on %2, WAL, synchronous=NORMAL")
                    .arg(bench::engineNameOf(QString()), storageOf(folder_));
        flushFolder = folder_;
    } else {
        bench::PgSession session(setting.server);
        const QString dataDirectory = session.value("SHOW data_directory");
        QString where = setting.relay
                            ? QString("through the relay at a %1 ms round trip (%2 ms each way)")
                                  .arg(setting.rtt)
                                  .arg(setting.rtt / 2)
                            : QString("on loopback");
        title = QString(
                    "PostgreSQL %1 %2, fsync %3, synchronous_commit %4, full_page_writes %5, data "
                    "on %6")
                    .arg(session.value("SHOW server_version").section(' ', 0, 0), where,
                         session.value("SHOW fsync"), session.value("SHOW synchronous_commit"),
                         session.value("SHOW full_page_writes"),
                         QDir(dataDirectory).exists() ? storageOf(dataDirectory)
                                                      : QString("another machine"));
        const QString beside = QFileInfo(dataDirectory).absolutePath();
        if (QDir(beside).exists()) flushFolder = beside;
        bench::PgSession reached(setting.reach(setting.server));
        roundTrip = reached.roundTrips(100);
    }
    const auto diskFlush = [&](const char* when) {
        const Spread flush = flushFolder.isEmpty() ? Spread{} : bench::flushTimes(flushFolder);
        Block::line(QString("disk flush beside the %1, %2: %3 (fdatasync of 8 KB, 300 times)")
                        .arg(sqlite ? "store" : "data directory", when, spreadText(flush)));
    };
    std::printf("\n%s\n", qPrintable(title));
    diskFlush("before");
    if (!sqlite)
        Block::line(QString("round trip measured%1: %2 (100 SELECT 1)")
                        .arg(setting.relay ? " through the relay" : "", spreadText(roundTrip)));
    std::fflush(stdout);

    std::map<std::uint8_t, Measured> measured;
    QString note;
    const auto [people, depts] = size(setting, measured, note);
    const Package& package = packages_.get(people, depts);
    for (std::uint8_t style : options_.styles)
        if (!measured.count(style)) measured[style] = measure(setting, style, package, folder_);
    const QList<Yardstick> sticks =
        yardsticks(setting, options_, package, measured.at(options_.styles.first()), folder_);

    Block::line(QString("%1 people in %2 departments").arg(count(people), count(depts)) +
                (note.isEmpty() ? QString() : " (" + note + ")"));
    Block block(options_.styles);
    const auto cellsOfStyle =
        [&](const std::function<QString(std::uint8_t, const Figures&)>& cell) {
            QStringList list;
            for (std::uint8_t style : options_.styles)
                list << cell(style, measured.at(style).figures);
            return list;
        };
    const auto cells = [&](const std::function<QString(const Figures&)>& cell) {
        return cellsOfStyle([&](std::uint8_t, const Figures& f) { return cell(f); });
    };
    const auto styleRatio = [&](const std::function<double(const Figures&)>& figure) {
        if (options_.styles.size() < 2) return QString();
        return "networked / local " +
               ratio(figure(measured.at(1).figures) / figure(measured.at(2).figures));
    };
    block.row("preview", cells([](const Figures& f) { return secs(f.preview); }));
    block.row("import into an empty installation",
              cells([](const Figures& f) { return secs(f.importEmpty); }),
              styleRatio([](const Figures& f) { return f.importEmpty; }));
    block.row("  people/s",
              cells([](const Figures& f) { return count(f.people / f.importEmpty); }));
    for (const auto& [style, figures] : measured)
        if (figures.figures.stored != people)
            Block::line(
                QString("  %1: %2 of %3 people stored")
                    .arg(bench::styleName(style), count(figures.figures.stored), count(people)));
    if (setting.relay && !loopback_.empty()) {
        block.row("  time per person / loopback's",
                  cellsOfStyle([&](std::uint8_t style, const Figures& f) {
                      const Figures& there = loopback_.at(style);
                      return ratio((f.importEmpty / f.people) / (there.importEmpty / there.people));
                  }),
                  "the same import on loopback, this run");
    }
    if (setting.relay) {
        block.row("  round trips (the client's turnarounds)",
                  cells([](const Figures& f) { return count(double(f.relay.turnarounds)); }));
        block.row("  round trips x measured round trip", cells([&](const Figures& f) {
                      const double waited = double(f.relay.turnarounds) * roundTrip.median / 1000;
                      return secs(waited) + " " + percent(waited, f.importEmpty);
                  }));
        block.row("  chunks to the server, to the client", cells([](const Figures& f) {
                      return count(double(f.relay.chunksToServer)) + ", " +
                             count(double(f.relay.chunksToClient));
                  }));
    }
    block.row(sqlite ? "  write transactions committed" : "  transactions committed (reads too)",
              cells([](const Figures& f) {
                  return f.commits < 0 ? QString("?") : count(double(f.commits));
              }),
              sqlite ? QString() : "pg_stat_database, with the preview's");
    if (!sqlite) {
        block.row("  the server's log flushes, their mean", cells([](const Figures& f) {
                      return count(double(f.flushes)) + ", " +
                             (f.flushMs > 0 ? ms(f.flushMs / std::max<double>(1, f.flushes))
                                            : QString("?"));
                  }),
                  "pg_stat_wal, with the preview's; the time where track_wal_io_timing is on");
    }
    if (sqlite) {
        block.row("  inside SQLite's calls", cells([](const Figures& f) {
                      return secs(f.sqlite.seconds) + " " +
                             percent(f.sqlite.seconds, f.importEmpty);
                  }),
                  "prepare, step, reset, finalize, exec");
        block.row("  outside: package, planning, the rest", cells([](const Figures& f) {
                      const double outside = f.importEmpty - f.sqlite.seconds;
                      return secs(outside) + " " + percent(outside, f.importEmpty);
                  }),
                  "reading the package's files alone: " + secs(package.readSeconds));
    }
    block.row("  peak memory: preview, import", cells([](const Figures& f) {
                  return QString("%1, %2 MB")
                      .arg(f.previewPeakMB, 0, 'f', 0)
                      .arg(f.importPeakMB, 0, 'f', 0);
              }),
              QString("resident before the preview: %1 MB")
                  .arg(measured.begin()->second.figures.residentMB, 0, 'f', 0));
    block.row("import into the installation holding all",
              cells([](const Figures& f) { return secs(f.importFull); }),
              styleRatio([](const Figures& f) { return f.importFull; }));
    block.row("  people/s", cells([](const Figures& f) { return count(f.people / f.importFull); }));
    block.row("  its preview", cells([](const Figures& f) { return secs(f.previewFull); }));
    Block::line("yardsticks on the rows the import stored, import / yardstick:");
    for (const Yardstick& stick : sticks)
        block.row(
            "  " + stick.label + ": " + secs(stick.seconds), cells([&](const Figures& f) {
                return ratio((stick.againstFull ? f.importFull : f.importEmpty) / stick.seconds);
            }),
            stick.againstFull ? "the package's files by the import's reader, every PerUUID,"
                                " login name, department by the shell; against the import into all"
                              : QString());
    diskFlush("after");
    QStringList part{setting.part};
    Options only = options_;
    if (setting.relay) only.rtts = {setting.rtt};
    Block::line("repeat: " + bench::repeatCommand(QCoreApplication::applicationFilePath(),
                                                  only.arguments(part, people, depts, 0)));
    std::fflush(stdout);

    Summary summary{setting.relay ? QString("PostgreSQL, relay %1 ms").arg(setting.rtt)
                    : sqlite      ? QString("SQLite")
                                  : QString("PostgreSQL, loopback"),
                    people,
                    depts,
                    {},
                    sticks.first().label,
                    sticks.first().seconds};
    for (const auto& [style, m] : measured) summary.figures[style] = m.figures;
    summaries_ << summary;
    if (setting.part == "loopback")
        for (const auto& [style, m] : measured) loopback_[style] = m.figures;
}

void Run::summary() const {
    std::printf(
        "\nsummary (people/s; into an empty installation, then into the one holding all)\n");
    std::printf(
        "| setting | people | style | import | people/s | into all, people/s | peak MB | "
        "commits | round trips | yardstick | import / yardstick |\n"
        "|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Summary& s : summaries_)
        for (std::uint8_t style : options_.styles) {
            const Figures& f = s.figures.at(style);
            std::printf("| %s | %s | %s | %s | %s | %s | %.0f | %s | %s | %s: %s | %s |\n",
                        qPrintable(s.setting), qPrintable(count(s.people)), bench::styleName(style),
                        qPrintable(secs(f.importEmpty)),
                        qPrintable(count(f.people / f.importEmpty)),
                        qPrintable(count(f.people / f.importFull)), f.importPeakMB,
                        qPrintable(f.commits < 0 ? QString("?") : count(double(f.commits))),
                        f.relay.turnarounds ? qPrintable(count(double(f.relay.turnarounds))) : "",
                        qPrintable(s.yardstick), qPrintable(secs(s.yardstickSeconds)),
                        qPrintable(ratio(f.importEmpty / s.yardstickSeconds)));
        }
}

}  // namespace

int main(int argc, char** argv) {
    bench::takeServerOption(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const Options options = parseOptions(app.arguments());
    QDir().mkpath(options.work);
    QTemporaryDir folder(QDir(options.work).filePath("cvbench-import-XXXXXX"));
    if (!folder.isValid()) fail("cannot make a folder in " + options.work);

    std::printf(
        "bench_import: %s people in %s departments, yardsticks in transactions of %s rows\n",
        qPrintable(count(options.people)), qPrintable(count(options.departments)),
        qPrintable(count(options.window)));
    std::printf("machine: %d of %d processors for this run, load average %s at the start\n",
                bench::processorsAllowed(), bench::processorsOnline(),
                qPrintable(bench::loadAverage()));
    std::fflush(stdout);

    Run run(options, folder.path());
    if (options.parts.contains("sqlite")) {
        Setting sqlite{"sqlite", QString(), 0, nullptr};
        run.setting(sqlite);
    }
    const QString server = bench::serverUrl();
    const bool wantServer = options.parts.contains("loopback") || options.parts.contains("relay");
    if (wantServer && server.isEmpty()) {
        std::printf(
            "\nno PostgreSQL server: run under scripts/pgserver.sh run --durable, or pass"
            " --postgres URL\n");
    } else if (wantServer) {
        if (options.parts.contains("loopback")) {
            Setting loopback{"loopback", server, 0, nullptr};
            run.setting(loopback);
        }
        const QUrl url(server);
        if (options.parts.contains("relay") &&
            !QStringList{"127.0.0.1", "localhost"}.contains(url.host())) {
            std::printf("\nthe relay runs on loopback only: the server %s is not on 127.0.0.1\n",
                        qPrintable(url.host()));
        } else if (options.parts.contains("relay")) {
            for (double rtt : options.rtts) {
                Setting relayed{"relay", server, rtt,
                                std::make_unique<bench::Relay>(
                                    std::uint16_t(url.port(5432)),
                                    std::chrono::nanoseconds(std::int64_t(rtt * 1e6 / 2)))};
                run.setting(relayed);
            }
        }
    }
    run.summary();
    std::printf("machine: load average %s at the end\n", qPrintable(bench::loadAverage()));
    std::printf("repeat: %s\n", qPrintable(bench::repeatCommand(
                                    QCoreApplication::applicationFilePath(),
                                    options.arguments(options.parts, options.people,
                                                      options.departments, options.budget))));
    return 0;
}
