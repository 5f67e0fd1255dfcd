#include "HostSettings.h"

#include <sqlite3.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QSqlDriver>
#include <memory>
#include <vector>

#include "ConnectionBroker.h"
#include "Database.h"
#include "Installation.h"
#include "StoreLocks.h"

namespace cvhost {

Settings& Settings::instance() {
    static Settings settings;
    return settings;
}

bool Settings::load(const QString& iniFile) {
    if (!QFileInfo(iniFile).isReadable()) return false;
    QSettings ini(iniFile, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) return false;
    for (const QString& key : ini.allKeys()) {
        const QString name = key.startsWith("host/") ? key.mid(5) : key;
        values_[name] = ini.value(key).toString();
    }
    return true;
}

void Settings::set(const QString& key, const QString& value) { values_[key] = value; }

QString Settings::value(const QString& key, const QString& fallback) const {
    return values_.value(key, fallback);
}

void Settings::clear() { values_.clear(); }

std::uint8_t Settings::workingStyle() const {
    return value("style", "local") == "networked" ? 1 : 2;
}

namespace {

// A connection the plug-in may still hold (its data module keeps the one it was last handed)
// is kept until closeConnections(), also after the host moved on to another store or made a
// fresh one because the old one stopped answering.
template <typename T>
struct OpenTarget {
    QString target;
    std::unique_ptr<T> object;
    std::vector<std::unique_ptr<T>> retired;

    void replace(const QString& newTarget, std::unique_ptr<T> newObject) {
        if (object) retired.push_back(std::move(object));
        object = std::move(newObject);
        target = newTarget;
    }
};

// Qt's database drivers are gone once the application object is: the connections are closed
// by the application object's post routine, never by static destruction.
void closeWithApplication() {
    static const bool registered = [] {
        if (QCoreApplication::instance()) qAddPostRoutine(closeConnections);
        return true;
    }();
    (void)registered;
}

OpenTarget<cv::Connection>& base() {
    static auto* open = new OpenTarget<cv::Connection>;
    closeWithApplication();
    return *open;
}

OpenTarget<cv::ConnectionBroker>& broker() {
    static auto* open = new OpenTarget<cv::ConnectionBroker>;
    closeWithApplication();
    return *open;
}

QString& openError() {
    static QString error;
    return error;
}

std::unique_ptr<cv::Connection> openQuietly(const QString& target) {
    openError().clear();
    if (target.isEmpty()) {
        openError() = QStringLiteral("no database given");
        return nullptr;
    }
    try {
        return openStore(target);
    } catch (const cv::DbError& e) {
        openError() = QString::fromUtf8(e.what());
        return nullptr;
    }
}

}  // namespace

cv::Connection* baseConnection() {
    const QString target = Settings::instance().value("db");
    auto& open = base();
    if (open.target != target || !open.object || !open.object->connected())
        open.replace(target, openQuietly(target));
    return open.object.get();
}

cv::ConnectionBroker* connectionBroker() {
    const QString target = Settings::instance().value("server", Settings::instance().value("db"));
    auto& open = broker();
    if (open.target != target || !open.object || !open.object->connected()) {
        auto connection = openQuietly(target);
        open.replace(target, connection
                                 ? std::make_unique<cv::ConnectionBroker>(std::move(connection))
                                 : nullptr);
    }
    return open.object.get();
}

QString lastOpenError() { return openError(); }

void closeConnections() {
    broker() = {};
    base() = {};
}

namespace {

// The host's open connections: the current ones first, then those replaced since.
std::vector<cv::Connection*> openConnections() {
    std::vector<cv::Connection*> open;
    if (base().object) open.push_back(base().object.get());
    if (broker().object) open.push_back(&broker().object->serverConnection());
    for (const auto& retired : base().retired)
        if (retired) open.push_back(retired.get());
    for (const auto& retired : broker().retired)
        if (retired) open.push_back(&retired->serverConnection());
    return open;
}

sqlite3* sqliteOf(const cv::Connection& connection) {
    const QSqlDatabase db = connection.database();
    if (connection.dialect() != cv::Dialect::SQLite || !db.isOpen()) return nullptr;
    const QVariant handle = db.driver()->handle();
    return qstrcmp(handle.typeName(), "sqlite3*") == 0
               ? *static_cast<sqlite3* const*>(handle.constData())
               : nullptr;
}

bool inWalMode(cv::Connection& connection) {
    try {
        cv::Query mode(&connection);
        mode.setCommandText(QStringLiteral("PRAGMA journal_mode"));
        mode.open();
        return !mode.eof() && mode.fieldText(QStringLiteral("journal_mode")).toLower() == "wal";
    } catch (const cv::DbError&) {
        return false;
    }
}

}  // namespace

QStringList storesWithLostLocks() {
    QStringList lost;
    const std::size_t current = std::size_t(bool(base().object)) + bool(broker().object);
    const std::vector<cv::Connection*> open = openConnections();
    for (std::size_t i = 0; i < current; ++i) {
        cv::Connection& connection = *open[i];
        if (!sqliteOf(connection)) continue;
        const QString file = connection.database().databaseName();
        if (!lost.contains(file) && inWalMode(connection) && !holdsStoreLocks(file)) lost << file;
    }
    return lost;
}

void closeConnectionsAfterLostLocks() {
    for (cv::Connection* connection : openConnections())
        if (sqlite3* handle = sqliteOf(*connection))
            sqlite3_db_config(handle, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    closeConnections();
}

}  // namespace cvhost
