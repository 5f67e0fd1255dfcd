// The host's user-interface context as the library holds it.
//
// Lifecycle: at load the library records its own context (the application object that
// exists in the process at that moment, if any, and its primary screen) as the saved copy.
// Every export stores the host's three objects as the current context; they stay after the
// call. At process detach the saved copy is put back, so that shutdown never touches the
// host's objects.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QScreen;
class QWidget;

namespace cv {

struct HostContext {
    QObject* application = nullptr;  // owner of "DM_PersonPack" and "FramePerson"
    QScreen* screen = nullptr;
    void* hintWindowClass = nullptr;
};

HostContext& currentContext();
HostContext& savedContext();

// Records the current context as the saved copy (process attach).
void recordSavedContext();
// Sets the current context from the export's arguments.
void installContext(void* application, void* screen, void* hintWindowClass);
// The process-notification handler: 0 detach, 1 attach, 2 and 3 thread attach/detach.
void processNotification(int reason);

// The directory of the running executable, ending with "/".
QString executableDirectory();

// A component owned by the current application object, found by its name; null when the
// application object owns none of that name (or there is no application object).
QObject* findOwnedComponent(const QString& name);

// Registers `widget` under the current application object by `name`: a small holder object
// owned by the application object carries the name and destroys the widget with itself. A
// widget destroyed earlier (with the host window that parents it) is never destroyed twice.
// Returns false, registering nothing, when the name is taken.
bool registerOwnedWidget(const QString& name, QWidget* widget);
// The widget registered under `name`, or null.
QWidget* findOwnedWidget(const QString& name);
// Destroys the holder registered under `name` and with it the widget. Returns false when no
// holder of that name exists.
bool destroyOwnedWidget(const QString& name);

}  // namespace cv
