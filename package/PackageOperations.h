// The operations behind the plug-in's exports. Each runs on the host's user-interface thread
// with the host context already installed; failures the operation does not answer with a
// result value leave it as exceptions, and the export turns them into its failure value.
#pragma once

#include <QString>
#include <cstdint>

class QWidget;

namespace cv {

// The personnel preview dialog: 1 after it was shown and closed, -1 when the store is not
// usable or the tree cannot be built.
std::int32_t PackageView();

// Embeds the fully ticked database tree in `parent`: 1, or -1.
std::int32_t PackageExportProc(QWidget* parent);
// Writes the package of the ticked people: the package directory, "-2", "-3" or " ".
QString PackageExport();

// Embeds the preview of a package in `parent` ("@&@" in front: import everything, no tick
// boxes): 1, or -1.
std::int32_t PackageImportProc(const QString& packageArgument, QWidget* parent);
// Imports the ticked people: 1, -2 or -1.
std::int32_t PackageImport(const QString& packageArgument);

// Destroys the frame registered as "FramePerson": 1 (also when there is none), or -1.
std::int32_t PackageFree();

}  // namespace cv
