// zepta-listener: receives the XML event documents that Zepta posts in "XML"
// storage mode and keeps each accepted one (see listener_core.h for the
// answers and the record format). The first line on standard output is the
// port it listens on.

#include "tools/listener_core.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <cstdio>

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
    QTextStream(stderr) << "zepta-listener: " << message << '\n';
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zepta-listener"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Receives Zepta's XML event documents by HTTP POST on any path and keeps each well-formed one whose root "
        "element is Zepta (answer 200); other bodies get 400, other methods 405."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("TCP port to listen on; 0 picks a free one (default 80, the port of the program's "
                       "posting URL)."),
        QStringLiteral("N"), QStringLiteral("80"));
    const QCommandLineOption bindOption(QStringLiteral("bind"),
        QStringLiteral("Address to listen on (default 127.0.0.1)."), QStringLiteral("ADDRESS"),
        QStringLiteral("127.0.0.1"));
    const QCommandLineOption outOption(QStringLiteral("out"),
        QStringLiteral("Append accepted documents to FILE instead of standard output."), QStringLiteral("FILE"));
    const QCommandLineOption maxBodyOption(QStringLiteral("max-body"),
        QStringLiteral("Largest body accepted, in bytes (default %1).").arg(listener::kDefaultMaxBodyBytes),
        QStringLiteral("BYTES"), QString::number(listener::kDefaultMaxBodyBytes));
    const QCommandLineOption statusOption(QStringLiteral("answer-status"),
        QStringLiteral("Answer every request with this status and keep nothing (for testing clients)."),
        QStringLiteral("CODE"));
    parser.addOptions({portOption, bindOption, outOption, maxBodyOption, statusOption});
    parser.process(app);

    listener::Server::Options options;
    qlonglong number = 0;
    if (!parseNumber(parser.value(portOption), 0, 65535, &number))
        return fail(QStringLiteral("--port must be a number from 0 to 65535"));
    options.port = static_cast<quint16>(number);
    if (!options.address.setAddress(parser.value(bindOption)))
        return fail(QStringLiteral("--bind must be an IP address"));
    if (!parseNumber(parser.value(maxBodyOption), 0, 256LL * 1024 * 1024, &number))
        return fail(QStringLiteral("--max-body must be a number of bytes up to 268435456"));
    options.maxBodyBytes = static_cast<qsizetype>(number);
    if (parser.isSet(statusOption)) {
        if (!parseNumber(parser.value(statusOption), 200, 599, &number))
            return fail(QStringLiteral("--answer-status must be an HTTP status from 200 to 599"));
        options.answerStatus = static_cast<int>(number);
    }

    QFile out;
    const bool toFile = parser.isSet(outOption);
    if (toFile) {
        out.setFileName(parser.value(outOption));
        if (!out.open(QIODevice::WriteOnly | QIODevice::Append))
            return fail(QStringLiteral("cannot open %1: %2").arg(out.fileName(), out.errorString()));
    }

    listener::Server server(options, out);
    QString error;
    if (!server.listen(&error))
        return fail(error);

    // The chosen port first, on a line of its own, so a caller can read it.
    std::printf("%u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);
    if (!toFile && !out.open(stdout, QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write to standard output"));

    QObject::connect(
        &server, &listener::Server::answered, [](int status, const QByteArray& method, const QByteArray& path) {
            QTextStream(stderr) << QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) << ' '
                                << (method.isEmpty() ? QByteArray("-") : method) << ' '
                                << (path.isEmpty() ? QByteArray("-") : path) << ' ' << status << '\n';
        });
    return QCoreApplication::exec();
}
