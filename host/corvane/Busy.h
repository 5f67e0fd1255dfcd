// The host's own long work, done while its window goes on painting: on a thread of its own,
// with the window's input held back meanwhile and, once it runs past a moment, a modal
// progress dialog saying what the host is doing. The window is never frozen by it.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace corvane {

// Waits for `work` while the event loop runs, as described above; `parent` is the window the
// dialog sits over (null: none). `work` must not touch widgets. Rethrows what `work` threw.
void waitWhileBusy(QWidget* parent, const QString& doing, const std::function<void()>& work);

}  // namespace corvane
