// Export, count and purge of the events saved in the event database.
//
// The export streams the events in batches into a temporary file beside the
// target and puts it in the target's place when complete (core/
// ExportWriters.h has the formats). A failure or a cancel therefore leaves
// the target as it was, except where the text format keeps what it wrote:
// the header and the lines before a row that cannot be written.

#include "core/Driver.h"
#include "core/ExportWriters.h"

#include "platform/Db.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace Driver
{

namespace
{

// Whole events are gathered and written in large pieces: 100,000 events make
// 13 MB of text (55 MB of GPX), written in a dozen (fifty) writes.
constexpr std::size_t kWriteChunk = 1 << 20;

// Events read per query. Between batches no statement is open, so what the
// progress window lets run meanwhile (a tracking tick that saves an event)
// finds the database free.
constexpr int kBatch = 2000;

const char* const kFileTypes[] = {"Comma-separated text (*.txt *.csv)", "GPX 1.1 (*.gpx)", "GeoJSON (*.geojson)"};

// The target being written. A file (or a new one) is written as a temporary
// file beside it, renamed into its place by commit(). A character device
// (/dev/null, /dev/full) is written directly: renaming over it would replace
// the device itself. Anything else (a disk, a pipe that could block the
// window until someone reads it) is refused.
class ExportTarget
{
public:
    explicit ExportTarget(const QString& path)
    {
        namespace fs = std::filesystem;
        std::error_code error;
        const fs::file_type type = fs::status(QFile::encodeName(path).toStdString(), error).type();
        if (type == fs::file_type::character) {
            mDirect.emplace(path);
            mDevice = &*mDirect;
        } else if (type != fs::file_type::regular && type != fs::file_type::directory
            && type != fs::file_type::not_found && type != fs::file_type::none) {
            throw ZeptaError(QStringLiteral("The target is neither a file nor a character device"));
        } else {
            mTemporary.emplace(path);
            mDevice = &*mTemporary;
        }
        // Unbuffered: our own buffer is the one, and a failed write shows in
        // write() at once.
        if (!mDevice->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            throw ZeptaError(mDevice->errorString());
        mBuffer.reserve(kWriteChunk + 64 * 1024);
    }

    std::string& buffer() { return mBuffer; }

    void eventDone()
    {
        if (mBuffer.size() >= kWriteChunk)
            flush();
    }

    void flush()
    {
        if (mBuffer.empty())
            return;
        const auto size = static_cast<qint64>(mBuffer.size());
        qint64 written = 0;
        // A write cut short is tried again for the rest: the second one
        // fails with the reason (a full disk).
        for (qint64 part = 0; written < size && (part = mDevice->write(mBuffer.data() + written, size - written)) > 0;)
            written += part;
        mBuffer.clear(); // keeps its room
        if (written == size)
            return;
        // A write cut short (a full disk after part of it) leaves the file
        // ending inside an event: it never takes the target's place.
        const QString why = mDevice->errorString();
        if (mTemporary)
            mTemporary->cancelWriting();
        throw ZeptaError(QStringLiteral("%1 of %2 bytes written: %3").arg(written).arg(size).arg(why));
    }

    // Everything written is put in the target's place.
    void commit()
    {
        if (std::exchange(mFinished, true))
            return;
        flush();
        if (mTemporary) {
            if (!mTemporary->commit())
                throw ZeptaError(mTemporary->errorString());
        } else {
            mDirect->close();
            if (mDirect->error() != QFileDevice::NoError)
                throw ZeptaError(mDirect->errorString());
        }
    }

    // After a failure: what is whole is put in place (nothing after a failed
    // write); a second failure is not reported again.
    void commitWhatIsWhole()
    {
        try {
            commit();
        } catch (const ZeptaError&) {
        }
    }

    // The target stays as it was (the temporary file is removed).
    void discard()
    {
        mFinished = true;
        if (mTemporary)
            mTemporary->cancelWriting();
        mTemporary.reset();
        mDirect.reset();
    }

private:
    std::optional<QSaveFile> mTemporary;
    std::optional<QFile> mDirect;
    QFileDevice* mDevice = nullptr;
    std::string mBuffer;
    bool mFinished = false;
};

// The saved events in event order, read in batches; the text format reads
// the view alone, the others join the fix fields of each event's reading.
class SavedEvents
{
public:
    SavedEvents(bool withFix, const std::vector<std::int64_t>* only)
        : mConnection(eventDatabaseConnectionString(), db::Connection::Mode::ReadOnly)
        , mOnly(only)
        , mWithFix(withFix)
        , mSql(withFix ? QStringLiteral("select V.*, R.ALTITUDE, R.FIX_QUALITY, R.SATELLITES, R.HDOP, R.ACCURACY_M, "
                                        "R.FIX_AGE_S, R.SAMPLES, R.SPREAD_M, E.TRACK_ID "
                                        "from GEOCODED_EVENTS_WITH_GPS_READINGS V "
                                        "left join GPS_READINGS R on R.GPS_READING_ID = V.GPS_READING_ID "
                                        "left join GEOCODED_EVENTS E on E.GEOCODED_EVENT_ID = V.GEOCODED_EVENT_ID "
                                        "where V.GEOCODED_EVENT_ID > ? order by V.GEOCODED_EVENT_ID limit %1")
                             .arg(kBatch)
                       : QStringLiteral("select * from GEOCODED_EVENTS_WITH_GPS_READINGS where GEOCODED_EVENT_ID > ? "
                                        "order by GEOCODED_EVENT_ID limit %1")
                             .arg(kBatch))
    {
        // The size of the progress bar: the events themselves, counted in
        // their smallest index; the view would join every reading first.
        mTotal = mConnection.open(QStringLiteral("select count(*) as EVENTS from GEOCODED_EVENTS"))
                     .field(QStringLiteral("EVENTS"))
                     .toInt32();
        if (mOnly)
            mTotal = static_cast<std::int32_t>(mOnly->size());
        mRows.emplace(mConnection.open(mSql, {db::Value::integer(std::numeric_limits<std::int64_t>::min())}));
    }

    std::int32_t total() const { return mTotal; }

    // Hands each event of the next batch to `write`; false when none was left.
    template <typename Write> bool nextBatch(Write&& write)
    {
        if (!mRows)
            mRows.emplace(mConnection.open(mSql, {db::Value::integer(mLast)}));
        if (mRows->eof())
            return false;
        const exporting::EventReader reader(*mRows, mWithFix);
        const int idColumn = mRows->column(QStringLiteral("GEOCODED_EVENT_ID"));
        for (; !mRows->eof(); mRows->moveNext()) {
            if (mOnly) {
                // Events left out are not read, so none of them can fail the export.
                mLast = mRows->field(idColumn).toInt32();
                if (!std::binary_search(mOnly->begin(), mOnly->end(), mLast))
                    continue;
            }
            const exporting::Event event = reader.read(*mRows);
            write(event);
            mLast = event.id;
        }
        mRows.reset();
        return true;
    }

private:
    db::Connection mConnection;
    const std::vector<std::int64_t>* mOnly;
    bool mWithFix;
    QString mSql;
    std::int32_t mTotal = 0;
    std::int64_t mLast = 0;
    std::optional<db::Recordset> mRows;
};

std::unique_ptr<exporting::Writer> writerFor(ExportFormat format)
{
    switch (format) {
    case ExportFormat::Gpx:
        return exporting::gpxWriter();
    case ExportFormat::GeoJson:
        return exporting::geoJsonWriter();
    case ExportFormat::Text:
        break;
    }
    return exporting::textWriter();
}

} // namespace

QStringList exportFileTypes()
{
    QStringList types;
    for (const char* type : kFileTypes)
        types << QLatin1String(type);
    return types;
}

QString exportFileType(ExportFormat format) { return QLatin1String(kFileTypes[static_cast<int>(format)]); }

ExportFormat exportFormatFor(const QString& path, const QString& fileType)
{
    const QString extension = QFileInfo(path).suffix().toLower();
    if (extension == QLatin1String("txt") || extension == QLatin1String("csv"))
        return ExportFormat::Text;
    if (extension == QLatin1String("gpx"))
        return ExportFormat::Gpx;
    if (extension == QLatin1String("geojson") || extension == QLatin1String("json"))
        return ExportFormat::GeoJson;
    for (const ExportFormat format : {ExportFormat::Gpx, ExportFormat::GeoJson})
        if (fileType == exportFileType(format))
            return format;
    return ExportFormat::Text;
}

// The events are opened before the target is touched; when they cannot be,
// the text format leaves a file with its header line only.
void Export_Events_To_File(const QString& path, ExportFormat format, const std::vector<std::int64_t>* only)
{
    const std::unique_ptr<exporting::Writer> writer = writerFor(format);
    std::int32_t count = 0;
    bool cancelled = false;
    std::optional<ExportTarget> target;
    QString context; // what failed, when it is not the file
    try {
        // Writing over a database would lose every saved event, the outbox
        // or the whole configuration.
        if (isKeptFile(path, keptFiles()))
            throw ZeptaError(QStringLiteral("The file is one of the program's databases"));
        std::optional<SavedEvents> events;
        QString unreadable;
        try {
            events.emplace(writer->withFix(), only);
        } catch (const ZeptaError& error) {
            unreadable = error.message();
        }
        target.emplace(path);
        writer->begin(target->buffer());
        if (!events) {
            context = QStringLiteral("The saved events cannot be read: ");
            throw ZeptaError(unreadable);
        }

        const std::unique_ptr<Progress> progress = Start_Progress(
            {QStringLiteral("Save Data"), QStringLiteral("Saving events to file: ") + path, events->total()});
        // One lookup per event, each type's name read once per export.
        const EventTypeNamesKept names;
        std::string& out = target->buffer();
        cancelled = !progress->advance(0);
        while (!cancelled && events->nextBatch([&](const exporting::Event& event) {
            const std::size_t start = out.size();
            try {
                writer->event(out, event);
            } catch (...) {
                out.resize(start); // no part of a failed event
                context = QStringLiteral("The event %1 cannot be written: ").arg(event.id);
                throw;
            }
            if (count == std::numeric_limits<std::int32_t>::max())
                throw ZeptaError(QStringLiteral("Overflow"));
            ++count;
            target->eventDone();
        }))
            cancelled = !progress->advance(count);
        if (cancelled) {
            target->discard();
        } else {
            writer->end(out);
            target->commit();
        }
    } catch (const std::exception& error) {
        qWarning("Export to %s failed: %s", qUtf8Printable(path), error.what());
        if (target && writer->keepsPartialFile())
            target->commitWhatIsWhole();
        else if (target)
            target->discard();
        QString reason = context + plainReason(messageOf(error)) + QLatin1Char('.');
        reason[0] = reason[0].toUpper();
        Msg_Box(MessageKind::Exclamation, QStringLiteral("Save Failed"),
            QStringLiteral("Unable to save events to file: ") + path + QStringLiteral("\r\n") + reason);
        return;
    }
    // The progress window is gone by now.
    if (cancelled)
        Msg_Box(MessageKind::Plain, QStringLiteral("Save Cancelled"),
            QStringLiteral("Saving was cancelled; the file was left as it was: ") + path);
    else
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
