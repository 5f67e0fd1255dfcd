#include "PackageManifest.h"

#include <libxml/tree.h>

#include <QFileInfo>
#include <memory>

#include "StagedFile.h"

namespace cv {
namespace {

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct XmlFree {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// The nine attributes of a ReaderNode, in the order the host's tooling expects them.
void addReaderNode(xmlNode* root, const char* caption, const char* fileName) {
    xmlNode* node = xmlNewChild(root, nullptr, xml("ReaderNode"), nullptr);
    if (!node) throw std::bad_alloc();
    const char* const attributes[][2] = {
        {"ResCaption", caption}, {"ResTypeName", ""}, {"ResClassName", ""},
        {"ResUUID", ""},         {"ResKeyWord", ""},  {"ResParam", ""},
        {"ResRight", ""},        {"ResFileFlag", ""}, {"ResFileName", fileName},
    };
    for (const auto& [name, value] : attributes)
        if (!xmlNewProp(node, xml(name), xml(value))) throw std::bad_alloc();
}

}  // namespace

bool WritePackManifest(StagedFile& file) {
    try {
        std::unique_ptr<xmlDoc, DocFree> doc(xmlNewDoc(xml("1.0")));
        if (!doc) return false;
        const QString fileName = QFileInfo(file.target()).fileName();
        const QString packName = fileName.size() > 4 ? fileName.chopped(4) : QString();
        xmlNode* root = xmlNewNode(nullptr, xml("ReaderPackList"));
        if (!root) return false;
        xmlDocSetRootElement(doc.get(), root);
        if (!xmlNewProp(root, xml("PackName"), xml(packName.toUtf8().constData()))) return false;
        addReaderNode(root, "PerInfo", "PerInfo.per");
        addReaderNode(root, "DeptInfo", "DeptInfo.per");

        xmlChar* buffer = nullptr;
        int size = 0;
        xmlDocDumpFormatMemoryEnc(doc.get(), &buffer, &size, "gb2312", 1);
        std::unique_ptr<xmlChar, XmlFree> bytes(buffer);
        if (!bytes || size <= 0) return false;
        return file.write(reinterpret_cast<const char*>(bytes.get()), size);
    } catch (const std::exception&) {
        return false;
    }
}

bool WritePackManifest(const QString& manifestPath) {
    StagedFile file(manifestPath);
    return file.open() && WritePackManifest(file) && file.commit();
}

}  // namespace cv
