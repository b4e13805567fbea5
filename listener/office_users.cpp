#include "listener/office_users.h"

#include "listener/auth.h"
#include "listener/office_db.h"

#include <argon2.h>
#include <sys/random.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

namespace listener
{

namespace
{

// Argon2id with 19 MiB, two passes, one lane: about 30 ms per check on a
// small server, and the memory bounds how many checks can run at once.
constexpr std::uint32_t kPasses = 2;
constexpr std::uint32_t kMemoryKiB = 19 * 1024;
constexpr std::uint32_t kLanes = 1;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;
constexpr int kMinPasswordLength = 8;

bool randomBytes(void* buffer, std::size_t size)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t got = getrandom(bytes, size, 0);
        if (got < 0)
            return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// A hash to check against when the user does not exist, so the answer takes
// as long as for a wrong password.
const QByteArray& decoyHash()
{
    static const QByteArray decoy = hashPassword("not the password of anyone");
    return decoy;
}

// Reads one line of a password: without echo from a terminal, else as it comes.
bool readPassword(std::FILE* in, std::FILE* out, const char* prompt, QByteArray* password)
{
    const int fd = fileno(in);
    const bool terminal = isatty(fd);
    termios saved {};
    if (terminal) {
        std::fputs(prompt, out);
        std::fflush(out);
        tcgetattr(fd, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    char line[4096];
    const bool got = std::fgets(line, sizeof line, in) != nullptr;
    if (terminal) {
        tcsetattr(fd, TCSAFLUSH, &saved);
        std::fputs("\n", out);
    }
    if (!got)
        return false;
    *password = QByteArray(line);
    while (password->endsWith('\n') || password->endsWith('\r'))
        password->chop(1);
    std::memset(line, 0, sizeof line);
    return true;
}

} // namespace

QByteArray hashPassword(const QByteArray& password)
{
    unsigned char salt[kSaltBytes];
    if (!randomBytes(salt, sizeof salt))
        return QByteArray();
    QByteArray encoded(
        static_cast<qsizetype>(argon2_encodedlen(kPasses, kMemoryKiB, kLanes, kSaltBytes, kHashBytes, Argon2_id)),
        '\0');
    if (argon2id_hash_encoded(kPasses, kMemoryKiB, kLanes, password.constData(),
            static_cast<std::size_t>(password.size()), salt, sizeof salt, kHashBytes, encoded.data(),
            static_cast<std::size_t>(encoded.size()))
        != ARGON2_OK)
        return QByteArray();
    encoded.truncate(static_cast<qsizetype>(std::strlen(encoded.constData())));
    return encoded;
}

bool verifyPassword(const QByteArray& encoded, const QByteArray& password)
{
    const bool real = encoded.startsWith("$argon2id$");
    const QByteArray& against = real ? encoded : decoyHash();
    const bool match
        = argon2id_verify(against.constData(), password.constData(), static_cast<std::size_t>(password.size()))
        == ARGON2_OK;
    return real && match;
}

QString checkUserName(const QString& name)
{
    // The same rule as for crews: a name stands as it is in a log line.
    return auth::isValidName(name) ? QString()
                                   : QStringLiteral("a user name is 1 to 64 letters, digits, '.', '_' or '-'");
}

QByteArray officeSchemaSql()
{
    return QByteArrayLiteral(R"(CREATE TABLE IF NOT EXISTS zepta.office_users (
    name text PRIMARY KEY,
    password_hash text NOT NULL,
    created_at timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE IF NOT EXISTS zepta.office_sessions (
    token_hash bytea PRIMARY KEY,
    user_name text NOT NULL REFERENCES zepta.office_users (name) ON DELETE CASCADE,
    created_at timestamptz NOT NULL DEFAULT now(),
    last_seen timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX IF NOT EXISTS events_received_idx ON zepta.events (received_at);
-- The office's list of crews walks this from one crew to the next.
CREATE INDEX IF NOT EXISTS events_crew_idx ON zepta.events ((coalesce(crew, client_id, '')), id);
CREATE OR REPLACE FUNCTION zepta.notify_events() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
    first_id bigint;
    last_id bigint;
BEGIN
    -- The transaction's id lets a page tell whether a query it made saw these
    -- rows. Asked only when there are rows: asking gives a transaction that
    -- stored nothing (every row a repeat) an id, and with it a commit to wait for.
    SELECT min(id), max(id) INTO first_id, last_id FROM fresh;
    IF first_id IS NOT NULL THEN
        PERFORM pg_notify('zepta_events', first_id || ' ' || last_id || ' ' || pg_current_xact_id());
    END IF;
    RETURN NULL;
END $$;
CREATE OR REPLACE TRIGGER events_notify AFTER INSERT ON zepta.events
    REFERENCING NEW TABLE AS fresh FOR EACH STATEMENT EXECUTE FUNCTION zepta.notify_events();
)");
}

int runUsersCommand(
    const QStringList& arguments, const QByteArray& conninfo, std::FILE* in, std::FILE* out, std::FILE* err)
{
    const auto fail = [err](const QString& message) {
        std::fprintf(err, "zepta-listener: %s\n", message.toLocal8Bit().constData());
        return 2;
    };
    const QString verb = arguments.value(0);
    const bool named = verb == QLatin1String("add") || verb == QLatin1String("remove");
    if (!(named && arguments.size() == 2) && !(verb == QLatin1String("list") && arguments.size() == 1))
        return fail(
            QStringLiteral("use: zepta-listener --pg CONNINFO users add NAME | users list | users remove NAME"));
    if (conninfo.isEmpty())
        return fail(QStringLiteral("office users are kept in PostgreSQL: give --pg CONNINFO"));
    const QString name = arguments.value(1);
    if (named) {
        const QString problem = checkUserName(name);
        if (!problem.isEmpty())
            return fail(problem);
    }

    QByteArray hash;
    if (verb == QLatin1String("add")) {
        QByteArray password;
        if (!readPassword(in, out, "Password: ", &password))
            return fail(QStringLiteral("no password was given"));
        if (password.size() < kMinPasswordLength)
            return fail(QStringLiteral("a password has at least %1 characters").arg(kMinPasswordLength));
        if (isatty(fileno(in))) {
            QByteArray again;
            if (!readPassword(in, out, "Again: ", &again) || again != password)
                return fail(QStringLiteral("the two passwords differ; nothing was changed"));
        }
        hash = hashPassword(password);
        password.fill('\0');
        if (hash.isEmpty())
            return fail(QStringLiteral("the password could not be hashed"));
    }

    QString error;
    const pg::Connection connection = pg::connect(conninfo, &error);
    if (!connection)
        return fail(QStringLiteral("cannot reach the database: %1").arg(error));
    error = pg::createSchema(connection.get());
    if (!error.isEmpty())
        return fail(QStringLiteral("cannot create the zepta schema: %1").arg(error));

    if (verb == QLatin1String("list")) {
        const pg::Result result = pg::query(connection.get(),
            "SELECT name, to_char(created_at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS') || 'Z', "
            "(SELECT count(*) FROM zepta.office_sessions s WHERE s.user_name = u.name) "
            "FROM zepta.office_users u ORDER BY name",
            {}, &error);
        if (!result)
            return fail(error);
        for (int row = 0; row < PQntuples(result.get()); ++row)
            std::fprintf(out, "%s\tadded %s\t%s session(s)\n", PQgetvalue(result.get(), row, 0),
                PQgetvalue(result.get(), row, 1), PQgetvalue(result.get(), row, 2));
        return 0;
    }
    if (verb == QLatin1String("add")) {
        const pg::Result result = pg::query(connection.get(),
            "INSERT INTO zepta.office_users (name, password_hash) VALUES ($1, $2) "
            "ON CONFLICT (name) DO NOTHING RETURNING name",
            {name.toUtf8(), hash}, &error);
        if (!result)
            return fail(error);
        if (PQntuples(result.get()) == 0)
            return fail(QStringLiteral("user %1 exists already; remove it first to set a new password").arg(name));
        std::fprintf(out, "user %s added\n", name.toLocal8Bit().constData());
        return 0;
    }
    // Removing the user ends its sessions too (ON DELETE CASCADE).
    const pg::Result result = pg::query(
        connection.get(), "DELETE FROM zepta.office_users WHERE name = $1 RETURNING name", {name.toUtf8()}, &error);
    if (!result)
        return fail(error);
    if (PQntuples(result.get()) == 0)
        return fail(QStringLiteral("there is no user %1").arg(name));
    std::fprintf(out, "user %s removed; its sessions are closed\n", name.toLocal8Bit().constData());
    return 0;
}

} // namespace listener
