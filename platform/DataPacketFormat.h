// What the data packet's writer and reader share: the names of field types, the packet's own
// escape for what XML cannot hold, and the export's mark. Internal to the platform library.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>
#include <optional>

#include "ClientDataSet.h"
#include "DataSet.h"

namespace cv::packet {

[[noreturn]] inline void fail(const QString& message) {
    throw DataPacketError(message.toStdString());
}

inline const char* typeName(FieldType type) {
    switch (type) {
        case FieldType::String:
            return "string";
        case FieldType::Integer:
            return "i8";
        case FieldType::Float:
            return "r8";
        case FieldType::Boolean:
            return "boolean";
        case FieldType::DateTime:
            return "datetime";
        case FieldType::Blob:
            return "bin.hex";
    }
    return "string";
}

inline std::optional<FieldType> typeNamed(QByteArrayView name) {
    static const QHash<QByteArray, FieldType> types{
        {"string", FieldType::String},   {"i4", FieldType::Integer},
        {"i8", FieldType::Integer},      {"r8", FieldType::Float},
        {"boolean", FieldType::Boolean}, {"datetime", FieldType::DateTime},
        {"bin.hex", FieldType::Blob}};
    const auto it = types.find(name.toByteArray());
    if (it == types.end()) return std::nullopt;
    return *it;
}

// The packet's own escape: U+10FFFD, then four upper-case hex digits naming one UTF-16 unit.
constexpr char16_t EscapeHigh = 0xDBFF;
constexpr char16_t EscapeLow = 0xDFFD;
constexpr qsizetype EscapedUnitBytes = 8;  // F4 8F BF BD and four digits

// The export's mark after the packet's root element: <?cvpersonpack export="MARK"?>
constexpr char MarkOpening[] = "<?cvpersonpack export=\"";
constexpr char MarkClosing[] = "\"?>";
constexpr qsizetype MaxMarkSize = 64;

inline bool isMark(QByteArrayView mark) {
    if (mark.isEmpty() || mark.size() > MaxMarkSize) return false;
    for (const char c : mark) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              c == '-'))
            return false;
    }
    return true;
}

}  // namespace cv::packet
