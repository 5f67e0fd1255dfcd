#include "PackageFiles.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVariant>
#include <utility>

#include "DataPacket.h"
#include "Heartbeat.h"
#include "HeldFolder.h"
#include "HostContext.h"
#include "HostServices.h"
#include "TFramePerson.h"

namespace cv {
namespace {

// Unpacking folders carry the process id of their reader for whoever looks into the temporary
// directory; whether the reader lives is told by the folder's hold alone.
const QString UnpackPrefix = QStringLiteral("CVPersonPack-");
const char* const FingerprintProperty = "cvPreviewedPackage";

// The fingerprint of the package that the preview located last; empty when it located none.
QByteArray& lastPreviewed() {
    static QByteArray fingerprint;
    return fingerprint;
}

bool sameUpToAsciiCase(const QString& a, const QString& b) {
    if (a.size() != b.size()) return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char16_t x = a[i].unicode();
        char16_t y = b[i].unicode();
        if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
        if (x != y) return false;
    }
    return true;
}

enum class Lookup { Found, Missing, Ambiguous };

// The file that `joined` (a folder, then a file name) names, its file name's letter case
// aside. `joined` becomes the path of the file found; a missing file keeps the name given.
Lookup lookUp(QString& joined) {
    const qsizetype slash = joined.lastIndexOf('/');
    const QString folder = joined.left(slash + 1);
    const QString name = joined.sliced(slash + 1);
    const QStringList entries =
        QDir(folder.isEmpty() ? QStringLiteral(".") : folder)
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    QString match;
    for (const QString& entry : entries) {
        if (!sameUpToAsciiCase(entry, name)) continue;
        if (!match.isEmpty()) return Lookup::Ambiguous;
        match = entry;
    }
    if (match.isEmpty()) return Lookup::Missing;
    joined = folder + match;
    // A folder, a link or a device under a dataset file's name is not a dataset file.
    const QFileInfo info(joined);
    return info.isFile() && !info.isSymLink() ? Lookup::Found : Lookup::Missing;
}

// Whether the two files carry one export's mark, or neither carries one. A file that cannot
// be read is left to the reading, which says why.
bool belongTogether(const QString& personFile, const QString& deptFile) {
    const std::optional<QString> person = readDataPacketMark(personFile);
    const std::optional<QString> dept = readDataPacketMark(deptFile);
    return !person || !dept || *person == *dept;
}

}  // namespace

QByteArray PackageFingerprint(const QString& personFile, const QString& deptFile) {
    QCryptographicHash hash(QCryptographicHash::Blake2b_256);
    for (const QString& path : {personFile, deptFile}) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) return {};
        // The length first, so that no two pairs of files give the same stream of bytes.
        const qint64 size = file.size();
        hash.addData(QByteArrayView(reinterpret_cast<const char*>(&size), sizeof size));
        // In slices, each a sign of life for a progress dialog over the work.
        QByteArray buffer(64 * 1024, Qt::Uninitialized);
        for (;;) {
            const qint64 read = file.read(buffer.data(), buffer.size());
            if (read < 0) return {};
            if (read == 0) break;
            for (qint64 at = 0; at < read; at += 4096) {
                hash.addData(
                    QByteArrayView(buffer.constData() + at, std::min<qint64>(4096, read - at)));
                heartbeat();
            }
        }
    }
    return hash.result();
}

PackageFiles LocatePackageFiles(const QString& packageArgument, PackageJoin join) {
    if (join == PackageJoin::Preview) lastPreviewed().clear();
    PackageFiles files;
    QString directory;
    if (host::packageVersion() == 3) {
        directory = join == PackageJoin::Import ? packageArgument : packageArgument + '/';
    } else {
        const QString temp = host::appTempPath(QStringLiteral("XTGL"));
        if (temp.isEmpty()) {
            files.reason = QStringLiteral("主机没有给出解压人员包的临时目录");
            return files;
        }
        TidyAbandonedFolders(temp, UnpackPrefix,
                             [](const QString& folder) { QDir(folder).removeRecursively(); });
        auto folder = std::make_shared<HeldFolder>(
            temp, UnpackPrefix + QString::number(QCoreApplication::applicationPid()) + '-');
        if (!folder->isValid()) {
            files.reason = QStringLiteral("无法建立解压人员包的临时目录: ") + folder->errorString();
            return files;
        }
        if (!host::extractFile(packageArgument, folder->path() + '/')) {
            files.reason = QStringLiteral("无法解压人员包 %1 (文件不存在, 已损坏, 或不是人员包)")
                               .arg(packageArgument);
            return files;
        }
        files.unpacked = folder;
        directory = folder->path() + '/';
    }
    QString personFile = directory + PersonFileName;
    QString deptFile = directory + DeptFileName;
    const Lookup person = lookUp(personFile);
    const Lookup dept = lookUp(deptFile);
    if (person == Lookup::Ambiguous || dept == Lookup::Ambiguous) {
        files.status = PackageFiles::Status::Ambiguous;
        files.reason = QStringLiteral("人员包中有两个文件都是 %1 (名字只差大小写)")
                           .arg(person == Lookup::Ambiguous ? PersonFileName : DeptFileName);
        return files;
    }
    if (person == Lookup::Found && dept == Lookup::Found && !belongTogether(personFile, deptFile)) {
        files.status = PackageFiles::Status::Mismatched;
        files.reason = QStringLiteral(
                           "人员包的 %1 和 %2 不是同一次导出写出的 (导出中途被打断, "
                           "或混入了另一次导出的文件), 请重新导出")
                           .arg(PersonFileName, DeptFileName);
        return files;
    }
    files.personFile = personFile;
    files.deptFile = deptFile;
    files.status = person == Lookup::Found && dept == Lookup::Found
                       ? PackageFiles::Status::Found
                       : PackageFiles::Status::FileMissing;
    if (!files.found()) {
        files.reason = QStringLiteral("找不到人员包的文件 %1")
                           .arg(person == Lookup::Found ? deptFile : personFile);
    }
    if (join == PackageJoin::Preview && files.found())
        lastPreviewed() = PackageFingerprint(files.personFile, files.deptFile);
    return files;
}

void RecordPreviewedPackage(QObject& frame) {
    // Taken, not copied: a later preview that fails before locating its package must not
    // pass this one off as its own.
    frame.setProperty(FingerprintProperty, std::exchange(lastPreviewed(), QByteArray()));
}

bool MatchesPreviewedPackage(const PackageFiles& files) {
    const QWidget* frame = findOwnedWidget(TFramePerson::InstanceName);
    const QByteArray previewed =
        frame ? frame->property(FingerprintProperty).toByteArray() : QByteArray();
    if (!previewed.isEmpty() && previewed == PackageFingerprint(files.personFile, files.deptFile))
        return true;
    return false;
}

}  // namespace cv
