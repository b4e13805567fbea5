#include "support/TempProgramFolder.h"

#include "core/Driver.h"
#include "gps/Component.h"
#include "platform/Db.h"
#include "support/ScriptedReceiver.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{
bool setImmutable(const QString& path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}
} // namespace

QString shippedProgramFolder() { return QStringLiteral(ZEPTA_PROGRAM_DIR); }

TempProgramFolder::TempProgramFolder()
{
    const QDir shipped(shippedProgramFolder());
    for (const char* name : {"zepta.mdb", "Nomrel.mdb"}) {
        const QString target = file(QLatin1String(name));
        if (!QFile::copy(shipped.filePath(QLatin1String(name)), target))
            qFatal("cannot copy %s into the test folder", name);
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    }
    QDir().mkpath(file(QStringLiteral("Icons")));
    const QDir icons(shipped.filePath(QStringLiteral("Icons")));
    for (const QString& icon : icons.entryList(QDir::Files))
        QFile::copy(icons.filePath(icon), file(QStringLiteral("Icons/") + icon));

    Driver::setProgramFolder(path());
    Driver::applicationConnectionString() = Driver::connectionStringFor(path(), QStringLiteral("zepta.mdb"));
    mComponent = std::make_unique<ScriptedComponent>(path());
    gps::setComponent(mComponent.get());
    mComponent->CreateDataLink()->setConnectionString(
        QVariant(Driver::connectionStringFor(path(), QStringLiteral("Nomrel.mdb"))));
}

TempProgramFolder::~TempProgramFolder()
{
    gps::setComponent(nullptr);
    Driver::applicationConnectionString().clear();
    // Files made read-only by a test must not stop the clean-up.
    makeWritable(applicationDatabase());
    makeWritable(eventDatabase());
}

bool TempProgramFolder::makeReadOnly(const QString& path) const
{
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    if (::geteuid() != 0)
        return true;
    return setImmutable(path, true);
}

void TempProgramFolder::makeWritable(const QString& path) const
{
    if (!QFile::exists(path))
        return;
    if (::geteuid() == 0)
        setImmutable(path, false);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
}

void TempProgramFolder::execApplication(const QString& sql) const
{
    db::Connection::openFile(applicationDatabase()).execute(sql);
}

void TempProgramFolder::execEvents(const QString& sql) const { db::Connection::openFile(eventDatabase()).execute(sql); }
