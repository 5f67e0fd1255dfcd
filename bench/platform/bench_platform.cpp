// Data packets at scale: a person file of 100,000 rows (the eleven columns an export writes,
// Chinese names and department paths) written and read back through the dataset engine.
//
// Yardsticks, each under the same conditions as what it measures (same folder, the data
// synced to the disk before the file counts as written):
//   write: the finished bytes of the same packet written with one call and synced;
//   read:  libxml2's SAX parser over the same file with no handler, building nothing.
//
// bench_platform hostile: the packet of a 34 KB zip that declares 5,007 fields and 200,000
//   empty rows, read; prints the time and the peak memory of the process until the refusal.
// bench_platform read FILE: reads one packet, for measuring with /usr/bin/time -v.
//
// Run: bench_platform [rows] [repeats] | bench_platform hostile | bench_platform read FILE
#include <fcntl.h>
#include <libxml/parser.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "ClientDataSet.h"
#include "DataPacket.h"

namespace {

using cv::FieldType;

cv::RowSet personFile(int rows) {
    cv::RowSet data{{{"PerUUID", FieldType::String, 40},
                     {"PerName", FieldType::String, 40},
                     {"PerSex", FieldType::String, 4},
                     {"PerMemo", FieldType::String, 0},
                     {"LoginName", FieldType::String, 40},
                     {"UPassword", FieldType::String, 40},
                     {"PerDept", FieldType::String, 40},
                     {"PrjID", FieldType::Integer, 0},
                     {"DeptID", FieldType::String, 40},
                     {"DeptName", FieldType::String, 100},
                     {"DeptMemo", FieldType::String, 0}},
                    {}};
    data.rows.reserve(rows);
    for (int i = 0; i < rows; ++i) {
        const int top = i % 50 + 1, second = i % 9 + 1, third = i % 10 + 1;
        const QString dept = QStringLiteral("%1%2%3")
                                 .arg(top, 4, 10, QLatin1Char('0'))
                                 .arg(second, 4, 10, QLatin1Char('0'))
                                 .arg(third, 4, 10, QLatin1Char('0'));
        data.rows.append(
            {QStringLiteral("3101011980%1").arg(i, 8, 10, QLatin1Char('0')),
             QStringLiteral("姓名%1").arg(i), i % 2 ? QStringLiteral("男") : QStringLiteral("女"),
             i % 3 ? QVariant() : QVariant(QStringLiteral("备注 & <说明>")),
             QStringLiteral("login%1").arg(i), QStringLiteral("pw%1@123").arg(i), dept,
             qlonglong(0), dept,
             QStringLiteral("部门%1_科室%2_小组%3").arg(top).arg(second).arg(third), QString()});
    }
    return data;
}

double seconds(const std::function<void()>& work) {
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e9;
}

double cpuSeconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The fastest of `repeats` runs: elapsed seconds and processor seconds (the steadier figure
// on a busy machine; it leaves out waiting for the disk).
struct Figure {
    double elapsed = 1e9;
    double cpu = 1e9;
};

Figure best(
    int repeats, const std::function<void()>& work, const std::function<void()>& between = [] {}) {
    Figure figure;
    for (int i = 0; i < repeats; ++i) {
        between();
        const double cpu = cpuSeconds();
        figure.elapsed = std::min(figure.elapsed, seconds(work));
        figure.cpu = std::min(figure.cpu, cpuSeconds() - cpu);
    }
    return figure;
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) qFatal("cannot read %s", qPrintable(path));
    return file.readAll();
}

void writeAndSync(const QString& path, const QByteArray& bytes) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size() ||
        ::fdatasync(fd) != 0 || ::close(fd) != 0)
        qFatal("cannot write %s", qPrintable(path));
}

// libxml2's SAX parser with no handler at all, fed in the reader's chunks.
void parseOnly(const QString& path) {
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    sax.initialized = XML_SAX2_MAGIC;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) qFatal("cannot read %s", qPrintable(path));
    xmlParserCtxtPtr context = xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, nullptr);
    xmlCtxtUseOptions(context, XML_PARSE_NONET);
    QByteArray chunk(256 * 1024, Qt::Uninitialized);
    for (qint64 n; (n = file.read(chunk.data(), chunk.size())) > 0;)
        xmlParseChunk(context, chunk.constData(), int(n), 0);
    xmlParseChunk(context, nullptr, 0, 1);
    if (!context->wellFormed) qFatal("the yardstick's parse failed");
    xmlFreeParserCtxt(context);
}

long peakKilobytes() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int benchRoundTrip(int rows, int repeats) {
    QTemporaryDir dir;
    const QString path = dir.filePath("perinfo.per");
    const QString floorPath = dir.filePath("floor.per");
    const cv::RowSet data = personFile(rows);
    const Figure write = best(repeats, [&] { cv::writeDataPacket(path, data); });
    const QByteArray bytes = fileBytes(path);
    const Figure writeFloor = best(repeats, [&] { writeAndSync(floorPath, bytes); });
    cv::RowSet back;
    // The rows of the previous run are released before the clock starts.
    const Figure read = best(
        repeats, [&] { back = cv::readDataPacket(path); }, [&] { back = {}; });
    if (back.rows != data.rows) qFatal("the packet did not read back as written");
    const Figure readFloor = best(repeats, [&] { parseOnly(path); });

    std::printf("data packet, %d rows of %lld fields, %.1f MB (best of %d; elapsed, processor):\n",
                rows, qlonglong(data.fields.size()), double(bytes.size()) / 1e6, repeats);
    const auto line = [](const char* what, const Figure& figure) {
        std::printf("  %-36s %7.3f s %7.3f s\n", what, figure.elapsed, figure.cpu);
    };
    line("write (compose, write, sync)", write);
    line("the same bytes written and synced", writeFloor);
    line("read (parse, check, build rows)", read);
    line("libxml2 SAX parse, nothing built", readFloor);
    std::printf("  write / floor = %.2f (processor %.2f), read / floor = %.2f (processor %.2f)\n",
                write.elapsed / writeFloor.elapsed, write.cpu / writeFloor.cpu,
                read.elapsed / readFloor.elapsed, read.cpu / readFloor.cpu);
    std::printf("repeat: %s %d %d\n", qPrintable(QCoreApplication::applicationFilePath()), rows,
                repeats);
    return 0;
}

int benchHostile() {
    QTemporaryDir dir;
    const QString path = dir.filePath("perinfo.per");
    QByteArray packet =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DATAPACKET><METADATA><FIELDS>";
    for (int f = 0; f < 5007; ++f)
        packet += "<FIELD attrname=\"F" + QByteArray::number(f) + "\" fieldtype=\"string\"/>";
    packet += "</FIELDS></METADATA><ROWDATA>";
    for (int r = 0; r < 200000; ++r) packet += "<ROW/>";
    packet += "</ROWDATA></DATAPACKET>\n";
    writeAndSync(path, packet);
    const long before = peakKilobytes();
    QString refusal;
    const double took = seconds([&] {
        try {
            cv::readDataPacket(path);
        } catch (const cv::DataPacketError& e) {
            refusal = QString::fromStdString(e.what());
        }
    });
    std::printf("hostile packet, 5,007 fields and 200,000 empty rows, %.2f MB:\n",
                double(packet.size()) / 1e6);
    std::printf("  refused after %.3f s: %s\n", took,
                refusal.isEmpty() ? "NOT REFUSED" : qPrintable(refusal));
    std::printf("  peak memory of the process %.1f MB (%.1f MB before reading)\n",
                double(peakKilobytes()) / 1024, double(before) / 1024);
    std::printf("repeat: %s hostile\n", qPrintable(QCoreApplication::applicationFilePath()));
    return refusal.isEmpty() ? 1 : 0;
}

int benchRead(const QString& path) {
    try {
        const double took = seconds([&] {
            const cv::RowSet data = cv::readDataPacket(path);
            std::printf("%lld rows of %lld fields\n", qlonglong(data.rows.size()),
                        qlonglong(data.fields.size()));
        });
        std::printf("read in %.3f s, peak memory %.1f MB\n", took, double(peakKilobytes()) / 1024);
        return 0;
    } catch (const cv::DataPacketError& e) {
        std::printf("refused: %s\npeak memory %.1f MB\n", e.what(), double(peakKilobytes()) / 1024);
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (!args.isEmpty() && args[0] == "hostile") return benchHostile();
    if (args.size() == 2 && args[0] == "read") return benchRead(args[1]);
    const int rows = args.size() > 0 ? args[0].toInt() : 100000;
    const int repeats = args.size() > 1 ? args[1].toInt() : 5;
    if (rows <= 0 || repeats <= 0) {
        std::fprintf(stderr,
                     "usage: bench_platform [rows] [repeats] | bench_platform hostile | "
                     "bench_platform read FILE\n");
        return 2;
    }
    return benchRoundTrip(rows, repeats);
}
