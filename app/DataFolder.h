#pragma once

#include "core/Driver.h"

#include <QLockFile>
#include <QString>

#include <memory>

// An installed Zepta's data folder, made ready before anything opens a
// database: the folder made (private to the user), the lock taken that keeps
// a second Zepta of the same user from driving the same outbox, and
// zepta.mdb copied from the installed template when missing. A folder that
// cannot be made or written is left as it was found.
struct DataFolderState {
    enum class Outcome { Ready, AnotherRunning, Unusable };
    Outcome outcome = Outcome::Ready;
    QString message; // for the user, naming the folder and why
    std::unique_ptr<QLockFile> lock; // held while the program runs (installed mode)
};

DataFolderState prepareDataFolder(const Driver::Folders& folders);
