#include "support/TempProgramFolder.h"

#include "core/Driver.h"
#include "gps/Component.h"
#include "nomrel/EventStore.h"
#include "platform/Db.h"
#include "platform/UserInterface.h"
#include "support/ScriptedReceiver.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{
// Root ignores permission bits but not the immutable attribute.
bool setImmutable(const QString& path, bool on)
{
    QFile file(path);
    int flags = 0;
    if (!file.open(QIODevice::ReadOnly) || ::ioctl(file.handle(), FS_IOC_GETFLAGS, &flags) != 0)
        return false;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    return ::ioctl(file.handle(), FS_IOC_SETFLAGS, &flags) == 0;
}

void unexpected(const char* what, const QString& detail)
{
    QTest::qFail(qPrintable(QStringLiteral("unexpected %1: %2").arg(QLatin1String(what), detail)), __FILE__, __LINE__);
}

// Progress that goes back or beyond its total fails the test.
class CheckedProgress final : public Progress
{
public:
    explicit CheckedProgress(std::int64_t total)
        : mTotal(total)
    {
    }
    bool advance(std::int64_t done) override
    {
        if (done < mDone || done > mTotal)
            unexpected("progress", QStringLiteral("%1 after %2 of %3").arg(done).arg(mDone).arg(mTotal));
        mDone = done;
        return true;
    }

private:
    std::int64_t mTotal;
    std::int64_t mDone = 0;
};
} // namespace

QString sourceFile(const QString& path) { return QDir(QStringLiteral(ZEPTA_SOURCE_DIR)).filePath(path); }

QString builtIconsFolder() { return QStringLiteral(ZEPTA_ICONS_DIR); }

TempProgramFolder::TempProgramFolder()
{
    QFile sql(sourceFile(QStringLiteral("data/zepta.sql")));
    if (!sql.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(sql.fileName()));
    db::Connection::openFile(applicationDatabase(), db::Connection::Mode::Create)
        .execute(QString::fromUtf8(sql.readAll()));
    auto events = db::Connection::openFile(eventDatabase(), db::Connection::Mode::Create);
    nomrel::ensureSchema(events);
    events.close();
    QFile::copy(sourceFile(QStringLiteral("data/help/Zepta.html")), file(QStringLiteral("Zepta.html")));
    QDir().mkpath(file(QStringLiteral("Icons")));
    const QDir icons(builtIconsFolder());
    for (const QString& icon : icons.entryList(QDir::Files))
        QFile::copy(icons.filePath(icon), file(QStringLiteral("Icons/") + icon));

    mPreviousFolder = Driver::setProgramFolder(path());
    mPreviousApplication = std::exchange(
        Driver::applicationConnectionString(), Driver::connectionStringFor(path(), QStringLiteral("zepta.mdb")));
    mComponent = std::make_unique<ScriptedComponent>(path());
    mPreviousComponent = gps::setComponent(mComponent.get());
    const auto dataLink = mComponent->CreateDataLink();
    mPreviousEvents = dataLink->connectionString();
    dataLink->setConnectionString(QVariant(Driver::connectionStringFor(path(), QStringLiteral("Nomrel.mdb"))));

    // Nothing may wait for a person: whatever the test did not script fails it.
    mPreviousPresenters = installPresenters({
        [](const Message& message) {
            unexpected("message box", message.title + QStringLiteral(": ") + message.text);
            return message.kind == MessageKind::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
        },
        [](const SaveDialogRequest& request) {
            unexpected("save dialog", request.title);
            return std::optional<SaveDialogChoice>();
        },
        [](const QString& helpFile) { unexpected("help viewer", helpFile); },
        [beeps = mBeeps] { ++*beeps; },
        [](const ProgressRequest& request) { return std::make_unique<CheckedProgress>(request.total); },
    });
    mPreviousSender = Driver::setOutboxSender(nullptr);
}

TempProgramFolder::~TempProgramFolder()
{
    Driver::setOutboxSender(mPreviousSender);
    installPresenters(std::move(mPreviousPresenters));
    mComponent->CreateDataLink()->setConnectionString(QVariant(mPreviousEvents));
    gps::setComponent(mPreviousComponent);
    Driver::applicationConnectionString() = mPreviousApplication;
    Driver::setProgramFolder(mPreviousFolder);
    // Files made read-only by a test must not stop the clean-up.
    makeWritable(applicationDatabase());
    makeWritable(eventDatabase());
}

bool TempProgramFolder::makeReadOnly(const QString& path) const
{
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    return ::geteuid() != 0 || setImmutable(path, true);
}

void TempProgramFolder::makeWritable(const QString& path) const
{
    if (::geteuid() == 0)
        setImmutable(path, false);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
}

void TempProgramFolder::execApplication(const QString& sql) const
{
    db::Connection::openFile(applicationDatabase()).execute(sql);
}

void TempProgramFolder::execEvents(const QString& sql) const { db::Connection::openFile(eventDatabase()).execute(sql); }
