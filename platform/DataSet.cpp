#include "DataSet.h"

#include <QDateTime>

namespace cv {

int RowSet::indexOf(const QString& name) const {
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (fields[i].name.compare(name, Qt::CaseInsensitive) == 0) return int(i);
    }
    return -1;
}

QString valueText(const QVariant& value) {
    if (value.isNull()) return {};
    switch (value.typeId()) {
        case QMetaType::Double:
            return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
        case QMetaType::QDateTime:
            return value.toDateTime().toString(Qt::ISODateWithMs);
        default:
            return value.toString();
    }
}

namespace {

bool isIntegral(int typeId) {
    switch (typeId) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
            return true;
        default:
            return false;
    }
}

// QByteArray::fromHex skips what is not a digit; a strict reading must give the text back.
std::optional<QByteArray> fromHex(const QString& text) {
    const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
    if (QString::fromLatin1(bytes.toHex()) != text.toLower()) return std::nullopt;
    return bytes;
}

}  // namespace

FieldType fieldTypeOf(QMetaType type) {
    if (isIntegral(type.id())) return FieldType::Integer;
    switch (type.id()) {
        case QMetaType::Bool:
            return FieldType::Boolean;
        case QMetaType::Double:
        case QMetaType::Float:
            return FieldType::Float;
        case QMetaType::QDate:
        case QMetaType::QDateTime:
            return FieldType::DateTime;
        case QMetaType::QByteArray:
            return FieldType::Blob;
        default:
            return FieldType::String;
    }
}

std::optional<QVariant> convertValue(FieldType type, const QVariant& value) {
    if (value.isNull()) return QVariant();
    const QString text = valueText(value);
    bool ok = false;
    switch (type) {
        case FieldType::String:
            return QVariant(text);
        case FieldType::Integer: {
            const qlonglong n = text.toLongLong(&ok);
            if (ok) return QVariant(n);
            break;
        }
        case FieldType::Float: {
            if (value.typeId() == QMetaType::Double) return value;
            const double d = text.toDouble(&ok);
            if (ok) return QVariant(d);
            break;
        }
        case FieldType::Boolean:
            if (value.typeId() == QMetaType::Bool) return value;
            if (isIntegral(value.typeId())) return QVariant(value.toLongLong() != 0);
            if (text == "true" || text == "1") return QVariant(true);
            if (text == "false" || text == "0") return QVariant(false);
            break;
        case FieldType::DateTime: {
            if (value.typeId() == QMetaType::QDateTime) return value;
            if (value.typeId() == QMetaType::QDate) {
                return QVariant(value.toDate().startOfDay());
            }
            const QDateTime when = QDateTime::fromString(text, Qt::ISODateWithMs);
            if (when.isValid()) return QVariant(when);
            break;
        }
        case FieldType::Blob:
            if (value.typeId() == QMetaType::QByteArray) return value;
            if (auto bytes = fromHex(text)) return QVariant(*bytes);
            break;
    }
    return std::nullopt;
}

}  // namespace cv
