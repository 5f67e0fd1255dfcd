// Maps keyed by texts looked up as views, for the indexes that a build makes over thousands
// of short codes and identifiers (department codes, PerDept texts).
//
// The key is a QStringView: the text it views must outlive the entry (keep the QString that
// owns it; a QString's characters stay where they are when the QString object moves). The
// hash is the standard library's string hash over the characters: QHash's seeded hash of a
// QString took more time than everything else of a department path.
#pragma once

#include <QString>
#include <QStringView>
#include <functional>
#include <string_view>
#include <unordered_map>

namespace cv {

struct TextViewHash {
    using is_transparent = void;
    std::size_t operator()(QStringView text) const noexcept {
        return std::hash<std::u16string_view>()(
            std::u16string_view(text.utf16(), std::size_t(text.size())));
    }
};

template <typename T>
using TextViewMap = std::unordered_map<QStringView, T, TextViewHash, std::equal_to<>>;

}  // namespace cv
