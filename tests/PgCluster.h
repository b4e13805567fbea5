#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A PostgreSQL 15 server with PostGIS for one test program: a fresh cluster
// made with initdb in a temporary folder, listening only on a Unix socket
// there, stopped and removed at the end. The server refuses to run as root,
// so under root it runs as the "postgres" user of the Debian package.
class PgCluster
{
public:
    PgCluster();
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // False (with the reason in error()) when it did not come up.
    bool isRunning() const { return mRunning; }
    const QString& error() const { return mError; }

    // The libpq connection string of its superuser's default database.
    QString conninfo() const;

    bool stop();
    bool start();

    // Runs SQL with psql; the rows as unaligned text, fields split by '|'.
    QString query(const QString& sql) const;

private:
    bool run(const QString& program, const QStringList& arguments, QString* output = nullptr);

    QTemporaryDir mDir;
    bool mRunning = false;
    QString mError;
};
