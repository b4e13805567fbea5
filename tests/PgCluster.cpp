#include "PgCluster.h"

#include <QFileInfo>

#include <pwd.h>
#include <unistd.h>

namespace
{

constexpr int kWaitMs = 120000; // ends a broken run only

QString binDir()
{
    const QByteArray custom = qgetenv("ZEPTA_PG_BIN");
    return custom.isEmpty() ? QStringLiteral("/usr/lib/postgresql/15/bin") : QString::fromLocal8Bit(custom);
}

} // namespace

PgCluster::PgCluster()
{
    if (!QFileInfo::exists(binDir() + QStringLiteral("/initdb"))) {
        mError = QStringLiteral("no PostgreSQL server in %1: install postgresql-15 and postgresql-15-postgis-3")
                     .arg(binDir());
        return;
    }
    if (geteuid() == 0) {
        const passwd* owner = getpwnam("postgres");
        if (!owner || chown(QFile::encodeName(mDir.path()).constData(), owner->pw_uid, owner->pw_gid) != 0) {
            mError = QStringLiteral("running as root, but there is no postgres user to run the server as");
            return;
        }
    }
    if (run(binDir() + QStringLiteral("/initdb"),
            {QStringLiteral("-D"), mDir.filePath(QStringLiteral("data")), QStringLiteral("-U"), QStringLiteral("zepta"),
                QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                QStringLiteral("--no-locale"), QStringLiteral("--no-sync")}))
        start();
}

PgCluster::~PgCluster()
{
    if (mRunning)
        run(binDir() + QStringLiteral("/pg_ctl"),
            {QStringLiteral("-D"), mDir.filePath(QStringLiteral("data")), QStringLiteral("-m"),
                QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop")});
}

QString PgCluster::conninfo() const
{
    return QStringLiteral("host=%1 port=5432 user=zepta dbname=postgres").arg(mDir.path());
}

bool PgCluster::start()
{
    mRunning = run(binDir() + QStringLiteral("/pg_ctl"),
        {QStringLiteral("-D"), mDir.filePath(QStringLiteral("data")), QStringLiteral("-l"),
            mDir.filePath(QStringLiteral("server.log")), QStringLiteral("-w"), QStringLiteral("-o"),
            QStringLiteral("-k %1 -p 5432 -c listen_addresses=").arg(mDir.path()), QStringLiteral("start")});
    return mRunning;
}

bool PgCluster::stop()
{
    mRunning = !run(binDir() + QStringLiteral("/pg_ctl"),
        {QStringLiteral("-D"), mDir.filePath(QStringLiteral("data")), QStringLiteral("-m"), QStringLiteral("fast"),
            QStringLiteral("-w"), QStringLiteral("stop")});
    return !mRunning;
}

QString PgCluster::query(const QString& sql) const
{
    QProcess psql;
    psql.start(binDir() + QStringLiteral("/psql"),
        {conninfo(), QStringLiteral("-XAtq"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
            QStringLiteral("-c"), sql});
    psql.waitForFinished(kWaitMs);
    return QString::fromUtf8(psql.readAllStandardOutput() + psql.readAllStandardError()).trimmed();
}

bool PgCluster::run(const QString& program, const QStringList& arguments, QString* output)
{
    QProcess process;
    process.setWorkingDirectory(mDir.path());
    if (geteuid() == 0)
        process.start(QStringLiteral("runuser"),
            QStringList {QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"), program} + arguments);
    else
        process.start(program, arguments);
    const bool finished = process.waitForFinished(kWaitMs);
    const QString text = QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError());
    if (output)
        *output = text;
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    mError = QFileInfo(program).fileName() + QStringLiteral(" failed: ") + text;
    return false;
}
