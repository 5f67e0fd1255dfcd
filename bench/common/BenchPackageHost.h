// The host as the package benchmarks play it: the executable exports the host's functions that
// the library looks up (CVGetWorkingStyle, CVGetAppInterface, GetCurUUID), a PackageHost points
// the host's settings at one installation in one working style, and the personnel the
// benchmarks move: people spread over departments in three levels.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

namespace bench {

class Store;

struct Dept {
    QString id;
    QString name;
    QString path;  // the names from the top down, joined by '_'
};

// `count` departments in three levels: each top level holds 9 second levels of 10 third
// levels each (100 departments), parents before their children. Names repeat under different
// parents, so that an import resolves them by parent as well as by name.
QList<Dept> departments(int count);
QString personId(int i);
// Fills `store` with `depts` and `people` people (person i in department (7i mod depts)), in
// one transaction.
void fillStore(const Store& store, const QList<Dept>& depts, int people);

// The installation the host points at: its settings and an application object of its own,
// so that the library creates a data module for it; `folder` holds the host's log, temporary
// files and the packages the library writes (folder/out/).
class PackageHost {
public:
    PackageHost(const QString& database, std::uint8_t style, const QString& folder);
    ~PackageHost();
    PackageHost(const PackageHost&) = delete;
    PackageHost& operator=(const PackageHost&) = delete;

private:
    QObject application_;
};

// Copies a package's three files from the folder `from` to the folder `to` (both ending in /).
void copyPackage(const QString& from, const QString& to);

double seconds(const std::function<void()>& work);
// The best of `runs` runs of `work`, in seconds.
double bestSeconds(int runs, const std::function<void()>& work);

}  // namespace bench
