#include "HostContext.h"
#include "PackageOperations.h"

namespace cv {

std::int32_t PackageFree() {
    destroyOwnedWidget(QStringLiteral("FramePerson"));
    return 1;
}

}  // namespace cv
