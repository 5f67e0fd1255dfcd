// The library's bindings to the host executable and its companion libraries. Text crosses as
// GBK; here it is QString. A missing library or entry never crashes: each binding says what
// it answers then.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace cv {

class Connection;
class ConnectionBroker;

namespace host {

// 1 networked, 2 local database; asked anew at every call. 0 when the host has no such entry.
std::uint8_t workingStyle();

// Reader-pack entries, resolved at every use through CVGetAppInterface with the reader-pack
// library beside the executable. 0 / empty when an entry is missing (also when the program's
// folder has no GBK name to pass).
std::int32_t packageVersion();
QString packageDirectory();

// The application server's broker (a linked import); null when the host has none.
ConnectionBroker* connectionBroker();
// The host's open database connection: the connection library is loaded by name, the entry
// looked up and called, and the library released again whatever happened; null on any
// failure.
Connection* baseConnection();

// The temporary directory for a module key, ending with the separator.
QString appTempPath(const QString& moduleKey);
// Unpacks a packed package file into a directory; false when the host answers empty.
bool extractFile(const QString& packedFile, const QString& destinationDirectory);

// A log line: the host's identifier, then CVLogWrite with the message passed through
// logSafeText, so that any text can be logged. Returns what CVLogWrite answers (1 when
// written); never throws (0 when the line could not be handed over).
std::int32_t writeLog(const QString& message);

}  // namespace host
}  // namespace cv

namespace cv::host::testing {
// The file name under which baseConnection() loads the connection library; tests point it
// at a library that is missing or lacks the entry.
QByteArray& connectionLibraryName();
}  // namespace cv::host::testing
