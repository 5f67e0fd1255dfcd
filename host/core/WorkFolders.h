// Where the host works when its settings name no folder. Per user: the log, in the user's
// state folder ($XDG_STATE_HOME/corvane/corvane.log, by default ~/.local/state/corvane/).
// Per run: the package directory and the temporary directory, in a folder of this process
// alone, made private (mode 0700) under the user's cache folder ($XDG_CACHE_HOME/corvane/,
// by default ~/.cache/corvane/) as run-XXXXXX. So no two processes ever share a package
// directory, and nobody else on the machine reads a package's passwords there.
//
// A run folder is removed when its process ends. The process holds an flock on the folder
// while it lives; a folder nobody holds is one whose process died, and the next host to make
// its own run folder removes it.
#pragma once

#include <QString>

namespace cvhost {

// The log file of the user, its folder made when missing.
QString defaultLogFile();

// This process's run folder, made on first use (with a '/' at the end); "" when none can be
// made. Its path is nameable in GBK (the plug-in takes folders in GBK): under the user's
// cache folder when that is, else under the system's temporary folder.
QString runFolder();

}  // namespace cvhost
