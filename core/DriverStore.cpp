#include "core/Driver.h"

#include "gps/Component.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "platform/NumberText.h"
#include "platform/UserInterface.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <utility>

namespace Driver
{

namespace
{
const QString kParameterQuery = QStringLiteral("SELECT * FROM CONFIGURATION WHERE PARAMETER_NAME = ?");
} // namespace

QString connectionStringFor(const QString& folder, const QString& fileName)
{
    return QStringLiteral("Provider=SQLite;Password=;Data Source=") + folder + QLatin1Char('/') + fileName
        + QStringLiteral(";Persist Security Info=True");
}

QString& applicationConnectionString()
{
    static QString value;
    return value;
}

QString eventDatabaseConnectionString() { return gps::component().CreateDataLink()->connectionString(); }

QString eventDatabasePath() { return dataFolder() + QStringLiteral("/Nomrel.mdb"); }

// Both procedures act on the first row the query returns; neither creates a
// row. The name is bound, not spliced into the text.
QString Get_Parameter_Value(const QString& name)
{
    db::Connection connection(applicationConnectionString(), db::Connection::Mode::ReadOnly);
    db::Recordset rows = connection.open(kParameterQuery, {db::Value::text(name)});
    return rows.field(QStringLiteral("PARAMETER_VALUE")).toString();
}

void Set_Parameter_Value(const QString& name, const QString& value)
{
    db::Connection connection(applicationConnectionString());
    db::Recordset rows = connection.openForUpdate(kParameterQuery, {db::Value::text(name)});
    rows.setField(QStringLiteral("PARAMETER_VALUE"), db::Value::text(value));
    rows.update();
}

void Save_Parameter_Value(const QString& name, const QString& value)
{
    {
        db::Connection connection(applicationConnectionString());
        if (connection.execute(
                QStringLiteral("INSERT INTO CONFIGURATION (PARAMETER_NAME, PARAMETER_VALUE) SELECT ?1, ?2 "
                               "WHERE NOT EXISTS (SELECT 1 FROM CONFIGURATION WHERE PARAMETER_NAME = ?1)"),
                {db::Value::text(name), db::Value::text(value)})
            > 0)
            return;
    }
    Set_Parameter_Value(name, value);
}

QString Default_Parameter_Value(const QString& name)
{
    static const QHash<QString, QString> defaults {{QStringLiteral("TRACKING_INTERVAL"), QStringLiteral("60")},
        {QStringLiteral("BEEP_AFTER_SAVES"), QStringLiteral("True")},
        {QStringLiteral("SHRINK_AFTER_SAVES"), QStringLiteral("True")},
        {QStringLiteral("SHOW_GPS_WINDOW"), QStringLiteral("False")}, {QStringLiteral("COM_PORT"), QStringLiteral("1")},
        {QStringLiteral("COM_SETTINGS"), QStringLiteral("4800,N,8,1")},
        {QStringLiteral("CLIENT_ID"), QStringLiteral("1")},
        {QStringLiteral("DATA_STORAGE_MODE"), QStringLiteral("LOCAL")},
        {QStringLiteral("SERVER_IP"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("LISTENER_NAME"), QStringLiteral("Zepta/listener.asp")},
        {QStringLiteral("ACCURACY_LIMIT_M"), QStringLiteral("0")},
        {QStringLiteral("AVERAGING_SECONDS"), QStringLiteral("0")}, {QStringLiteral("LISTENER_KEY"), QString()},
        {QStringLiteral("LISTENER_CA_FILE"), QString()}};
    return defaults.value(name);
}

namespace
{
// A value as a message shows it: quoted, and cut when it is long.
QString shown(const QString& value)
{
    constexpr int kLongest = 40;
    return QLatin1Char('"') + (value.size() > kLongest ? value.left(kLongest) + QStringLiteral("...") : value)
        + QLatin1Char('"');
}

// Tells the user once per database, key and value, so a tracking run does not
// pile up the same box.
void tellOnce(const QString& name, const QString& problem, const QString& fallback)
{
    static QSet<QString> told;
    if (told.contains(applicationConnectionString() + QLatin1Char('\n') + name + QLatin1Char('\n') + problem))
        return;
    told.insert(applicationConnectionString() + QLatin1Char('\n') + name + QLatin1Char('\n') + problem);
    Msg_Box(MessageKind::Exclamation, QStringLiteral("Invalid Setting"),
        problem
            + QStringLiteral("\r\nZepta uses %1 until the setting is saved again in File > Configure.")
                  .arg(shown(fallback)));
}
} // namespace

namespace
{
// What reading a setting gave: its value, or why there is none.
struct Reading {
    QString value;
    QString failure;
};

// The value used in place of one that cannot be: the key's default, for
// EVENT_CATEGORY the first category of the catalogue.
QString fallbackValue(const QString& name)
{
    if (name != QLatin1String("EVENT_CATEGORY"))
        return Default_Parameter_Value(name);
    try {
        const auto categories = Get_Event_Categories();
        return categories.isEmpty() ? QString() : QString::number(categories.first().first);
    } catch (const ZeptaError&) {
        return {};
    }
}

// A row, Null or not, or why it cannot be read, in words (the engine's own
// message goes to the log).
Reading readSetting(const QString& name)
{
    Reading reading;
    try {
        db::Connection connection(applicationConnectionString(), db::Connection::Mode::ReadOnly);
        db::Recordset rows = connection.open(kParameterQuery, {db::Value::text(name)});
        if (rows.eof())
            reading.failure = QStringLiteral("no row holds it");
        else if (const db::Value value = rows.field(QStringLiteral("PARAMETER_VALUE")); value.isNull())
            reading.failure = QStringLiteral("its row holds no value (Null)");
        else
            reading.value = value.toString();
    } catch (const ZeptaError& error) {
        qWarning("The setting %s cannot be read: %s", qUtf8Printable(name), qUtf8Printable(error.message()));
        reading.failure = plainReason(error.message());
    }
    return reading;
}

QString usableValue(const QString& name, const Reading& reading, const std::function<bool(const QString&)>& usable)
{
    const QString fallback = fallbackValue(name);
    if (!reading.failure.isNull()) {
        tellOnce(name,
            QStringLiteral("The setting %1 cannot be read from %2: %3.")
                .arg(name, db::dataSourceOf(applicationConnectionString()), reading.failure),
            fallback);
        return fallback;
    }
    if (usable && !usable(reading.value)) {
        tellOnce(name,
            QStringLiteral("The setting %1 holds %2, which Zepta cannot use.").arg(name, shown(reading.value)),
            fallback);
        return fallback;
    }
    return reading.value;
}
} // namespace

QString Usable_Parameter_Value(const QString& name, const std::function<bool(const QString&)>& usable)
{
    return usableValue(name, readSetting(name), usable);
}

QString Optional_Parameter_Value(const QString& name) { return readSetting(name).value; }

QStringList Usable_Parameter_Values(const QStringList& names)
{
    QHash<QString, Reading> readings;
    QString failure;
    try {
        db::Params params;
        for (const QString& name : names)
            params.push_back(db::Value::text(name));
        // One text per number of names, so the engine's statement is kept.
        static QHash<qsizetype, QString> queries;
        QString& sql = queries[names.size()];
        if (sql.isNull())
            sql = QStringLiteral("SELECT PARAMETER_NAME, PARAMETER_VALUE FROM CONFIGURATION WHERE PARAMETER_NAME IN "
                                 "(%1) ORDER BY rowid")
                      .arg(QStringList(names.size(), QStringLiteral("?")).join(QLatin1String(", ")));
        db::Connection connection(applicationConnectionString(), db::Connection::Mode::ReadOnly);
        db::Recordset rows = connection.open(sql, params);
        for (; !rows.eof(); rows.moveNext()) {
            const QString name = rows.field(0).toString();
            if (readings.contains(name))
                continue; // the first row of a name counts
            Reading reading;
            if (const db::Value value = rows.field(1); value.isNull())
                reading.failure = QStringLiteral("its row holds no value (Null)");
            else
                reading.value = value.toString();
            readings.insert(name, reading);
        }
    } catch (const ZeptaError& error) {
        qWarning("The settings cannot be read: %s", qUtf8Printable(error.message()));
        failure = plainReason(error.message());
    }
    QStringList values;
    for (const QString& name : names) {
        Reading reading = readings.value(name);
        if (!readings.contains(name))
            reading.failure = failure.isNull() ? QStringLiteral("no row holds it") : failure;
        values << usableValue(name, reading, {});
    }
    return values;
}

std::int16_t Usable_Event_Category()
{
    // When the catalogue cannot be read no value can be checked; loading the
    // palette says what it can.
    const auto known = [](const QString& text) {
        std::int16_t category = 0;
        try {
            category = numtext::toInt16(text);
        } catch (const ZeptaError&) {
            return false;
        }
        QList<std::pair<std::int32_t, QString>> categories;
        try {
            categories = Get_Event_Categories();
        } catch (const ZeptaError&) {
            return true;
        }
        return std::any_of(
            categories.begin(), categories.end(), [category](const auto& entry) { return entry.first == category; });
    };
    return numtext::toInt16(Usable_Parameter_Value(QStringLiteral("EVENT_CATEGORY"), known));
}

bool Usable_Boolean_Parameter(const QString& name)
{
    const auto isBoolean = [](const QString& text) {
        try {
            numtext::toBoolean(text);
            return true;
        } catch (const ZeptaError&) {
            return false;
        }
    };
    return numtext::toBoolean(Usable_Parameter_Value(name, isBoolean));
}

void Check_Application_Database()
{
    const QString path = db::dataSourceOf(applicationConnectionString());
    try {
        db::Connection connection(applicationConnectionString(), db::Connection::Mode::ReadOnly);
        connection.open(QStringLiteral("SELECT COUNT(*) AS N FROM CONFIGURATION"));
    } catch (const ZeptaError& error) {
        qWarning("The application database cannot be used: %s", qUtf8Printable(error.message()));
        throw ZeptaError(
            QStringLiteral("The application database %1 cannot be used: %2.").arg(path, plainReason(error.message())));
    }
}

} // namespace Driver
