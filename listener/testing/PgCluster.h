#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A PostgreSQL 15 server with PostGIS for one test program: a fresh cluster
// in a temporary folder, on a Unix socket there only, stopped at the end.
// Under root it runs as the package's "postgres" user (it refuses root).
class PgCluster
{
public:
    PgCluster();
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // False (with the reason in error()) when it is not up.
    bool isRunning() const { return mRunning; }
    const QString& error() const { return mError; }
    QString conninfo(const QString& database = QStringLiteral("postgres")) const; // its superuser's, for libpq
    bool start();
    bool stop();
    // Runs SQL with psql: the rows as unaligned text, fields split by '|'.
    QString query(const QString& sql, const QString& database = QStringLiteral("postgres")) const;

private:
    bool run(const QString& program, const QStringList& arguments);
    bool pgCtl(const QStringList& arguments);

    QTemporaryDir mDir;
    bool mRunning = false;
    QString mError;
};
