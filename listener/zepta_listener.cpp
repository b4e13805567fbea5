// zepta-listener: receives the XML event documents that Zepta posts in "XML"
// storage mode and keeps each event once, by its id: in a file of records
// (the default, see listener_core.h) or in PostgreSQL/PostGIS (--pg, see
// pg_sink.h). The first line on standard output is the port it listens on.
// It runs until SIGINT or SIGTERM.

#include "listener/crews_command.h"
#include "listener/file_sink.h"
#include "listener/http_server.h"
#include "listener/office_users.h"
#include "listener/office_web.h"
#include "listener/pg_sink.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <libpq-fe.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace
{

bool parseNumber(const QString& text, qlonglong low, qlonglong high, qlonglong* value)
{
    bool ok = false;
    *value = text.toLongLong(&ok);
    return ok && *value >= low && *value <= high;
}

int fail(const QString& message)
{
    std::fprintf(stderr, "zepta-listener: %s\n", message.toLocal8Bit().constData());
    return 2;
}

std::mutex logMutex;
void logLine(const QString& line)
{
    const QByteArray text = line.toLocal8Bit() + '\n';
    const std::lock_guard lock(logMutex);
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
}

// A PEM file for TLS. The key must be readable by its owner only: a key
// others can read is as good as published.
bool readTlsFile(const QString& path, bool secret, QByteArray* data, QString* error)
{
    struct stat info {
    };
    const QByteArray name = QFile::encodeName(path);
    if (::stat(name.constData(), &info) != 0) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (secret && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        *error = QStringLiteral("the TLS key %1 is readable by others (mode %2): chmod 600 it, and make a new key if "
                                "others may have read it")
                     .arg(path)
                     .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *data = file.readAll();
    return true;
}

// libpq finds a password without the command line: PGPASSFILE (~/.pgpass),
// a service file, PGPASSWORD. One in CONNINFO shows in the process list.
bool holdsPassword(const QByteArray& conninfo)
{
    PQconninfoOption* options = PQconninfoParse(conninfo.constData(), nullptr);
    bool found = false;
    for (PQconninfoOption* option = options; option && option->keyword; ++option)
        if (std::strcmp(option->keyword, "password") == 0 && option->val && *option->val)
            found = true;
    PQconninfoFree(options);
    return found;
}

// Each connection takes a descriptor: allow as many as the system lets us.
rlim_t raiseDescriptorLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

} // namespace

int main(int argc, char* argv[])
{
    // The signals that end the listener are taken by sigwait below; every
    // thread started from here on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zepta-listener"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZEPTA_VERSION));
    listener::ServerOptions options;

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Receives Zepta's XML event documents by HTTP POST on any path and keeps each event once, keyed on its "
        "EventId: in a file of records (default) or in PostgreSQL/PostGIS (--pg). A stored event, or one stored "
        "before, is answered 200 once it is durably written; a body that is not one Zepta event 400; other "
        "methods 405; the database down 503 with Retry-After."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("TCP port to listen on; 0 picks a free one (default 80, the port of the program's "
                       "posting URL)."),
        QStringLiteral("N"), QStringLiteral("80"));
    const QCommandLineOption bindOption(QStringLiteral("bind"),
        QStringLiteral("Address to listen on, IPv4 or IPv6 (default 127.0.0.1; 0.0.0.0 for every interface)."),
        QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption outOption(QStringLiteral("out"),
        QStringLiteral("Keep events in FILE (created if missing; the ids in it are read at start) instead of "
                       "standard output."),
        QStringLiteral("FILE"));
    const QCommandLineOption pgOption(QStringLiteral("pg"),
        QStringLiteral("Keep events in PostgreSQL with PostGIS, table zepta.events; CONNINFO is a libpq connection "
                       "string, e.g. \"host=db dbname=gis user=zepta\"."),
        QStringLiteral("CONNINFO"));
    const QCommandLineOption catalogueOption(QStringLiteral("catalogue"),
        QStringLiteral("With --pg: copy the event categories and types of this Zepta application database "
                       "(zepta.mdb) into the zepta schema, for the type names of zepta.events_map."),
        QStringLiteral("FILE"));
    const QCommandLineOption maxBodyOption(QStringLiteral("max-body"),
        QStringLiteral("Largest body accepted, in bytes (default %1).").arg(listener::kDefaultMaxBodyBytes),
        QStringLiteral("BYTES"), QString::number(listener::kDefaultMaxBodyBytes));
    const QCommandLineOption statusOption(QStringLiteral("answer-status"),
        QStringLiteral("Answer every request with this status and keep nothing (for testing clients)."),
        QStringLiteral("CODE"));
    const QCommandLineOption threadsOption(QStringLiteral("threads"),
        QStringLiteral("HTTP threads, each serving many connections (default %1).").arg(options.threads),
        QStringLiteral("N"), QString::number(options.threads));
    const QCommandLineOption idleOption(QStringLiteral("idle-timeout"),
        QStringLiteral("Close a connection silent for this long (default %1).").arg(options.idleTimeoutSeconds),
        QStringLiteral("SECONDS"), QString::number(options.idleTimeoutSeconds));
    const QCommandLineOption deadlineOption(QStringLiteral("request-deadline"),
        QStringLiteral("Close a connection whose request head and body are not in within this time (default %1).")
            .arg(options.requestDeadlineSeconds),
        QStringLiteral("SECONDS"), QString::number(options.requestDeadlineSeconds));
    const QCommandLineOption connectionsOption(QStringLiteral("max-connections"),
        QStringLiteral("Connections open at once (default %1).").arg(options.maxConnections), QStringLiteral("N"),
        QString::number(options.maxConnections));
    const QCommandLineOption perAddressOption(QStringLiteral("max-per-address"),
        QStringLiteral("Connections open at once from one client address; 0 for no cap (default %1).")
            .arg(options.maxConnectionsPerAddress),
        QStringLiteral("N"), QString::number(options.maxConnectionsPerAddress));
    const QCommandLineOption tilesOption(QStringLiteral("tiles"),
        QStringLiteral("The office map's basemap from an online tile server, e.g. "
                       "https://tile.example.org/{z}/{x}/{y}.png ({s} for its subdomains)."),
        QStringLiteral("URL-TEMPLATE"));
    const QCommandLineOption attributionOption(QStringLiteral("tiles-attribution"),
        QStringLiteral("The text the office map shows for the basemap's source."), QStringLiteral("TEXT"));
    const QCommandLineOption mbtilesOption(QStringLiteral("mbtiles"),
        QStringLiteral("The office map's basemap from an offline raster MBTiles file, served as /tiles/{z}/{x}/{y}."),
        QStringLiteral("FILE"));
    const QCommandLineOption iconsOption(QStringLiteral("icons"),
        QStringLiteral("The event types' icons for the office map (default: Icons/ beside --catalogue)."),
        QStringLiteral("FOLDER"));
    const QCommandLineOption clusterOption(QStringLiteral("cluster-above"),
        QStringLiteral("The office API clusters on the server when more events than this match (default 5000)."),
        QStringLiteral("N"), QStringLiteral("5000"));
    const QCommandLineOption anonymousOption(QStringLiteral("allow-anonymous"),
        QStringLiteral("Accept posts without a crew's key (only on a closed network). Without it every POST needs "
                       "\"Authorization: Bearer KEY\" with a key made by \"zepta-listener crews add NAME\"."));
    const QCommandLineOption tlsCertOption(QStringLiteral("tls-cert"),
        QStringLiteral("Serve HTTPS (TLS 1.2 and 1.3 only) with this PEM certificate chain."), QStringLiteral("FILE"));
    const QCommandLineOption tlsKeyOption(QStringLiteral("tls-key"),
        QStringLiteral("The PEM private key of --tls-cert; refused when others may read it."), QStringLiteral("FILE"));
    parser.addOptions({anonymousOption, tlsCertOption, tlsKeyOption});
    parser.addOptions({portOption, bindOption, outOption, pgOption, catalogueOption, maxBodyOption, statusOption,
        threadsOption, idleOption, deadlineOption, connectionsOption, perAddressOption, tilesOption, attributionOption,
        mbtilesOption, iconsOption, clusterOption});
    parser.addPositionalArgument(QStringLiteral("users"),
        QStringLiteral("users add NAME | users list | users remove NAME: the office's users (with --pg); add asks "
                       "for the password, or reads it from standard input."),
        QStringLiteral("[users ...]"));
    parser.addPositionalArgument(QStringLiteral("crews"),
        QStringLiteral("crews add NAME | crews list | crews revoke NAME: the crews' keys (with --pg or --out); add "
                       "prints the new key, once."),
        QStringLiteral("[crews ...]"));
    // A wrong command line is status 2, as for every Zepta program.
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText() + QLatin1Char('\n') + parser.helpText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    const QStringList positional = parser.positionalArguments();
    if (!positional.isEmpty()) {
        if (positional.first() == QLatin1String("crews")) {
            QStringList arguments = positional.mid(1);
            if (parser.isSet(pgOption))
                arguments << QStringLiteral("--pg") << parser.value(pgOption);
            if (parser.isSet(outOption))
                arguments << QStringLiteral("--out") << parser.value(outOption);
            return listener::runCrewsCommand(arguments);
        }
        if (positional.first() != QLatin1String("users"))
            return fail(QStringLiteral("unknown command %1").arg(positional.first()));
        return listener::runUsersCommand(positional.mid(1), parser.value(pgOption).toUtf8(), stdin, stdout, stderr);
    }

    qlonglong number = 0;
    if (!parseNumber(parser.value(portOption), 0, 65535, &number))
        return fail(QStringLiteral("--port must be a number from 0 to 65535"));
    options.port = static_cast<std::uint16_t>(number);
    options.bindAddress = parser.value(bindOption).toLatin1();
    if (!parseNumber(parser.value(maxBodyOption), 0, 256LL * 1024 * 1024, &number))
        return fail(QStringLiteral("--max-body must be a number of bytes up to 268435456"));
    options.maxBodyBytes = static_cast<std::size_t>(number);
    options.maxBufferedBodyBytes = std::max(options.maxBufferedBodyBytes, options.maxBodyBytes);
    if (parser.isSet(statusOption)) {
        if (!parseNumber(parser.value(statusOption), 200, 599, &number))
            return fail(QStringLiteral("--answer-status must be an HTTP status from 200 to 599"));
        options.answerStatus = static_cast<int>(number);
    }
    const struct {
        const QCommandLineOption& option;
        unsigned* value;
        qlonglong low;
        qlonglong high;
    } counts[] = {
        {threadsOption, &options.threads, 1, 64},
        {idleOption, &options.idleTimeoutSeconds, 1, 86400},
        {deadlineOption, &options.requestDeadlineSeconds, 1, 86400},
        {connectionsOption, &options.maxConnections, 1, 1000000},
        {perAddressOption, &options.maxConnectionsPerAddress, 0, 1000000},
    };
    for (const auto& count : counts) {
        if (!parseNumber(parser.value(count.option), count.low, count.high, &number))
            return fail(QStringLiteral("--%1 must be a number from %2 to %3")
                            .arg(count.option.names().constFirst())
                            .arg(count.low)
                            .arg(count.high));
        *count.value = static_cast<unsigned>(number);
    }
    const rlim_t descriptors = raiseDescriptorLimit();
    if (descriptors > 256 && options.maxConnections > descriptors - 128)
        options.maxConnections = static_cast<unsigned>(descriptors - 128);
    if (parser.isSet(outOption) && parser.isSet(pgOption))
        return fail(QStringLiteral("give --out or --pg, not both"));
    if (parser.isSet(catalogueOption) && !parser.isSet(pgOption))
        return fail(QStringLiteral("--catalogue goes with --pg"));

    std::unique_ptr<listener::Sink> sink;
    QString error;
    if (parser.isSet(tlsCertOption) != parser.isSet(tlsKeyOption))
        return fail(QStringLiteral("--tls-cert and --tls-key go together"));
    if (parser.isSet(tlsCertOption)
        && (!readTlsFile(parser.value(tlsKeyOption), true, &options.tlsKey, &error)
            || !readTlsFile(parser.value(tlsCertOption), false, &options.tlsCertificate, &error)))
        return fail(error);

    // Crew keys, unless anonymous posts are allowed or nothing is kept.
    std::unique_ptr<listener::CrewKeys> crews;
    if (parser.isSet(anonymousOption)) {
        logLine(QStringLiteral("zepta-listener: warning: --allow-anonymous: anyone who reaches this port can store "
                               "events under any name; use it on a closed network only"));
    } else if (options.answerStatus == 0) {
        std::unique_ptr<listener::CrewStore> store;
        if (parser.isSet(pgOption))
            store = listener::pgCrewStore(parser.value(pgOption).toUtf8());
        else if (parser.isSet(outOption))
            store = listener::fileCrewStore(listener::crewsFileFor(parser.value(outOption)));
        else
            return fail(QStringLiteral("crew keys need --out FILE or --pg CONNINFO (or --allow-anonymous)"));
        crews = std::make_unique<listener::CrewKeys>(std::move(store), logLine);
        bool unreachable = false;
        if (!crews->load(&error, &unreachable)) {
            if (!unreachable)
                return fail(QStringLiteral("%1; add a crew with \"zepta-listener crews add NAME\" (or give "
                                           "--allow-anonymous)")
                                .arg(error));
            logLine(QStringLiteral("zepta-listener: %1: answering 503 until the crews are read").arg(error));
        }
        crews->start();
        options.crews = crews.get();
    }
    if (options.answerStatus != 0) {
        // Nothing is kept.
    } else if (parser.isSet(pgOption)) {
        const QByteArray conninfo = parser.value(pgOption).toUtf8();
        char* parseError = nullptr;
        PQconninfoOption* parsed = PQconninfoParse(conninfo.constData(), &parseError);
        if (!parsed) {
            const QString reason
                = parseError ? QString::fromUtf8(parseError).trimmed() : QStringLiteral("out of memory");
            PQfreemem(parseError);
            return fail(QStringLiteral("--pg is not a connection string: %1").arg(reason));
        }
        PQconninfoFree(parsed);
        if (holdsPassword(conninfo))
            logLine(QStringLiteral("zepta-listener: warning: the --pg connection string holds a password, which "
                                   "others can read in the process list: put it in a password file (PGPASSFILE, "
                                   "~/.pgpass) or a service file instead"));
        std::optional<listener::Catalogue> catalogue;
        if (parser.isSet(catalogueOption)) {
            catalogue = listener::readCatalogue(parser.value(catalogueOption), &error);
            if (!catalogue)
                return fail(error);
        }
        auto pg = std::make_unique<listener::PgSink>(conninfo, std::move(catalogue), logLine);
        pg->connectNow(&error); // when down, it is logged and tried again at the first event
        sink = std::move(pg);
    } else if (parser.isSet(outOption)) {
        QString note;
        sink = listener::FileSink::open(parser.value(outOption), &error, &note);
        if (!sink)
            return fail(error);
        if (!note.isEmpty())
            logLine(QStringLiteral("zepta-listener: ") + note);
    } else {
        sink = listener::FileSink::standardOutput();
    }

    listener::OfficeOptions office;
    if (parser.isSet(pgOption))
        office.conninfo = parser.value(pgOption).toUtf8();
    office.tilesTemplate = parser.value(tilesOption);
    office.tilesAttribution = parser.value(attributionOption);
    office.mbtilesPath = parser.value(mbtilesOption);
    office.tls = parser.isSet(tlsCertOption); // session cookies get Secure
    if (parser.isSet(tilesOption) && parser.isSet(mbtilesOption))
        return fail(QStringLiteral("give --tiles or --mbtiles, not both"));
    office.iconsFolder = parser.isSet(iconsOption) ? parser.value(iconsOption)
        : parser.isSet(catalogueOption)
        ? QFileInfo(parser.value(catalogueOption)).dir().filePath(QStringLiteral("Icons"))
        : QString();
    if (!parseNumber(parser.value(clusterOption), 1, 1000000, &number))
        return fail(QStringLiteral("--cluster-above must be a number from 1 to 1000000"));
    office.clusterAbove = static_cast<int>(number);
    listener::OfficeWeb web(office, logLine);
    if (!web.start(&error))
        return fail(error);

    if (sink)
        sink->start();
    listener::HttpServer server(options, sink.get(), logLine);
    server.setOffice(&web);
    if (!server.start(&error)) {
        if (sink)
            sink->stop();
        return fail(error);
    }
    // The chosen port first, on a line of its own, so a caller can read it.
    std::printf("%u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    // Finish what is queued (answering it), then close the connections.
    if (sink)
        sink->stop();
    web.stop();
    server.stop();
    if (crews)
        crews->stop();
    return 0;
}
