// The demo: two sample installations, an export from the first with some people unticked,
// the package packed as the host packs it, an import into the second, and a report of what
// changed there. Export and import run as two host processes, one per installation, as two
// installations' hosts would.
#include <QCoreApplication>
#include <QDir>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

#include "ClientDataSet.h"
#include "Commands.h"
#include "Database.h"
#include "Packer.h"

namespace corvane {
namespace {

struct Person {
    QString name, login, dept;
};

QMap<QString, Person> people(cv::Connection& db) {
    cv::Query q(&db);
    q.setCommandText("SELECT PerUUID, PerName, LoginName, PerDept FROM CV_PersonInfo");
    q.open();
    QMap<QString, Person> result;
    for (; !q.eof(); q.next())
        result[q.fieldText("PerUUID")] = {q.fieldText("PerName"), q.fieldText("LoginName"),
                                          q.fieldText("PerDept")};
    return result;
}

// Department code → path of names from the top level down.
QMap<QString, QString> departments(cv::Connection& db) {
    cv::Query q(&db);
    q.setCommandText("SELECT DeptID, DeptName FROM CV_DeptInfo ORDER BY DeptID");
    q.open();
    QMap<QString, QString> names, paths;
    for (; !q.eof(); q.next()) names[q.fieldText("DeptID")] = q.fieldText("DeptName");
    for (auto it = names.cbegin(); it != names.cend(); ++it) {
        QStringList parts;
        for (int n = 4; n <= it.key().size(); n += 4) parts << names.value(it.key().left(n));
        paths[it.key()] = parts.join('_');
    }
    return paths;
}

// Where installation `name` lives: an SQLite file in the demo folder, made afresh, or a schema
// of its own on the server, dropped and made afresh.
QString makeStore(const Options& options, const QString& dir, const QString& name) {
    if (options.server.isEmpty()) {
        const QString file = dir + "/" + name + ".sqlite";
        for (const char* suffix : {"", "-wal", "-shm"}) QFile::remove(file + suffix);
        return file;
    }
    return cvhost::makeServerStore(options.server, "corvane_demo_" + name.toLower());
}

QString writeSettings(const QString& dir, const QString& name, const QString& store,
                      const QString& style) {
    const QString file = dir + "/" + name + ".ini";
    QSettings ini(file, QSettings::IniFormat);
    ini.setValue("host/style", style.isEmpty() ? QString("local") : style);
    ini.setValue("host/db", store);
    ini.setValue("host/packageDir", dir + "/" + name + "-package/");
    ini.setValue("host/tempDir", dir + "/" + name + "-temp/");
    ini.setValue("host/logFile", dir + "/" + name + ".log");
    ini.setValue("host/packageVersion", "1");
    ini.sync();
    QDir().mkpath(dir + "/" + name + "-package");
    return file;
}

int runHost(const QStringList& arguments, QTextStream& out) {
    QProcess host;
    host.setProcessChannelMode(QProcess::MergedChannels);
    host.start(QCoreApplication::applicationFilePath(), arguments);
    host.waitForFinished(-1);
    for (const QByteArray& line : host.readAll().split('\n'))
        if (!line.isEmpty()) out << "    " << QString::fromUtf8(line) << "\n";
    return host.exitStatus() == QProcess::NormalExit ? host.exitCode() : 1;
}

}  // namespace

int runDemo(const Options& options, QTextStream& out) {
    QString dir = options.directory;
    if (dir.isEmpty()) {
        QTemporaryDir scratch(QDir::tempPath() + "/corvane-demo-XXXXXX");
        scratch.setAutoRemove(false);  // left for the user to look at
        dir = scratch.path();
    }
    QDir().mkpath(dir);
    QFile::remove(dir + "/package.zip");
    QFile::remove(dir + "/report.csv");

    out << "Demo folder: " << dir << "\n";
    const QString storeA = makeStore(options, dir, "A");
    const QString storeB = makeStore(options, dir, "B");
    out << "Stores: " << storeA << " and " << storeB << "\n";
    out << "Working style: " << (options.style.isEmpty() ? QString("local") : options.style)
        << "\n\n";
    auto a = cvhost::openStore(storeA);
    auto b = cvhost::openStore(storeB);
    cvhost::createSchema(*a);
    cvhost::createSchema(*b);
    cvhost::insertSample(*a, cvhost::Sample::A);
    cvhost::insertSample(*b, cvhost::Sample::B);
    const auto peopleA = people(*a);
    const auto peopleBefore = people(*b);
    const auto deptsBefore = departments(*b);
    out << "Installation A: " << peopleA.size() << " people, " << departments(*a).size()
        << " departments\n";
    out << "Installation B: " << peopleBefore.size() << " people, " << deptsBefore.size()
        << " departments\n\n";

    // The user unticks the finance department (0003) and two people.
    const QString untick = "0003,310101199506060100,310101198906180222";
    const QString package = dir + "/package.zip";
    out << "1. Export from A, unticking " << untick << ":\n";
    const int exported =
        runHost({"export", "--settings", writeSettings(dir, "A", storeA, options.style),
                 "--package", package, "--untick", untick},
                out);
    if (exported != 0) {
        out << "export failed\n";
        return 1;
    }

    out << "\n2. Import into B, every person ticked:\n";
    const int imported =
        runHost({"import", "--settings", writeSettings(dir, "B", storeB, options.style),
                 "--package", package, "--report", dir + "/report.csv"},
                out);

    // What the package carried, read back as the host's tools would.
    QStringList inPackage;
    const QString unpacked = dir + "/package-contents";
    if (cvhost::extractArchive(package, unpacked)) {
        cv::ClientDataSet persons;
        persons.loadFromFile(unpacked + "/perinfo.per");
        for (persons.first(); !persons.eof(); persons.next()) inPackage << persons.text("PerUUID");
    }

    const auto peopleAfter = people(*b);
    const auto deptsAfter = departments(*b);
    out << "\n3. What changed in B\n";
    out << "   people in the package: " << inPackage.size() << "\n";
    int inserted = 0, skipped = 0;
    for (const QString& id : inPackage) {
        if (peopleBefore.contains(id)) {
            ++skipped;
            out << "   skipped (already present): " << peopleBefore[id].name << " " << id << "\n";
        } else if (peopleAfter.contains(id)) {
            ++inserted;
            const Person& p = peopleAfter[id];
            const QString renamed = p.login == peopleA.value(id).login
                                        ? QString()
                                        : "  (login renamed from " + peopleA.value(id).login + ")";
            out << "   inserted: " << p.name << "  login " << p.login << "  department "
                << (p.dept.isEmpty() ? QString("-")
                                     : deptsAfter.value(p.dept) + " [" + p.dept + "]")
                << renamed << "\n";
        } else {
            out << "   not imported: " << peopleA.value(id).name << " " << id
                << " (not shown in the preview: empty department, or no row for it)\n";
        }
    }
    for (auto it = deptsAfter.cbegin(); it != deptsAfter.cend(); ++it)
        if (!deptsBefore.contains(it.key()))
            out << "   department created: " << it.key() << "  " << it.value() << "\n";
    out << "\n   " << inserted << " inserted, " << skipped << " skipped, "
        << deptsAfter.size() - deptsBefore.size() << " departments created; export "
        << (exported == 0 ? "succeeded" : "failed") << ", import "
        << (imported == 0 ? "answered 1" : "failed") << "\n";
    return exported == 0 && imported == 0 ? 0 : 1;
}

}  // namespace corvane
