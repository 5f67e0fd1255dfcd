// libFuzzer harness: the data-packet reader on arbitrary bytes. A packet that reads is
// written back and read again: the second reading must give the same fields and values. And
// it must be a whole document as libxml2 reads it on its own, with as many rows: a reader that
// stopped early and kept what it had would pass the first check. The compact table read from
// the same bytes holds the texts of the values, and refuses what the dataset's reading does.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ClientDataSet.h"
#include "DataPacket.h"
#include "FuzzSupport.h"
#include "PacketTable.h"

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

// The ROW elements of ROWDATA in libxml2's own reading of the bytes as one document; -1 when
// it does not read them whole.
long rowsAsLibxmlReadsThem(const std::uint8_t* data, std::size_t size) {
    const std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
        xmlReadMemory(reinterpret_cast<const char*>(data), int(size), nullptr, nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
        &xmlFreeDoc);
    if (!doc) return -1;
    const auto named = [](const xmlNode* node, const char* name) {
        return node->type == XML_ELEMENT_NODE &&
               std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
    };
    long rows = 0;
    for (const xmlNode* part = xmlDocGetRootElement(doc.get())->children; part; part = part->next)
        if (named(part, "ROWDATA"))
            for (const xmlNode* row = part->children; row; row = row->next)
                rows += named(row, "ROW");
    return rows;
}

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz_datapacket: %s\n", what);
    std::abort();
}

void ignore(void*, const char*, ...) {}

}  // namespace

// libxml2's messages about the documents it refuses are not the harness's output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    xmlSetGenericErrorFunc(nullptr, &ignore);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static QTemporaryDir dir(cvfuzz::scratchFolder() + "/datapacket-XXXXXX");
    const QString in = dir.filePath("in.per");
    const QString out = dir.filePath("out.per");
    cvfuzz::writeFile(in, data, size);

    cv::RowSet first;
    std::string refusal;
    try {
        first = cv::readDataPacket(in);
    } catch (const cv::DataPacketError& e) {
        refusal = e.what();  // refused with a reason: fine
    }
    try {
        const cv::PacketTable table = cv::PacketTable::read(in);
        check(refusal.empty(), "the table reads what the dataset refuses");
        check(table.fields() == first.fields && table.size() == first.rows.size(),
              "the table's shape differs");
        for (qsizetype r = 0; r < table.size(); ++r)
            for (int c = 0; c < int(first.fields.size()); ++c)
                check(table.isNull(r, c) == first.rows[r][c].isNull() &&
                          table.text(r, c) == cv::valueText(first.rows[r][c]),
                      "a cell of the table differs");
    } catch (const cv::DataPacketError& e) {
        check(refusal == e.what(), "the table is refused otherwise than the dataset");
    }
    if (!refusal.empty()) return 0;
    check(rowsAsLibxmlReadsThem(data, size) == first.rows.size(),
          "read, but not the whole document libxml2 reads");
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
