// Working folders that live exactly as long as the process that made them holds them.
//
// A folder is made under a name of a given beginning and locked at once (flock on the folder
// itself); the lock lasts while the maker keeps the folder open, and the system lets go of it
// when the maker dies, however it dies. Another process tells a folder whose maker is gone by
// taking that lock, which works across PID namespaces and whatever became of the maker's
// process id: a name never says whether its maker lives.
#pragma once

#include <sys/types.h>

#include <QString>
#include <functional>

namespace cv {

class HeldFolder {
public:
    // Makes `parent` + `prefix` + six random characters with `mode` (less the umask) and takes
    // its lock. isValid() is false, errorString() says why, when it cannot.
    HeldFolder(const QString& parent, const QString& prefix, mode_t mode = 0700);
    // Removes the folder and what it holds, unless keepFolder() was called; then lets go.
    ~HeldFolder();
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    bool isValid() const { return fd_ >= 0; }
    const QString& errorString() const { return error_; }
    // Without a trailing separator.
    const QString& path() const { return path_; }
    // The folder's descriptor, open while the folder is held (the lock goes with it).
    int descriptor() const { return fd_; }
    // The folder is left where it is when this lets go; its owner has tidied it up.
    void keepFolder() { keep_ = true; }

private:
    QString path_;
    QString error_;
    int fd_ = -1;
    bool keep_ = false;
};

// Calls `tidy` with the path of every folder in `parent` whose name begins with `prefix` and
// that nobody holds, while holding it: a maker that took its name meanwhile waits, then sees
// that its folder is gone and makes another.
void TidyAbandonedFolders(const QString& parent, const QString& prefix,
                          const std::function<void(const QString& folder)>& tidy);

}  // namespace cv
