// A file written beside its target under a temporary name and put in place by a rename.
// Every write is checked byte for byte (a short write is a failure, not a partial success),
// the data reaches the disk before the rename, and whatever fails leaves the target as it was
// and no temporary file behind. Unlike QSaveFile, a write error that only shows when the last
// bytes are flushed or synced is not lost.
#pragma once

#include <QString>
#include <span>

namespace cv {

class StagedFile {
public:
    explicit StagedFile(QString target);
    ~StagedFile();  // abandons the temporary file unless it was committed
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates the temporary file beside the target, with the permissions the target has (or
    // a new file would get). False when it cannot.
    bool open();
    // Writes all of `data` or answers false; after a failure every further call fails.
    bool write(const char* data, qsizetype size);
    bool write(const QByteArray& data) { return write(data.constData(), data.size()); }
    // Syncs and closes the temporary file; false when anything written did not reach the disk.
    bool finish();
    // Finishes when that is still to do, then renames the temporary file over the target.
    bool commit();
    // Removes the temporary file; the target stays as it was.
    void abandon();

    const QString& target() const { return target_; }
    // What failed, with the target's name; empty while nothing did.
    const QString& errorString() const { return error_; }

private:
    bool failed(const QString& what, int error);

    QString target_;
    QByteArray temporary_;  // encoded path of the temporary file while it exists
    int fd_ = -1;
    bool finished_ = false;
    QString error_;
};

// Finishes every file, then renames them into place in order. Nothing is renamed unless all
// of them were written whole and no target is in the way (a directory), so a failure leaves
// every target as it was. False with `error` set on failure; the files are then abandoned.
bool commitTogether(std::span<StagedFile* const> files, QString* error);

}  // namespace cv
