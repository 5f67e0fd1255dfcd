// The manifest "SysPerInfo.XML" of a person package: it lists the two dataset files for the
// host's package tooling. Nothing in this library reads it back.
#pragma once

#include <QString>

namespace cv {

class StagedFile;

// Writes the manifest to `manifestPath`, in gb2312 with that encoding declared: the root
// ReaderPackList whose PackName is the path's file name without its last four characters,
// then one ReaderNode for the person file and one for the department file, each with its
// nine attributes in a fixed order (empty ones written with an empty value). The file is
// written under a temporary name and renamed into place, replacing an earlier one. True on
// success; every failure answers false and leaves any earlier manifest as it was.
bool WritePackManifest(const QString& manifestPath);
// Writes the same manifest, named after the file's target, into a staged file that the
// caller commits (with the dataset files) or abandons.
bool WritePackManifest(StagedFile& file);

}  // namespace cv
