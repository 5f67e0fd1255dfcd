// The plug-in as the host holds it: the library loaded from beside the program and its six
// exports resolved by name.
#pragma once

#include <QObject>
#include <QString>

#include "CVPersonPackAPI.h"

namespace corvane {

struct Plugin {
    void* handle = nullptr;
    CVPackage_View_t view = nullptr;
    CVPackage_ExportProc_t exportProc = nullptr;
    CVPackage_Export_t exportPackage = nullptr;
    CVPackage_ImportProc_t importProc = nullptr;
    CVPackage_Import_t importPackage = nullptr;
    CVPackage_Free_t freeFrame = nullptr;

    // Loads libCVPersonPackAPI.so from the program's folder; false with `error` set when the
    // library or one of its exports is missing.
    bool load(QString* error);

    // CVPackage_Export for the application object `app`: the text it stored, the host's
    // string released again.
    QString writePackage(QObject* app) const;
};

}  // namespace corvane
