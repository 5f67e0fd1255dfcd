// The stand-in host's settings: read from its settings file (INI) and overridden from the
// command line or, in tests, set directly. The host program and every companion library read
// the same process-wide instance.
//
// Keys: style (local | networked), db (SQLite file or postgresql:// URL of the local store),
// server (the application server's database; defaults to db), packageVersion (3: the package
// argument is a directory; anything else: a packed file), packageDir, tempDir, logFile.
#pragma once

#include <QMap>
#include <QString>
#include <cstdint>

namespace cv {
class Connection;
class ConnectionBroker;
}  // namespace cv

namespace cvhost {

class Settings {
public:
    static Settings& instance();

    // Reads an INI file ([host] section or top level); returns false when it cannot be read.
    bool load(const QString& iniFile);
    void set(const QString& key, const QString& value);
    QString value(const QString& key, const QString& fallback = {}) const;
    void clear();

    // 1 networked, 2 local (the byte the host answers).
    std::uint8_t workingStyle() const;

private:
    QMap<QString, QString> values_;
};

// The host's open connections, opened on first use from the settings and opened afresh when
// the setting changes or the one held no longer answers (a server that restarted): every ask
// of a server store costs one round trip. A replaced one stays open (and its pointer valid)
// until closeConnections(). Null when the setting is empty or the database cannot be opened.
cv::Connection* baseConnection();
cv::ConnectionBroker* connectionBroker();
// The engine's reason why the last of them that failed to open did not (English); "" when the
// last one opened.
QString lastOpenError();
// Closes every connection opened so far. Nothing of the plug-in may hold one afterwards.
void closeConnections();

// The SQLite stores that the open connections (the local one and the application server's)
// have open in WAL mode while this process no longer holds their locks (holdsStoreLocks):
// whatever is written through them now may go into a log that another program deleted.
QStringList storesWithLostLocks();
// Closes every connection as closeConnections() does, those on SQLite without the checkpoint
// that the last connection of a store makes as it closes: once the locks were lost, that
// checkpoint would copy the pages of a deleted log over what other programs wrote since. The
// locks are only taken again by connections opened after every connection of the process to
// that store has closed (SQLite shares one lock state among them).
void closeConnectionsAfterLostLocks();

}  // namespace cvhost
