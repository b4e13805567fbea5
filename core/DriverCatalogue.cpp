#include "core/Driver.h"

#include "platform/Db.h"
#include "platform/Error.h"

#include <QHash>

#include <utility>

// The event catalogue: read-only lookups on the application database. None of
// them catches anything; every failure reaches the caller as a ZeptaError.
// Category and type numbers are bound to the queries.

namespace Driver
{

namespace
{
// Names stored into the caller's arrays are never null strings, so a caller
// that starts with null entries can tell which slots a load filled.
QString storedText(const QString& text) { return text.isNull() ? QStringLiteral("") : text; }
} // namespace

void Load_Event_Mappings(std::int16_t category, SlotTypes& eventTypes, SlotTexts& names, SlotTexts& icons)
{
    const QString sql = QStringLiteral("SELECT M.*, E.* FROM EVENT_UI_MAPPINGS M, EVENT_TYPES E ")
        + QStringLiteral(
            " WHERE M.EVENT_CATEGORY = ? AND M.EVENT_TYPE_ID = E.EVENT_TYPE_ID ORDER BY M.EVENT_MAPPING_ID");

    db::Connection connection(applicationConnectionString());
    db::Recordset rows = connection.open(sql, {db::Value::integer(category)});
    const int slotColumn = rows.column(QStringLiteral("EVENT_MAPPING_ID"));
    const int typeColumn = rows.column(QStringLiteral("M.EVENT_TYPE_ID"));
    const int nameColumn = rows.column(QStringLiteral("NAME"));
    const int iconColumn = rows.column(QStringLiteral("ICON"));
    while (!rows.eof()) {
        const std::int16_t slot = rows.field(slotColumn).toInt16();
        // Checked before anything of the row is stored: slots filled by
        // earlier rows keep their new values, later rows are not read.
        if (slot < 0 || slot >= kPaletteSlots)
            throw ZeptaError(
                QStringLiteral("Subscript out of range: palette slot %1 of category %2").arg(slot).arg(category));
        const auto i = static_cast<std::size_t>(slot);
        eventTypes[i] = rows.field(typeColumn).toInt16();
        names[i] = storedText(rows.field(nameColumn).toString());
        icons[i] = storedText(rows.field(iconColumn).toString());
        rows.moveNext();
    }
}

QString Get_Event_Category_Name(std::int16_t category)
{
    db::Connection connection(applicationConnectionString());
    db::Recordset rows = connection.open(
        QStringLiteral("SELECT * FROM EVENT_CATEGORIES WHERE EVENT_CATEGORY_ID = ?"), {db::Value::integer(category)});
    return rows.field(QStringLiteral("EVENT_CATEGORY_NAME")).toString();
}

namespace
{
QHash<std::int16_t, QString>*& keptTypeNames()
{
    static QHash<std::int16_t, QString>* names = nullptr;
    return names;
}
} // namespace

EventTypeNamesKept::EventTypeNamesKept() { keptTypeNames() = new QHash<std::int16_t, QString>; }

EventTypeNamesKept::~EventTypeNamesKept() { delete std::exchange(keptTypeNames(), nullptr); }

QString Get_Event_Type_Name(std::int16_t eventType)
{
    QHash<std::int16_t, QString>* const kept = keptTypeNames();
    if (kept) {
        if (const auto it = kept->constFind(eventType); it != kept->constEnd())
            return *it;
    }
    db::Connection connection(applicationConnectionString());
    db::Recordset rows = connection.open(
        QStringLiteral("SELECT * FROM EVENT_TYPES WHERE EVENT_TYPE_ID = ?"), {db::Value::integer(eventType)});
    const QString name = rows.field(QStringLiteral("NAME")).toString();
    if (kept)
        kept->insert(eventType, name);
    return name;
}

QList<std::pair<std::int32_t, QString>> Get_Event_Categories()
{
    db::Connection connection(applicationConnectionString());
    db::Recordset rows = connection.open(QStringLiteral("SELECT * FROM EVENT_CATEGORIES"));
    const int idColumn = rows.column(QStringLiteral("EVENT_CATEGORY_ID"));
    const int nameColumn = rows.column(QStringLiteral("EVENT_CATEGORY_NAME"));
    QList<std::pair<std::int32_t, QString>> categories;
    for (; !rows.eof(); rows.moveNext())
        categories.append({rows.field(idColumn).toInt32(), rows.field(nameColumn).toString()});
    return categories;
}

} // namespace Driver
