#include "TestHost.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QUuid>

#include "CVHostServices.h"
#include "Database.h"
#include "HostSettings.h"
#include "HostString.h"
#include "Installation.h"
#include "TextCodec.h"

namespace testhost {

bool straceInjects() {
    QProcess strace;
    strace.start("strace", {"-o", "/dev/null", "-e", "inject=getpid:error=EPERM", "true"});
    return strace.waitForFinished() && strace.exitStatus() == QProcess::NormalExit &&
           strace.exitCode() == 0;
}

void startUnderStrace(QProcess& process, const QString& inject, const QString& program,
                      const QStringList& arguments, const QString& path) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString asan = environment.value("ASAN_OPTIONS");
    environment.insert("ASAN_OPTIONS", asan + (asan.isEmpty() ? "" : ":") + "detect_leaks=0");
    process.setProcessEnvironment(environment);
    QStringList strace{"-f", "-o", "/dev/null", "-e", "inject=" + inject};
    if (!path.isEmpty()) strace << "-P" << path;
    process.start("strace", strace + QStringList{program} + arguments);
}

Answers& answers() {
    static Answers current;
    return current;
}

void reset() {
    answers() = Answers{};
    cvhost::closeConnections();
    cvhost::Settings::instance().clear();
}

Installation::Installation(Content content, std::uint8_t style, const QString& server)
    : store_(dir_.path(), server) {
    reset();
    answers().workingStyle = style;
    QDir().mkpath(packageDir());
    auto& settings = cvhost::Settings::instance();
    settings.set("db", target());
    settings.set("style", style == 1 ? "networked" : "local");
    settings.set("packageDir", packageDir());
    settings.set("tempDir", tempDir());
    settings.set("logFile", logFile());
    settings.set("packageVersion", "1");
    application_.setObjectName("TestApplication");
    db_ = cvhost::openStore(target());
    cvhost::createSchema(*db_);
    if (content == Content::SampleA) cvhost::insertSample(*db_, cvhost::Sample::A);
    if (content == Content::SampleB) cvhost::insertSample(*db_, cvhost::Sample::B);
}

Installation::~Installation() {
    // The library's components under the application object go before the connections they
    // were attached to.
    qDeleteAll(application_.children());
    db_.reset();
    reset();
}

cv::Connection& Installation::db() { return *db_; }

void Installation::exec(const QString& sql) {
    cv::Command command(db_.get());
    command.setCommandText(sql);
    command.execute();
}

QString Installation::scalar(const QString& sql) {
    cv::Query query(db_.get());
    query.setCommandText(sql);
    query.open();
    if (query.eof() || query.data().fields.isEmpty()) return {};
    return cv::valueText(query.field(query.data().fields.first().name));
}

void Installation::refuseInserts(const QString& table, const QString& condition) {
    if (db_->dialect() == cv::Dialect::PostgreSQL) {
        exec("CREATE FUNCTION refuse_" + table +
             "() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN IF " + condition +
             " THEN RAISE EXCEPTION 'refused'; END IF; RETURN NEW; END$$");
        exec("CREATE TRIGGER refuse BEFORE INSERT ON " + table +
             " FOR EACH ROW EXECUTE FUNCTION refuse_" + table + "()");
    } else {
        exec("CREATE TRIGGER refuse_" + table + " BEFORE INSERT ON " + table + " WHEN " +
             condition + " BEGIN SELECT RAISE(ABORT, 'refused'); END");
    }
}

QStringList Installation::rows(const QString& sql) {
    cv::Query query(db_.get());
    query.setCommandText(sql);
    query.open();
    QStringList result;
    for (const cv::Row& row : query.data().rows) {
        QStringList cells;
        for (const QVariant& value : row)
            cells << (value.isNull() ? QStringLiteral("<null>") : value.toString());
        result << cells.join('|');
    }
    return result;
}

}  // namespace testhost

extern "C" {

CV_EXPORT uint8_t CVCALL CVGetWorkingStyle(void) { return testhost::answers().workingStyle; }

CV_EXPORT void* CVCALL CVGetAppInterface(const char* libraryPath, const char* entry, int32_t) {
    auto& a = testhost::answers();
    ++a.appInterfaceCalls;
    a.lastAppInterfaceLibrary = libraryPath ? QByteArray(libraryPath) : QByteArray();
    if (!a.appInterfaceAvailable || !libraryPath || !entry) return nullptr;
    void* handle = dlopen(libraryPath, RTLD_NOW);
    return handle ? dlsym(handle, entry) : nullptr;
}

CV_EXPORT void CVCALL GetCurUUID(char** result) {
    cv::hostStringClear(result);
    *result = cv::hostStringNew(cv::toGbk(testhost::answers().curUUID));
}

}  // extern "C"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Corvane"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
