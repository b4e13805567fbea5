#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

class ScriptedComponent;

// A fresh program folder for one test: copies of the shipped zepta.mdb and
// Nomrel.mdb and the Icons folder, with Driver's program folder, both
// connection strings and a component with scripted receivers (and the real
// event objects and data link) pointed at it. Everything is
// put back when it goes.
class TempProgramFolder
{
public:
    TempProgramFolder();
    ~TempProgramFolder();

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

private:
    QTemporaryDir mDir;
    std::unique_ptr<ScriptedComponent> mComponent;
};

// The folder the build laid out (the shipped files).
QString shippedProgramFolder();
