// The one line that each failure answer of the six operations leaves in the host's log: a head
// naming what failed, then why in plain words (a reader's or the store's own reason after them
// where there is one). The host tells the operations apart by the heads alone.
#pragma once

#include <QString>
#include <exception>

namespace cv {

inline const QString ViewFailed = QStringLiteral("人员预览失败: ");
inline const QString SelectionFailed = QStringLiteral("人员选择失败: ");
inline const QString ExportFailed = QStringLiteral("人员包未写出: ");
inline const QString PreviewFailed = QStringLiteral("人员包无法预览: ");
inline const QString FreeFailed = QStringLiteral("人员选择框架无法释放: ");
// The import's own lines: a package it refuses, and an import that ends part-way.
inline const QString ImportRefused = QStringLiteral("人员包无法导入: ");
inline const QString ImportStopped = QStringLiteral("人员导入中止: ");

// Writes head + reason through the host's log; never throws (the answer stands without it).
void LogFailure(const QString& head, const QString& reason);

// Why the store check (TDM_PersonPack::PrepareStore) answers false now.
QString StoreUnusableReason();

// Why a frame could not be made and registered as "FramePerson".
QString FrameUnavailableReason();

// The text of the exception being handled (inside a catch block).
QString CurrentExceptionText();

}  // namespace cv
