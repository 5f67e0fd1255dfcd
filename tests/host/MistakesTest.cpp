// A user's mistakes in the host's window, each answered by a dialog in Chinese that names its
// cause, with nothing on the disk changed and nothing left on show that no longer applies:
// files that are not installations opened as one, packages that are not packages or went
// away after their preview, and a server that wants a password (a fake PostgreSQL server
// that asks for one and refuses every one it is given).
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QInputDialog>
#include <QStackedWidget>
#include <QTreeView>
#include <functional>

#include "EmbeddedTree.h"
#include "WindowOnStore.h"

namespace {

using namespace windowdriver;

// Every file of a folder with a digest of its bytes.
QMap<QString, QByteArray> snapshot(const QString& folder) {
    QMap<QString, QByteArray> files;
    for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
        QFile in(file.filePath());
        files[file.fileName()] =
            in.open(QIODevice::ReadOnly)
                ? QCryptographicHash::hash(in.readAll(), QCryptographicHash::Sha256)
                : QByteArray("unreadable");
    }
    return files;
}

TEST(WindowMistakes, FilesThatAreNoInstallationAreRefusedAsTheyAre) {
    if (!testdb::serverUrl().isEmpty()) GTEST_SKIP() << "SQLite 文件的错误, 与服务器无关";
    SharedStore shared;
    ASSERT_NO_FATAL_FAILURE(shared.SetUp());
    const QString opened = shared.window->windowTitle();
    const QString folder = shared.dir.filePath("mistakes");
    QDir().mkpath(folder);
    auto write = [&](const QString& name, const QByteArray& bytes) {
        QFile file(folder + '/' + name);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    const struct {
        const char* what;
        QString path;
        std::function<bool()> make;
        QString cause;  // in the dialog
    } cases[] = {
        {"a text file", folder + "/notes.txt",
         [&] { return write("notes.txt", "这不是数据库\nnot a database\n"); },
         "不是 SQLite 数据库"},
        {"a zip file", folder + "/people.zip",
         [&] {
             QFile package(shared.package);
             return package.open(QIODevice::ReadOnly) && write("people.zip", package.readAll());
         },
         "不是 SQLite 数据库"},
        {"an empty file", folder + "/empty.sqlite", [&] { return write("empty.sqlite", ""); },
         "空的"},
        {"another program's SQLite database", folder + "/other.db",
         [&] {
             return run("sqlite3", {folder + "/other.db",
                                    "CREATE TABLE notes(t); INSERT INTO notes VALUES('x');"})
                 .isEmpty();
         },
         "属于别的程序"},
        {"a folder", folder + "/sub", [&] { return QDir().mkpath(folder + "/sub"); }, "文件夹"},
        {"a file that is not there", folder + "/missing.sqlite", [] { return true; }, "不存在"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.make());
        // The installation open before: the mistake must not leave its name or its buttons.
        typeInto(shared.window->databaseEdit, shared.store);
        QTest::mouseClick(shared.window->openButton, Qt::LeftButton);
        ASSERT_EQ(shared.window->windowTitle(), opened);
        const QMap<QString, QByteArray> before = snapshot(folder);
        Seen told;
        shared.answer.expect(press("确定", &told));
        typeInto(shared.window->databaseEdit, c.path);
        QTest::mouseClick(shared.window->openButton, Qt::LeftButton);
        EXPECT_EQ(told.kind, "QMessageBox");
        EXPECT_TRUE(told.text.contains(c.cause)) << told.text.toStdString();
        EXPECT_EQ(snapshot(folder), before) << "打开失败却改动了文件";
        EXPECT_FALSE(QFile::exists(c.path + "-wal") || QFile::exists(c.path + "-shm"));
        EXPECT_EQ(shared.window->windowTitle(), corvane::hostTitle()) << "标题还是上一个数据库的";
        EXPECT_FALSE(shared.window->importButton->isEnabled());
    }
    EXPECT_TRUE(shared.answer.unexpected.isEmpty())
        << shared.answer.unexpected.join(' ').toStdString();
}

TEST(WindowMistakes, PackagesThatCannotBeImportedAreSaidSoAndTheOldReportGoes) {
    if (!testdb::serverUrl().isEmpty()) GTEST_SKIP() << "与数据库无关, SQLite 上测一次";
    SharedStore shared;
    ASSERT_NO_FATAL_FAILURE(shared.SetUp());
    auto importAll = [&] {
        shared.window->nextPackageToRead = shared.package;
        QTest::mouseClick(shared.window->importButton, Qt::LeftButton);
        return shared.importAll();
    };
    ASSERT_NE(importAll(), nullptr) << shared.window->statusLabel->text().toStdString();

    // A zip that is not a package: the preview is refused with the reason.
    const QString notPackage = shared.dir.filePath("photos.zip");
    ASSERT_EQ(run("python3", {"-c",
                              "import zipfile, sys\n"
                              "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                              "    z.writestr('photo.jpg', b'not a person')\n",
                              notPackage}),
              "");
    Seen refused;
    shared.answer.expect(press("确定", &refused));
    shared.window->nextPackageToRead = notPackage;
    QTest::mouseClick(shared.window->importButton, Qt::LeftButton);
    EXPECT_TRUE(refused.text.contains("无法预览人员包")) << refused.text.toStdString();
    EXPECT_GT(refused.text.section("\n\n", 1).size(), 0) << "对话框没有说明原因";
    EXPECT_EQ(shared.window->report(), nullptr) << "上一次的导入报告还在显示";
    EXPECT_EQ(corvane::embeddedTree(shared.window->framePanel), nullptr);

    // A package deleted after its preview: the import's own words, in Chinese.
    const QString gone = shared.dir.filePath("gone.zip");
    ASSERT_TRUE(QFile::copy(shared.package, gone));
    shared.window->nextPackageToRead = gone;
    QTest::mouseClick(shared.window->importButton, Qt::LeftButton);
    ASSERT_NE(corvane::embeddedTree(shared.window->framePanel), nullptr);
    ASSERT_TRUE(QFile::remove(gone));
    const int before = shared.shell("SELECT count(*) FROM CV_PersonInfo").toInt();
    Seen failed;
    shared.answer.expect(press("确定", &failed));
    QTest::mouseClick(shared.window->runImportButton, Qt::LeftButton);
    EXPECT_EQ(failed.kind, "QMessageBox");
    EXPECT_FALSE(failed.text.contains("no package")) << failed.text.toStdString();
    EXPECT_TRUE(failed.text.contains("人员包无法导入, 没有导入任何人员: "))
        << failed.text.toStdString();
    EXPECT_EQ(shared.shell("SELECT count(*) FROM CV_PersonInfo").toInt(), before);
    EXPECT_EQ(shared.answer.pending(), 0);
    EXPECT_TRUE(shared.answer.unexpected.isEmpty())
        << shared.answer.unexpected.join(' ').toStdString();
}

// A PostgreSQL server that asks for a cleartext password and refuses every one.
class PasswordServer {
public:
    PasswordServer() {
        server_.start("python3",
                      {"-c",
                       "import socket, struct, sys\n"
                       "s = socket.socket()\n"
                       "s.bind(('127.0.0.1', 0))\n"
                       "s.listen(8)\n"
                       "print(s.getsockname()[1], flush=True)\n"
                       "def exact(c, n):\n"
                       "    b = b''\n"
                       "    while len(b) < n:\n"
                       "        part = c.recv(n - len(b))\n"
                       "        if not part: raise EOFError\n"
                       "        b += part\n"
                       "    return b\n"
                       "while True:\n"
                       "    c, _ = s.accept()\n"
                       "    try:\n"
                       "        while True:\n"
                       "            n, = struct.unpack('!I', exact(c, 4))\n"
                       "            body = exact(c, n - 4)\n"
                       "            if struct.unpack('!I', body[:4])[0] in (80877103, 80877104):\n"
                       "                c.sendall(b'N')\n"
                       "                continue\n"
                       "            break\n"
                       "        c.sendall(b'R' + struct.pack('!II', 8, 3))\n"
                       "        if exact(c, 1) == b'p':\n"
                       "            n, = struct.unpack('!I', exact(c, 4))\n"
                       "            exact(c, n - 4)\n"
                       "            m = (b'SFATAL\\0VFATAL\\0C28P01\\0Mpassword authentication '\n"
                       "                 b'failed for user \"hr\"\\0\\0')\n"
                       "            c.sendall(b'E' + struct.pack('!I', len(m) + 4) + m)\n"
                       "    except (EOFError, OSError):\n"
                       "        pass\n"
                       "    c.close()\n"});
        if (server_.waitForReadyRead(10000)) port_ = server_.readLine().trimmed();
    }
    ~PasswordServer() {
        server_.kill();
        server_.waitForFinished();
    }
    QString url(const QString& password = {}) const {
        return "postgresql://hr" + (password.isEmpty() ? QString() : ':' + password) +
               "@127.0.0.1:" + port_ + "/hrdb";
    }
    bool running() const { return !port_.isEmpty(); }

private:
    QProcess server_;
    QString port_;
};

// Answers a password dialog: what it asked, whether it hid what is typed, then `password`
// (or Cancel when empty).
ModalAnswerer::Answer givePassword(const QString& password, Seen* seen, bool* hidden) {
    return [=](QWidget* widget) {
        seen->kind = widget->metaObject()->className();
        auto* dialog = qobject_cast<QInputDialog*>(widget);
        auto* edit = widget->findChild<QLineEdit*>();
        auto* box = widget->findChild<QDialogButtonBox*>();
        if (!dialog || !edit || !box) {
            widget->close();
            return;
        }
        seen->text = dialog->labelText();
        *hidden = edit->echoMode() == QLineEdit::Password;
        if (password.isEmpty()) {
            QTest::mouseClick(box->button(QDialogButtonBox::Cancel), Qt::LeftButton);
            return;
        }
        typeInto(edit, password);
        QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
    };
}

TEST(WindowMistakes, APasswordIsAskedForHiddenAndNeverKept) {
    if (!testdb::serverUrl().isEmpty()) GTEST_SKIP() << "用自己的假服务器, 测一次即可";
    PasswordServer server;
    ASSERT_TRUE(server.running()) << "假的 PostgreSQL 服务器没有启动";
    SharedStore shared;
    ASSERT_NO_FATAL_FAILURE(shared.SetUp());
    const QString ini = shared.dir.filePath("home/corvane/corvane.ini");

    const struct {
        const char* what;
        QString typed;        // into the address
        QString firstAsks;    // the first dialog says
        QStringList answers;  // typed into the password dialogs; the last one is cancelled
    } cases[] = {
        {"a remembered server without its password", server.url(), "要求密码", {"wrong-1"}},
        {"a password typed into the address", server.url("secret-2"), "密码不对", {"wrong-3"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QList<Seen> asked(c.answers.size() + 1);
        bool hidden[8] = {};
        for (qsizetype i = 0; i <= c.answers.size(); ++i)
            shared.answer.expect(givePassword(c.answers.value(i), &asked[i], &hidden[i]));
        typeInto(shared.window->databaseEdit, c.typed);
        QTest::mouseClick(shared.window->openButton, Qt::LeftButton);
        EXPECT_EQ(shared.answer.pending(), 0);
        EXPECT_TRUE(asked[0].text.contains(c.firstAsks)) << asked[0].text.toStdString();
        for (qsizetype i = 0; i <= c.answers.size(); ++i) {
            EXPECT_EQ(asked[i].kind, "QInputDialog") << i;
            EXPECT_TRUE(hidden[i]) << "密码输入时显示出来了";
            if (i > 0) {
                EXPECT_TRUE(asked[i].text.contains("密码不对")) << i;
            }
        }
        EXPECT_FALSE(shared.window->importButton->isEnabled());
        EXPECT_EQ(shared.window->passwordEdit->echoMode(), QLineEdit::Password);
        EXPECT_FALSE(shared.window->databaseEdit->text().contains("secret"));
        QFile remembered(ini);
        const QByteArray kept = remembered.open(QIODevice::ReadOnly) ? remembered.readAll() : "";
        for (const QString& password : c.answers + QStringList{"secret-2"})
            EXPECT_FALSE(kept.contains(password.toUtf8())) << "密码被记在了设置文件中";
    }
    EXPECT_TRUE(shared.answer.unexpected.isEmpty())
        << shared.answer.unexpected.join(' ').toStdString();
}

}  // namespace
