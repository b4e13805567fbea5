#include "listener/testing/PgCluster.h"

#include <QFileInfo>
#include <QProcess>

#include <pwd.h>
#include <unistd.h>

namespace
{

constexpr int kWaitMs = 120000; // ends a broken run only

QString bin(const char* program)
{
    const QByteArray custom = qgetenv("ZEPTA_PG_BIN");
    return (custom.isEmpty() ? QStringLiteral("/usr/lib/postgresql/15/bin") : QString::fromLocal8Bit(custom))
        + QLatin1Char('/') + QLatin1String(program);
}

} // namespace

PgCluster::PgCluster()
{
    if (!QFileInfo::exists(bin("initdb"))) {
        mError = QStringLiteral("no %1: install postgresql-15 and postgresql-15-postgis-3").arg(bin("initdb"));
        return;
    }
    const passwd* owner = geteuid() == 0 ? getpwnam("postgres") : nullptr;
    if (geteuid() == 0 && (!owner || chown(QFile::encodeName(mDir.path()).constData(), owner->pw_uid, owner->pw_gid))) {
        mError = QStringLiteral("running as root, but there is no postgres user to run the server as");
        return;
    }
    if (run(bin("initdb"),
            {QStringLiteral("-D"), mDir.filePath(QStringLiteral("data")), QStringLiteral("-U"), QStringLiteral("zepta"),
                QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                QStringLiteral("--no-locale"), QStringLiteral("--no-sync")}))
        start();
}

PgCluster::~PgCluster()
{
    if (mRunning)
        pgCtl({QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("stop")});
}

QString PgCluster::conninfo(const QString& database) const
{
    return QStringLiteral("host=%1 port=5432 user=zepta dbname=%2").arg(mDir.path(), database);
}

bool PgCluster::start()
{
    return mRunning = pgCtl({QStringLiteral("-l"), mDir.filePath(QStringLiteral("server.log")), QStringLiteral("-o"),
               QStringLiteral("-k %1 -p 5432 -c listen_addresses=").arg(mDir.path()), QStringLiteral("start")});
}

bool PgCluster::stop()
{
    mRunning = !pgCtl({QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("stop")});
    return !mRunning;
}

QString PgCluster::query(const QString& sql, const QString& database) const
{
    QProcess psql;
    psql.start(bin("psql"),
        {conninfo(database), QStringLiteral("-XAtq"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
            QStringLiteral("-c"), sql});
    psql.waitForFinished(kWaitMs);
    return QString::fromUtf8(psql.readAllStandardOutput() + psql.readAllStandardError()).trimmed();
}

bool PgCluster::pgCtl(const QStringList& arguments)
{
    return run(bin("pg_ctl"),
        QStringList {QStringLiteral("-D"), mDir.filePath(QStringLiteral("data")), QStringLiteral("-w")} + arguments);
}

bool PgCluster::run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setWorkingDirectory(mDir.path());
    if (geteuid() == 0)
        process.start(QStringLiteral("runuser"),
            QStringList {QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"), program} + arguments);
    else
        process.start(program, arguments);
    if (process.waitForFinished(kWaitMs) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    mError = QFileInfo(program).fileName() + QStringLiteral(" failed: ")
        + QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError());
    return false;
}
