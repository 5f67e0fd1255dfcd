// Placeholders until the package operations land.
#include "PackageOperations.h"

namespace cv {
std::int32_t PackageView() { return -1; }
std::int32_t PackageExportProc(QWidget*) { return -1; }
QString PackageExport() { return QStringLiteral(" "); }
std::int32_t PackageImportProc(const QString&, QWidget*) { return -1; }
std::int32_t PackageImport(const QString&) { return -1; }
}  // namespace cv
