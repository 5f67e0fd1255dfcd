#include "BenchPackageHost.h"

#include <dlfcn.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <algorithm>

#include "BenchDatabase.h"
#include "CVCallConv.h"
#include "Database.h"
#include "HostContext.h"
#include "HostSettings.h"
#include "HostString.h"
#include "Installation.h"
#include "PackageOperations.h"

namespace {

std::uint8_t currentStyle = 2;

}  // namespace

extern "C" {

CV_EXPORT std::uint8_t CVCALL CVGetWorkingStyle(void) { return currentStyle; }

CV_EXPORT void* CVCALL CVGetAppInterface(const char* libraryPath, const char* entry, int32_t) {
    void* handle = libraryPath ? dlopen(libraryPath, RTLD_NOW) : nullptr;
    return handle && entry ? dlsym(handle, entry) : nullptr;
}

CV_EXPORT void CVCALL GetCurUUID(char** result) {
    cv::hostStringClear(result);
    *result = cv::hostStringNew("BENCH");
}

}  // extern "C"

namespace bench {
namespace {

constexpr int SecondLevel = 9;  // per top-level department
constexpr int ThirdLevel = 10;  // per second-level department

QString code(int n) { return QStringLiteral("%1").arg(n, 4, 10, QLatin1Char('0')); }

}  // namespace

QList<Dept> departments(int count) {
    QList<Dept> depts;
    for (int a = 1; depts.size() < count; ++a) {
        const Dept top{code(a), QStringLiteral("部门%1").arg(a), QStringLiteral("部门%1").arg(a)};
        depts << top;
        for (int b = 1; b <= SecondLevel && depts.size() < count; ++b) {
            const Dept second{top.id + code(b), QStringLiteral("科室%1").arg(b),
                              top.path + QStringLiteral("_科室%1").arg(b)};
            depts << second;
            for (int c = 1; c <= ThirdLevel && depts.size() < count; ++c)
                depts << Dept{second.id + code(c), QStringLiteral("小组%1").arg(c),
                              second.path + QStringLiteral("_小组%1").arg(c)};
        }
    }
    return depts;
}

QString personId(int i) { return QStringLiteral("P%1").arg(i, 8, 10, QLatin1Char('0')); }

void fillStore(const Store& store, const QList<Dept>& depts, int people) {
    auto connection = cvhost::openStore(store.target());
    BulkInsert insertDept(*connection, "CV_DeptInfo", {"DeptID", "DeptName", "DeptMemo"});
    for (const Dept& dept : depts) insertDept.add({dept.id, dept.name, QString("")});
    insertDept.finish();
    BulkInsert insertPerson(
        *connection, "CV_PersonInfo",
        {"PerUUID", "PerName", "PerSex", "PerMemo", "LoginName", "UPassword", "PerDept", "PrjID"});
    for (int i = 0; i < people; ++i) {
        insertPerson.add({personId(i), QStringLiteral("姓名%1").arg(i),
                          i % 2 ? QStringLiteral("男") : QStringLiteral("女"),
                          i % 3 ? QVariant() : QVariant(QStringLiteral("备注")),
                          QStringLiteral("login%1").arg(i), QStringLiteral("pw%1").arg(i),
                          depts[(i * 7) % depts.size()].id, 0});
    }
    insertPerson.finish();
}

PackageHost::PackageHost(const QString& database, std::uint8_t style, const QString& folder) {
    currentStyle = style;
    auto& settings = cvhost::Settings::instance();
    settings.set("db", database);
    settings.set("server", database);
    settings.set("style", style == 1 ? "networked" : "local");
    settings.set("packageDir", folder + "/out/");
    settings.set("tempDir", folder + "/temp/");
    settings.set("logFile", folder + "/host.log");
    settings.set("packageVersion", "3");
    QDir().mkpath(folder + "/out/");
    cv::installContext(&application_, nullptr, nullptr);
}

PackageHost::~PackageHost() {
    cv::PackageFree();
    cv::installContext(nullptr, nullptr, nullptr);
    cvhost::closeConnections();
}

void copyPackage(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const char* name : {"perinfo.per", "deptinfo.per", "SysPerInfo.XML"}) {
        QFile::remove(to + name);
        if (!QFile::copy(from + name, to + name)) qFatal("cannot copy %s", name);
    }
}

double seconds(const std::function<void()>& work) {
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e9;
}

double bestSeconds(int runs, const std::function<void()>& work) {
    double best = seconds(work);
    for (int run = 1; run < runs; ++run) best = std::min(best, seconds(work));
    return best;
}

}  // namespace bench
