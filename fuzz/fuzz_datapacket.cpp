// libFuzzer harness: the data-packet reader on arbitrary bytes. A packet that reads is
// written back and read again: the second reading must give the same fields and values.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ClientDataSet.h"
#include "DataPacket.h"
#include "FuzzSupport.h"

namespace {

bool sameValue(const QVariant& a, const QVariant& b) {
    if (a.isNull() || b.isNull()) return a.isNull() == b.isNull();
    if (a.typeId() != b.typeId()) return false;
    if (a.typeId() == QMetaType::Double) {
        const double x = a.toDouble();
        const double y = b.toDouble();
        return (std::isnan(x) && std::isnan(y)) || x == y;
    }
    return a == b;
}

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz_datapacket: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static QTemporaryDir dir(cvfuzz::scratchFolder() + "/datapacket-XXXXXX");
    const QString in = dir.filePath("in.per");
    const QString out = dir.filePath("out.per");
    cvfuzz::writeFile(in, data, size);

    cv::RowSet first;
    try {
        first = cv::readDataPacket(in);
    } catch (const cv::DataPacketError&) {
        return 0;  // refused with a reason: fine
    }
    // What was read must write and read back unchanged.
    cv::writeDataPacket(out, first);
    const cv::RowSet second = cv::readDataPacket(out);
    check(first.fields == second.fields, "fields differ after writing and reading again");
    check(first.rows.size() == second.rows.size(), "row count differs");
    for (qsizetype r = 0; r < first.rows.size(); ++r) {
        check(first.rows[r].size() == second.rows[r].size(), "row width differs");
        for (qsizetype c = 0; c < first.rows[r].size(); ++c)
            check(sameValue(first.rows[r][c], second.rows[r][c]), "a value differs");
    }
    return 0;
}
