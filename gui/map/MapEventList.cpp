#include "gui/map/MapEventList.h"

#include <algorithm>

namespace mapview
{

namespace
{
// The first words of a note, on one line.
QString firstWords(const QString& notes)
{
    QString line = notes.simplified();
    constexpr int kMost = 48;
    if (line.size() <= kMost)
        return line;
    const int cut = line.lastIndexOf(QLatin1Char(' '), kMost);
    return line.left(cut > kMost / 2 ? cut : kMost) + QStringLiteral("…");
}
} // namespace

MapEventList::MapEventList(const MapEventSet& events, QObject* parent)
    : QAbstractTableModel(parent)
    , mEvents(events)
{
}

QString MapEventList::typeName(int typeId) const
{
    const auto name = mTypeNames.constFind(typeId);
    return name != mTypeNames.constEnd() ? *name : QString::number(typeId);
}

QString MapEventList::stateName(MapEvent::Origin origin)
{
    switch (origin) {
    case MapEvent::Origin::Waiting:
        return QStringLiteral("waiting");
    case MapEvent::Origin::Attention:
        return QStringLiteral("needs attention");
    case MapEvent::Origin::Sent:
        return QStringLiteral("sent");
    case MapEvent::Origin::Saved:
        break;
    }
    return QStringLiteral("saved");
}

void MapEventList::setRows(std::vector<int> rows)
{
    beginResetModel();
    mRows = std::move(rows);
    sortRows();
    endResetModel();
}

int MapEventList::rowOf(int index) const
{
    const auto found = std::find(mRows.begin(), mRows.end(), index);
    return found == mRows.end() ? -1 : int(found - mRows.begin());
}

int MapEventList::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(mRows.size()); }

int MapEventList::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant MapEventList::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(mRows.size()))
        return {};
    const MapEvent& event = mEvents.events()[mRows[index.row()]];
    if (role == Qt::ToolTipRole && !event.drawable)
        return QStringLiteral("Not on the map: its position is out of range (%1, %2)")
            .arg(event.latitude)
            .arg(event.longitude);
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case TimeColumn:
        return event.gmt.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    case TypeColumn:
        return typeName(event.typeId);
    case NotesColumn:
        return firstWords(event.notes);
    case StateColumn:
        return event.drawable ? stateName(event.origin) : stateName(event.origin) + QStringLiteral(", not on the map");
    default:
        return {};
    }
}

QVariant MapEventList::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const titles[] = {"Time (GMT)", "Type", "Notes", "State"};
    return section >= 0 && section < ColumnCount ? QLatin1String(titles[section]) : QVariant();
}

void MapEventList::sort(int column, Qt::SortOrder order)
{
    emit layoutAboutToBeChanged();
    mSortColumn = column;
    mSortOrder = order;
    sortRows();
    emit layoutChanged();
}

void MapEventList::sortRows()
{
    const auto& events = mEvents.events();
    auto less = [&](int a, int b) {
        const MapEvent& x = events[a];
        const MapEvent& y = events[b];
        switch (mSortColumn) {
        case TypeColumn: {
            const int by = QString::compare(typeName(x.typeId), typeName(y.typeId), Qt::CaseInsensitive);
            if (by != 0)
                return by < 0;
            break;
        }
        case NotesColumn: {
            const int by = QString::compare(x.notes, y.notes, Qt::CaseInsensitive);
            if (by != 0)
                return by < 0;
            break;
        }
        case StateColumn:
            if (x.origin != y.origin)
                return x.origin < y.origin;
            break;
        default:
            break;
        }
        return x.gmt != y.gmt ? x.gmt < y.gmt : a < b;
    };
    if (mSortOrder == Qt::AscendingOrder)
        std::stable_sort(mRows.begin(), mRows.end(), less);
    else
        std::stable_sort(mRows.begin(), mRows.end(), [&](int a, int b) { return less(b, a); });
}

} // namespace mapview
