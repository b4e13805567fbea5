#include "listener/crews_command.h"

#include "listener/auth.h"
#include "listener/crews.h"

#include <cstdio>

namespace listener
{

namespace
{

int usage()
{
    std::fputs("usage: zepta-listener crews add NAME | list | revoke NAME  (--pg CONNINFO | --out FILE)\n", stderr);
    return 2;
}

int fail(const QString& message)
{
    std::fprintf(stderr, "zepta-listener crews: %s\n", message.toLocal8Bit().constData());
    return 1;
}

} // namespace

int runCrewsCommand(const QStringList& arguments)
{
    QStringList words;
    QByteArray conninfo;
    QString out;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if ((argument == QLatin1String("--pg") || argument == QLatin1String("--out")) && i + 1 < arguments.size()) {
            if (argument == QLatin1String("--pg"))
                conninfo = arguments[++i].toUtf8();
            else
                out = arguments[++i];
        } else if (argument.startsWith(QLatin1String("--"))) {
            return usage();
        } else {
            words << argument;
        }
    }
    if (words.isEmpty() || conninfo.isEmpty() == out.isEmpty())
        return usage();
    const QString verb = words.takeFirst();
    const bool named = verb == QLatin1String("add") || verb == QLatin1String("revoke");
    if (!(named || verb == QLatin1String("list")) || words.size() != (named ? 1 : 0))
        return usage();
    if (named && !auth::isValidName(words[0]))
        return fail(QStringLiteral("a crew's name is 1 to 64 letters, digits, '.', '_' or '-'"));

    const std::unique_ptr<CrewStore> store
        = conninfo.isEmpty() ? fileCrewStore(crewsFileFor(out)) : pgCrewStore(conninfo);
    QString error;
    if (verb == QLatin1String("add")) {
        const QByteArray key = auth::newKey();
        if (key.isEmpty())
            return fail(QStringLiteral("the system's random generator failed"));
        if (!store->add(words[0], auth::keyHash(key), &error))
            return fail(error);
        // The key last, alone on its line, so a script can take it.
        std::printf("Crew %s added. Its key, shown only now (give it to the crew: Configure, Listener Key):\n%s\n",
            words[0].toUtf8().constData(), key.constData());
        std::fflush(stdout);
        return 0;
    }
    if (verb == QLatin1String("revoke")) {
        if (!store->revoke(words[0], &error))
            return fail(error);
        std::fprintf(stderr, "Crew %s revoked: its key is refused from now on.\n", words[0].toUtf8().constData());
        return 0;
    }
    std::vector<CrewRecord> crews;
    if (!store->read(&crews, &error))
        return fail(error);
    for (const CrewRecord& crew : crews)
        std::printf("%s added %s%s\n", crew.name.toUtf8().constData(),
            crew.created.toUTC().toString(Qt::ISODate).toLatin1().constData(),
            crew.revoked.isNull() ? ""
                                  : (" revoked " + crew.revoked.toUTC().toString(Qt::ISODate).toLatin1()).constData());
    return 0;
}

} // namespace listener
