#include "FrameEmbedding.h"

#include <memory>

#include "HostContext.h"
#include "TFramePerson.h"

namespace cv {

TFramePerson* CreateRegisteredFrame() {
    auto frame = std::make_unique<TFramePerson>();
    frame->setObjectName(TFramePerson::InstanceName);
    if (!registerOwnedWidget(TFramePerson::InstanceName, frame.get())) return nullptr;
    return frame.release();
}

void PlaceFrame(TFramePerson& frame, QWidget* parent) {
    frame.setParent(parent);
    if (!parent) return;  // without a host window the frame stays hidden
    frame.setGeometry(parent->rect());
    frame.show();
}

QWidget* HostWindowOfFrame() {
    QWidget* frame = findOwnedWidget(TFramePerson::InstanceName);
    return frame && frame->parentWidget() ? frame->window() : nullptr;
}

}  // namespace cv
