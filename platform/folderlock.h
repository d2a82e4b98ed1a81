#pragma once

#include "platform/ownedfiles.h"

#include <QString>

// Holds an exclusive lock on a file in a folder for as long as the object
// lives, so only one server works on that folder. The kernel drops the lock
// when the process ends in any way, so a crash never leaves the folder locked;
// the file itself stays and is reused by the next start.
class FolderLock
{
public:
    static inline const QString FileName = OwnedFiles::Lock;

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    enum class Outcome
    {
        Locked,
        HeldByAnother,
        Failed
    };
    // On failure errorText says why (the lock file could not be opened).
    Outcome lock(const QString &folder, QString *errorText = nullptr);
    bool isLocked() const { return m_descriptor >= 0; }

    // Why a folder is no place for the server's files: another user may
    // change what is in it (write to it, or own it). Empty when it is safe.
    static QString whyUnsafe(const QString &folder);
    void unlock();

private:
    int m_descriptor = -1;
};
