#pragma once

#include "platform/UserInterface.h"

#include <QString>
#include <QTemporaryDir>

#include <memory>

class ScriptedComponent;
namespace Driver
{
class OutboxSender;
}
namespace gps
{
class Component;
}

// A fresh program folder for one test: zepta.mdb from data/zepta.sql, an empty
// Nomrel.mdb, copies of the icons and the help. Driver's program folder, both
// connection strings and a component with scripted receivers (real event
// objects and data link) point at it; no outbox sender is installed. A message
// box, save dialog or help the test did not script fails it (beeps are
// counted). Every process-wide setting it changes is put back when it goes.
class TempProgramFolder
{
public:
    TempProgramFolder();
    ~TempProgramFolder();
    TempProgramFolder(const TempProgramFolder&) = delete;
    TempProgramFolder& operator=(const TempProgramFolder&) = delete;

    QString path() const { return mDir.path(); }
    QString file(const QString& name) const { return mDir.filePath(name); }
    QString applicationDatabase() const { return file(QStringLiteral("zepta.mdb")); }
    QString eventDatabase() const { return file(QStringLiteral("Nomrel.mdb")); }

    void execApplication(const QString& sql) const;
    void execEvents(const QString& sql) const;

    // Read-only even for root (immutable attribute); false when the file
    // system cannot, and the caller should then skip.
    bool makeReadOnly(const QString& path) const;
    void makeWritable(const QString& path) const;

    ScriptedComponent& component() const { return *mComponent; }

    int beeps() const { return *mBeeps; } // since the folder was made

private:
    QTemporaryDir mDir;
    std::unique_ptr<ScriptedComponent> mComponent;
    std::shared_ptr<int> mBeeps = std::make_shared<int>(0);

    // What was in place before.
    QString mPreviousFolder;
    QString mPreviousApplication;
    QString mPreviousEvents;
    gps::Component* mPreviousComponent = nullptr;
    Presenters mPreviousPresenters;
    Driver::OutboxSender* mPreviousSender = nullptr;
};

// Source files of the repository (the committed SQL, the help).
QString sourceFile(const QString& relativePath);
// The icons the build drew (read only).
QString builtIconsFolder();
