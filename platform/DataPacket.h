// The XML data packet that a client dataset saves and loads (UTF-8):
//   <DATAPACKET Version="2.0"><METADATA><FIELDS><FIELD attrname=".." fieldtype=".." WIDTH=".."/>
//   </FIELDS><PARAMS/></METADATA><ROWDATA><ROW attrname="value" .../></ROWDATA></DATAPACKET>
// A ROW has one attribute per non-null value: a null is an absent attribute, an empty text an
// empty one. A field whose name cannot be an attribute name is given a made-up attrname, and
// its FIELD carries the real name in `fieldname`.
//
// Every character of a value travels, also those XML cannot hold even as a character
// reference (control characters other than tab, line feed and carriage return, U+FFFE, U+FFFF,
// unpaired surrogates): inside an attribute value, U+10FFFD followed by four upper-case hex
// digits stands for one UTF-16 code unit. U+10FFFD itself travels that way too, so a value
// that holds none of these is written as plain XML and reads back the same everywhere.
//
// A packet is read from a package that came from elsewhere: the reader builds no more than a
// real package holds (the limits below) and refuses beyond them before it allocates. The
// writer refuses whatever the reader would refuse, so that what is written can be read.
#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "DataSet.h"

namespace cv {

class StagedFile;

struct DataPacketLimits {
    qint64 maxBytes = qint64(1) << 30;  // the file
    qsizetype maxFields = 4096;         // more than two tables of either engine can have
    // UTF-8; all names together stay far below the 10,000,000 bytes of names libxml2 keeps.
    qsizetype maxFieldNameBytes = 1024;
    qsizetype maxRows = 4'000'000;
    qsizetype maxCells = 16'000'000;  // fields x rows: about a million people of 15 columns
    // One ROW as written, markup included. libxml2 without XML_PARSE_HUGE refuses an element
    // whose start tag nears 10,000,000 bytes (the exact point depends on its buffering).
    qsizetype maxRowBytes = 9'000'000;
};

// Writes to a temporary file beside `path` and renames it into place; throws DataPacketError
// (DataPacketValueError when one row is to blame) and leaves `path` as it was when anything
// fails.
void writeDataPacket(const QString& path, const RowSet& data);
// Writes into `file`, open and not yet committed; the caller commits or abandons it.
void writeDataPacket(StagedFile& file, const RowSet& data,
                     const DataPacketLimits& limits = DataPacketLimits());

// One value of a row handed to the writer without a dataset: plain UTF-8 text or a whole
// number where the source has it so, otherwise the QVariant the dataset would hold.
struct PacketValue {
    enum class Kind { Null, Utf8, Integer, Other };
    Kind kind = Kind::Null;
    QByteArrayView utf8;  // Kind::Utf8, valid until the source moves on
    qint64 integer = 0;   // Kind::Integer
};

// Rows read one at a time, straight from where they are stored.
class PacketRowSource {
public:
    virtual ~PacketRowSource() = default;
    // To the first row, then to the next one; false after the last.
    virtual bool next() = 0;
    // Known once next() has been called.
    virtual const QList<FieldDef>& fields() const = 0;
    virtual PacketValue value(int field) = 0;
    // The value of `field` as the dataset of these rows holds it.
    virtual QVariant variant(int field) = 0;
};

// Writes the rows of `source` into `file` (open, not yet committed) in one pass, byte for byte
// as writeDataPacket writes the dataset they make. False, with the file holding an unfinished
// packet, where only the dataset can be written as it would be: a value that does not read
// back as its field's type (the field is then written as text), a row or a packet over the
// limits (the refusal names what only the whole dataset tells). Throws DataPacketError when
// the file cannot be written.
bool streamDataPacket(StagedFile& file, PacketRowSource& source,
                      const DataPacketLimits& limits = DataPacketLimits());

// Throws DataPacketError for anything that is not a well-formed data packet within the limits,
// a DOCTYPE included: no entity is expanded and nothing outside the file is read.
RowSet readDataPacket(const QString& path);
RowSet readDataPacket(const QString& path, const DataPacketLimits& limits);

// The mark of the export that wrote a packet, so that a reader can tell the files of one
// export from files of two: a processing instruction after the packet's root element,
//   <?cvpersonpack export="MARK"?>
// which an XML reader passes over (the packet reads as it did without it). A mark is 1 to 64
// ASCII letters, digits and '-'. Appended to `file` (open, the packet written, not yet
// committed); false when the file cannot take it or the mark is not one.
bool appendDataPacketMark(StagedFile& file, const QString& mark);
// The mark at the end of the file at `path`, found from its last bytes alone: the empty text
// when it has none (a packet of an older export); nothing when the file cannot be read.
std::optional<QString> readDataPacketMark(const QString& path);
// Where a reader puts the rows of a packet as it reads them, for a holder of rows other than
// a RowSet. What it was given before a refusal is not a packet's rows.
class PacketRowSink {
public:
    virtual ~PacketRowSink() = default;
    // Once, with every field, before the first row.
    virtual void start(const QList<FieldDef>& fields) = 0;
    // One row: `values[i]` (as the dataset holds it) of the field `columns[i]`, each field at
    // most once; the fields not named are null. The values may be moved out.
    virtual void row(const std::vector<int>& columns, std::vector<QVariant>& values) = 0;
};
// Reads as readDataPacket does, handing each row to `sink` as it is read.
void readDataPacket(const QString& path, PacketRowSink& sink,
                    const DataPacketLimits& limits = DataPacketLimits());

}  // namespace cv
