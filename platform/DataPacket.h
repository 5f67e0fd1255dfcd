// The XML data packet that a client dataset saves and loads (UTF-8):
//   <DATAPACKET Version="2.0"><METADATA><FIELDS><FIELD attrname=".." fieldtype=".." WIDTH=".."/>
//   </FIELDS><PARAMS/></METADATA><ROWDATA><ROW attrname="value" .../></ROWDATA></DATAPACKET>
// A ROW has one attribute per non-null value: a null is an absent attribute, an empty text an
// empty one. A field whose name cannot be an attribute name is given a made-up attrname, and
// its FIELD carries the real name in `fieldname`.
#pragma once

#include <QString>

#include "DataSet.h"

namespace cv {

// Writes to a temporary file beside `path` and renames it into place; throws DataPacketError
// and leaves `path` as it was when anything fails.
void writeDataPacket(const QString& path, const RowSet& data);

// Throws DataPacketError for anything that is not a well-formed data packet, a DOCTYPE
// included: no entity is expanded and nothing outside the file is read.
RowSet readDataPacket(const QString& path);

}  // namespace cv
