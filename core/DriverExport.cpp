// Export, count and purge of the events saved in the event database.
//
// The export file is comma-separated UTF-8 text with CR LF line ends: a header
// line of the 13 quoted column names, then one line per saved event. Items by
// kind of value:
//   text          "between double quotes"; a double quote inside is doubled,
//                 line breaks inside are kept as they are
//   integer       decimal, a minus sign for negatives
//   real          period as decimal separator whatever the locale; single
//                 precision (LATITUDE..DIRECTION) with at most 7 significant
//                 digits, other reals with at most 15; trailing zeros dropped,
//                 a zero before the period (0.5, -0.25), an exponent of at least
//                 two digits when the decimal exponent is below -4 or reaches
//                 the digit count (1E-05, 1.5E+20); negative zero as 0
//   date and time #yyyy-mm-dd hh:mm:ss#, #yyyy-mm-dd# when the time is
//                 midnight, #hh:mm:ss# on the zero date 1899-12-30 (midnight
//                 of the zero date is #00:00:00#), in UTC as stored
//   true, false   #TRUE#, #FALSE#
//   Null          #NULL#
// Every value the data layer gives has one of these kinds, so no item is ever
// left empty: an empty text is written "" and stays apart from a Null.

#include "core/Driver.h"

#include "platform/Db.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <limits>
#include <optional>

namespace Driver
{

namespace
{

// Lines are gathered and written in large pieces: 100,000 events make about
// 13 MB, written in a dozen writes.
constexpr int kWriteChunk = 1 << 20;

const char* const kColumns[] = {"GEOCODED_EVENT_ID", "NAME", "OBSERVER_MONIKER", "EVENT_TYPE_ID", "EVENT_TYPE_NAME",
    "GPS_READING_ID", "GMT", "LATITUDE", "LONGITUDE", "SPEED", "DIRECTION", "LOCKED", "NOTES"};

// One data line being built; appended to the file's buffer only when whole.
class Line
{
public:
    explicit Line(QByteArray& out)
        : mOut(out)
    {
    }

    void text(const QString& value)
    {
        separator();
        mOut += '"';
        const QByteArray utf8 = value.toUtf8();
        if (utf8.contains('"'))
            mOut += QByteArray(utf8).replace('"', "\"\"");
        else
            mOut += utf8;
        mOut += '"';
    }

    void integer(std::int64_t value)
    {
        separator();
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, value);
        mOut.append(digits, static_cast<int>(result.ptr - digits));
    }

    template <typename Real> void real(Real value, int significantDigits)
    {
        if (!std::isfinite(value))
            throw ZeptaError(QStringLiteral("Overflow: a number is not finite"));
        if (value == 0)
            value = 0; // no "-0"
        separator();
        char digits[48];
        const auto result
            = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, significantDigits);
        for (char* p = digits; p != result.ptr; ++p)
            if (*p == 'e')
                *p = 'E';
        mOut.append(digits, static_cast<int>(result.ptr - digits));
    }

    void dateTime(const db::Timestamp& value)
    {
        separator();
        // Seconds are the finest unit written; a value is midnight when its
        // written time is.
        char text[24];
        int length = 0;
        if (value.onZeroDate())
            length = std::snprintf(text, sizeof text, "#%02d:%02d:%02d#", value.hour, value.minute, value.second);
        else if (value.atMidnight())
            length = std::snprintf(text, sizeof text, "#%04d-%02d-%02d#", value.year, value.month, value.day);
        else
            length = std::snprintf(text, sizeof text, "#%04d-%02d-%02d %02d:%02d:%02d#", value.year, value.month,
                value.day, value.hour, value.minute, value.second);
        if (length <= 0 || length >= static_cast<int>(sizeof text) || value.year > 9999)
            throw ZeptaError(QStringLiteral("Overflow: a date is out of range"));
        mOut.append(text, length);
    }

    void boolean(bool value)
    {
        separator();
        mOut += value ? "#TRUE#" : "#FALSE#";
    }

    void null()
    {
        separator();
        mOut += "#NULL#";
    }

    // A column written as it is: by its value's own kind.
    void asIs(const db::Value& value)
    {
        switch (value.kind()) {
        case db::Value::Kind::Null:
            null();
            return;
        case db::Value::Kind::Integer:
            integer(value.integerValue());
            return;
        case db::Value::Kind::Real:
            real(value.realValue(), 15);
            return;
        case db::Value::Kind::DateTime:
            dateTime(value.timestampValue());
            return;
        case db::Value::Kind::Boolean:
            boolean(value.toBool());
            return;
        case db::Value::Kind::Text:
        case db::Value::Kind::Blob:
            text(value.textValue());
            return;
        }
    }

    void end() { mOut += "\r\n"; }

private:
    void separator()
    {
        if (!mFirst)
            mOut += ',';
        mFirst = false;
    }

    QByteArray& mOut;
    bool mFirst = true;
};

// The file with its write buffer. Only whole lines reach the buffer, so what
// is on disk after a failure is the lines before the failing row.
class ExportFile
{
public:
    explicit ExportFile(const QString& path)
        : mFile(path)
    {
        // Unbuffered: our own buffer is the one, and a failed write shows in
        // write() rather than later in close().
        if (!mFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            throw ZeptaError(mFile.errorString());
        mBuffer.reserve(kWriteChunk + 4096);
    }

    QByteArray& buffer() { return mBuffer; }

    void lineDone()
    {
        if (mBuffer.size() >= kWriteChunk)
            flush();
    }

    void flush()
    {
        if (mBuffer.isEmpty())
            return;
        const qint64 size = mBuffer.size();
        const qint64 written = mFile.write(mBuffer);
        mBuffer.resize(0); // keeps its room
        if (written != size)
            throw ZeptaError(mFile.errorString());
    }

    void close()
    {
        flush();
        mFile.close();
    }

    // On failure: keep what was whole, ignore a second failure.
    void abandon()
    {
        try {
            flush();
        } catch (const ZeptaError&) {
        }
        mFile.close();
    }

private:
    QFile mFile;
    QByteArray mBuffer;
};

// The databases themselves are never export targets: replacing one with the
// text would lose every saved event or the whole configuration. Files are
// compared by identity (device and inode, links followed), so a hard link or
// a second mount of the program folder is caught as well; the engine's
// journal files count as the database.
bool isOneOfOurDatabases(const QString& path)
{
    namespace fs = std::filesystem;
    const fs::path target(QFile::encodeName(path).toStdString());
    std::error_code error;
    if (!fs::exists(target, error))
        return false;
    for (const QString& connectionString : {applicationConnectionString(), eventDatabaseConnectionString()}) {
        QString database;
        try {
            database = db::dataSourceOf(connectionString);
        } catch (const ZeptaError&) {
            continue;
        }
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
            const fs::path file(QFile::encodeName(database + QLatin1String(suffix)).toStdString());
            if (fs::equivalent(target, file, error))
                return true;
        }
    }
    return false;
}

void writeHeader(QByteArray& out)
{
    Line line(out);
    for (const char* column : kColumns)
        line.text(QLatin1String(column));
    line.end();
}

// The view's columns, looked up once per export.
struct Columns {
    explicit Columns(const db::Recordset& rows)
    {
        int* const indexes[] = {&eventId, &name, &observer, &eventType, &readingId, &gmt, &latitude, &longitude, &speed,
            &direction, &locked, &notes};
        const char* const names[] = {"GEOCODED_EVENT_ID", "NAME", "OBSERVER_MONIKER", "EVENT_TYPE_ID", "GPS_READING_ID",
            "GMT", "LATITUDE", "LONGITUDE", "SPEED", "DIRECTION", "LOCKED", "NOTES"};
        for (std::size_t i = 0; i < std::size(names); ++i)
            *indexes[i] = rows.column(QLatin1String(names[i]));
    }
    int eventId, name, observer, eventType, readingId, gmt, latitude, longitude, speed, direction, locked, notes;
};

void writeEvent(QByteArray& out, const db::Recordset& rows, const Columns& c)
{
    const std::int32_t eventId = rows.field(c.eventId).toInt32();
    const db::Value name = rows.field(c.name);
    const db::Value observer = rows.field(c.observer);
    const db::Value eventTypeValue = rows.field(c.eventType);
    const std::int32_t eventType = eventTypeValue.toInt32();
    const std::int32_t readingId = rows.field(c.readingId).toInt32();
    const db::Timestamp gmt = rows.field(c.gmt).toTimestamp();
    const float latitude = rows.field(c.latitude).toSingle();
    const float longitude = rows.field(c.longitude).toSingle();
    const float speed = rows.field(c.speed).toSingle();
    const float direction = rows.field(c.direction).toSingle();
    const db::Value locked = rows.field(c.locked);
    const db::Value notes = rows.field(c.notes);
    const QString eventTypeName = Get_Event_Type_Name(eventTypeValue.toInt16());

    const int start = out.size();
    try {
        Line line(out);
        line.integer(eventId);
        line.asIs(name);
        line.asIs(observer);
        line.integer(eventType);
        line.text(eventTypeName);
        line.integer(readingId);
        line.dateTime(gmt);
        line.real(latitude, 7);
        line.real(longitude, 7);
        line.real(speed, 7);
        line.real(direction, 7);
        line.asIs(locked);
        line.asIs(notes);
        line.end();
    } catch (...) {
        out.truncate(start); // no part of a failed row
        throw;
    }
}

} // namespace

// The events are opened and read up to their first row before the file is
// replaced; when they cannot be, the file holds only the header line.
void Export_Events_To_File(const QString& path)
{
    std::int32_t count = 0;
    std::optional<ExportFile> file;
    try {
        if (isOneOfOurDatabases(path))
            throw ZeptaError(QStringLiteral("The file is one of the program's databases"));
        std::optional<db::Connection> connection;
        std::optional<db::Recordset> rows;
        QString unreadable;
        try {
            connection.emplace(eventDatabaseConnectionString(), db::Connection::Mode::ReadOnly);
            rows.emplace(connection->open(QStringLiteral("select * from GEOCODED_EVENTS_WITH_GPS_READINGS")));
        } catch (const ZeptaError& error) {
            unreadable = error.message();
        }
        file.emplace(path);
        writeHeader(file->buffer());
        file->flush();
        if (!rows)
            throw ZeptaError(unreadable);
        const Columns columns(*rows);
        // One lookup per row, each type's name read once per export.
        const EventTypeNamesKept names;
        while (!rows->eof()) {
            writeEvent(file->buffer(), *rows, columns);
            if (count == std::numeric_limits<std::int32_t>::max())
                throw ZeptaError(QStringLiteral("Overflow"));
            ++count;
            file->lineDone();
            rows->moveNext();
        }
        file->close();
    } catch (const std::exception& error) {
        qWarning("Export to %s failed: %s", qUtf8Printable(path), error.what());
        if (file)
            file->abandon();
        Msg_Box(MessageKind::Exclamation, QStringLiteral("Save Failed"),
            QStringLiteral("Unable to save events to file: ") + path);
        return;
    }
    Msg_Box(MessageKind::Plain, QStringLiteral("Save Completed"),
        QStringLiteral("Saved ") + QString::number(count) + QStringLiteral(" events to file: ") + path);
}

std::int32_t Count_Saved_Events()
{
    db::Connection connection(eventDatabaseConnectionString(), db::Connection::Mode::ReadOnly);
    db::Recordset rows = connection.open(QStringLiteral("SELECT COUNT(*) as EVENTS FROM GEOCODED_EVENTS"));
    return rows.field(QStringLiteral("EVENTS")).toInt32();
}

// Both statements in one transaction: a failure of either leaves both tables
// as they were, never events whose readings are gone.
void Delete_All_Events()
{
    db::Connection connection(eventDatabaseConnectionString());
    db::Connection::Transaction transaction(connection);
    connection.execute(QStringLiteral(
        "DELETE FROM GPS_READINGS WHERE GPS_READING_ID IN (SELECT GPS_READING_ID FROM GEOCODED_EVENTS)"));
    connection.execute(QStringLiteral("DELETE FROM GEOCODED_EVENTS"));
    transaction.commit();
}

} // namespace Driver
