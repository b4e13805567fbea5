#pragma once

// The list beside the map: the events the filter lets through, one row each
// with time, type, the first words of the notes and the state, sortable by
// any column.

#include "gui/map/MapEvents.h"

#include <QAbstractTableModel>
#include <QHash>

#include <vector>

namespace mapview
{

class MapEventList : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { TimeColumn, TypeColumn, NotesColumn, StateColumn, ColumnCount };

    MapEventList(const MapEventSet& events, QObject* parent = nullptr);

    void setTypeNames(QHash<int, QString> names) { mTypeNames = std::move(names); }
    QString typeName(int typeId) const;
    // Shows these events (indices into the set), in the current sort order.
    void setRows(std::vector<int> rows);
    const std::vector<int>& rows() const { return mRows; }
    int rowOf(int index) const; // -1 when not listed

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void sort(int column, Qt::SortOrder order) override;

    static QString stateName(MapEvent::Origin origin);

private:
    void sortRows();

    const MapEventSet& mEvents;
    QHash<int, QString> mTypeNames;
    std::vector<int> mRows;
    int mSortColumn = TimeColumn;
    Qt::SortOrder mSortOrder = Qt::DescendingOrder; // newest first
};

} // namespace mapview
