// The selection frame "FramePerson" that the export and the import preview embed in a host
// window. At most one exists: it is registered under the current application object, which
// owns it until PackageFree, and its Qt parent is the host window once it is placed.
#pragma once

class QWidget;

namespace cv {

class TFramePerson;

// A new frame registered as "FramePerson" under the current application object, not yet
// parented; null, with no frame left behind, when the name is taken or there is no
// application object.
TFramePerson* CreateRegisteredFrame();

// Makes `frame` a child of `parent` that fills it, and shows it; with no parent it stays
// hidden.
void PlaceFrame(TFramePerson& frame, QWidget* parent);

// The host window that holds the registered frame, for dialogs over it; null when the frame
// is not placed (or there is none).
QWidget* HostWindowOfFrame();

}  // namespace cv
