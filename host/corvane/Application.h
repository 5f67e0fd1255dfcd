// The host program's application object as every window of the process sees it: its name,
// and Qt's own Chinese texts for its standard dialogs and buttons (是/否, 取消, file dialogs).
#pragma once

#include <QString>

namespace corvane {

// The host's title: the caption of every message box, the plug-in's included.
QString hostTitle();

// Names the application and loads Qt's Chinese translations from Qt's translations folder.
// The title is set as the application's name, not as its display name: platforms append a
// display name to every window title ("系统人员预览 — ..."), and the plug-in's dialogs must
// keep their own captions. Answers false when the translations could not be loaded (the
// standard buttons then read in English).
bool setUpApplication();

}  // namespace corvane
