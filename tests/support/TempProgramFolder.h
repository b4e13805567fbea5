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

// A fresh program folder for one test, never the build's program folder
// (that one is the user's): zepta.mdb built from data/zepta.sql, Nomrel.mdb
// made empty from the receiver component's own schema, copies of the icons
// and the help. Driver's program folder, both connection strings and a component
// with scripted receivers (and the real event objects and data link) point at
// it. A message box, a save dialog, help or a beep that the test did not
// script fails the test (beeps are counted instead). Every process-wide
// setting it changes (program folder, connection strings, component, seams,
// the outbox's sender: none while it lives) is put back when it goes.
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

    // Runs SQL on one of the two databases (for arranging a test).
    void execApplication(const QString& sql) const;
    void execEvents(const QString& sql) const;

    // Makes a file of the folder read-only even for root (who ignores
    // permission bits) by also setting the immutable attribute. Returns false
    // when the file system cannot; the caller should then skip.
    bool makeReadOnly(const QString& path) const;
    void makeWritable(const QString& path) const;

    ScriptedComponent& component() const { return *mComponent; }

    // The system beeps sounded since the folder was made.
    int beeps() const { return *mBeeps; }

private:
    QTemporaryDir mDir;
    std::unique_ptr<ScriptedComponent> mComponent;
    std::shared_ptr<int> mBeeps = std::make_shared<int>(0);

    // What was in place before, put back by the destructor.
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
