// Unpacking of packed packages.
#include "CVHostServices.h"
#include "HostString.h"
#include "Packer.h"
#include "TextCodec.h"

extern "C" void CVCALL ExtractFile(char** result, const char* packedFile, const char* destDir) {
    cv::hostStringClear(result);
    try {
        const QString destination = cv::fromGbk(destDir);
        if (cvhost::extractArchive(cv::fromGbk(packedFile), destination))
            *result = cv::hostStringNew(cv::toGbk(destination));
    } catch (...) {
        // An argument that is not valid GBK unpacks nothing.
    }
}
