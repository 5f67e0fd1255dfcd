// The one line that each failure answer of the preview, the selection frame, the export and
// the import preview leaves in the host's log: a head naming what failed, then why in plain
// words (a reader's or the store's own reason after them where there is one). The host tells
// the operations apart by the heads alone.
#pragma once

#include <QString>
#include <exception>

namespace cv {

inline const QString ViewFailed = QStringLiteral("人员预览失败: ");
inline const QString SelectionFailed = QStringLiteral("人员选择失败: ");
inline const QString ExportFailed = QStringLiteral("人员包未写出: ");
inline const QString PreviewFailed = QStringLiteral("人员包无法预览: ");

// Writes head + reason through the host's log; never throws (the answer stands without it).
void LogFailure(const QString& head, const QString& reason);

// The line of a preview dialog that answered -1: the dialog's operation keeps its reason to
// itself, so the store is asked again whether it is usable.
void LogViewFailure();

// Why the store check (TDM_PersonPack::PrepareStore) answers false now.
QString StoreUnusableReason();

// Why a frame could not be made and registered as "FramePerson".
QString FrameUnavailableReason();

// The text of the exception being handled (inside a catch block).
QString CurrentExceptionText();

}  // namespace cv
