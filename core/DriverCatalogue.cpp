#include "core/Driver.h"

#include "platform/Db.h"
#include "platform/Error.h"

// The event catalogue: read-only lookups on the application database. None of
// them catches anything; every failure reaches the caller as a ZeptaError.
// Category and type numbers are 16-bit integers, so their decimal text is
// safe to put into the query text as it stands.

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
        + QStringLiteral(" WHERE M.EVENT_CATEGORY = ") + QString::number(category)
        + QStringLiteral(" AND M.EVENT_TYPE_ID = E.EVENT_TYPE_ID ORDER BY M.EVENT_MAPPING_ID");

    db::Connection connection(applicationConnectionString());
    db::Recordset rows = connection.open(sql);
    while (!rows.eof()) {
        const std::int16_t slot = rows.field(QStringLiteral("EVENT_MAPPING_ID")).toInt16();
        // Checked before anything of the row is stored: slots filled by
        // earlier rows keep their new values, later rows are not read.
        if (slot < 0 || slot >= kPaletteSlots)
            throw ZeptaError(
                QStringLiteral("Subscript out of range: palette slot %1 of category %2").arg(slot).arg(category));
        const auto i = static_cast<std::size_t>(slot);
        eventTypes[i] = rows.field(QStringLiteral("M.EVENT_TYPE_ID")).toInt16();
        names[i] = storedText(rows.field(QStringLiteral("NAME")).toString());
        icons[i] = storedText(rows.field(QStringLiteral("ICON")).toString());
        rows.moveNext();
    }
}

QString Get_Event_Category_Name(std::int16_t category)
{
    db::Connection connection(applicationConnectionString());
    db::Recordset rows = connection.open(
        QStringLiteral("SELECT * FROM EVENT_CATEGORIES WHERE EVENT_CATEGORY_ID = ") + QString::number(category));
    return rows.field(QStringLiteral("EVENT_CATEGORY_NAME")).toString();
}

QString Get_Event_Type_Name(std::int16_t eventType)
{
    db::Connection connection(applicationConnectionString());
    db::Recordset rows = connection.open(
        QStringLiteral("SELECT * FROM EVENT_TYPES WHERE EVENT_TYPE_ID = ") + QString::number(eventType));
    return rows.field(QStringLiteral("NAME")).toString();
}

} // namespace Driver
