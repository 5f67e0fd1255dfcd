// The boundary's inner half, linked directly: host context, owned components, host services.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QWidget>

#include "HostContext.h"
#include "HostServices.h"
#include "HostSettings.h"
#include "TestHost.h"

namespace {

TEST(HostContext, ThreadNotificationsKeepTheContextAndDetachRestoresTheSavedOne) {
    QObject hostApp;
    int screenTag = 0, hintTag = 0;
    cv::processNotification(1);
    const cv::HostContext saved = cv::savedContext();
    EXPECT_EQ(saved.application, QCoreApplication::instance());

    cv::installContext(&hostApp, &screenTag, &hintTag);
    for (int reason : {2, 3}) {
        cv::processNotification(reason);
        EXPECT_EQ(cv::currentContext().application, &hostApp) << reason;
        EXPECT_EQ(cv::currentContext().hintWindowClass, &hintTag) << reason;
    }
    cv::processNotification(0);
    EXPECT_EQ(cv::currentContext().application, saved.application);
    EXPECT_EQ(cv::currentContext().screen, saved.screen);
    EXPECT_EQ(cv::currentContext().hintWindowClass, saved.hintWindowClass);
}

TEST(HostContext, OwnedWidgetIsRegisteredOnceAndNeverDestroyedTwice) {
    QObject hostApp;
    cv::installContext(&hostApp, nullptr, nullptr);

    QPointer<QWidget> frame = new QWidget;
    ASSERT_TRUE(cv::registerOwnedWidget("FramePerson", frame));
    EXPECT_EQ(cv::findOwnedWidget("FramePerson"), frame.data());
    auto* second = new QWidget;
    EXPECT_FALSE(cv::registerOwnedWidget("FramePerson", second));  // the name is taken
    delete second;

    EXPECT_TRUE(cv::destroyOwnedWidget("FramePerson"));
    EXPECT_TRUE(frame.isNull());
    EXPECT_FALSE(cv::destroyOwnedWidget("FramePerson"));

    // The host window that parents the frame goes first: the holder stays, the frame is not
    // destroyed again.
    auto* hostWindow = new QWidget;
    frame = new QWidget(hostWindow);
    ASSERT_TRUE(cv::registerOwnedWidget("FramePerson", frame));
    delete hostWindow;
    EXPECT_EQ(cv::findOwnedWidget("FramePerson"), nullptr);
    EXPECT_TRUE(cv::destroyOwnedWidget("FramePerson"));
}

TEST(HostServices, ReaderPackIsReachedBesideTheExecutable) {
    testhost::Installation installation;
    cvhost::Settings::instance().set("packageVersion", "3");
    EXPECT_EQ(cv::host::packageVersion(), 3);
    EXPECT_EQ(testhost::answers().lastAppInterfaceLibrary,
              (QCoreApplication::applicationDirPath() + "/System/API/libCVReaderPack.so").toUtf8());
    EXPECT_EQ(cv::host::packageDirectory(), installation.packageDir());
    EXPECT_EQ(cv::host::appTempPath("XTGL"), installation.tempDir() + "XTGL/");
    EXPECT_NE(cv::host::baseConnection(), nullptr);
    EXPECT_NE(cv::host::connectionBroker(), nullptr);
    EXPECT_EQ(cv::host::workingStyle(), 2);
}

TEST(HostServices, MissingLibrariesAndEntriesAnswerTheirDefaults) {
    testhost::Installation installation;
    testhost::answers().appInterfaceAvailable = false;
    EXPECT_EQ(cv::host::packageVersion(), 0);
    EXPECT_EQ(cv::host::packageDirectory(), QString());

    auto& library = cv::host::testing::connectionLibraryName();
    const QByteArray original = library;
    for (const char* name : {"libNoSuchConnectionLibrary.so", "libCVLogAPI.so"}) {
        library = name;  // missing library; library without the entry
        EXPECT_EQ(cv::host::baseConnection(), nullptr) << name;
    }
    library = original;

    cvhost::Settings::instance().set("db", installation.folder() + "no/such/dir/x.sqlite");
    EXPECT_EQ(cv::host::baseConnection(), nullptr);
}

TEST(HostServices, LogLineCarriesTheHostsIdentifierAndReportsAFailedWrite) {
    testhost::Installation installation;
    testhost::answers().curUUID = "UUID-42";
    EXPECT_EQ(cv::host::writeLog(QString::fromUtf8("要导入的注册名a已经存在,已经被改为a_1000")), 1);
    QFile log(installation.logFile());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString line = QString::fromUtf8(log.readAll());
    EXPECT_TRUE(line.contains("\t2\tUUID-42\tDataUnPack\tCVPersonManage\t4\t"))
        << line.toStdString();
    EXPECT_TRUE(line.contains(QString::fromUtf8("已经被改为a_1000")));

    cvhost::Settings::instance().set("logFile", installation.folder() + "missing/dir/log");
    EXPECT_EQ(cv::host::writeLog("x"), 0);
}

}  // namespace
