#include "gui/frmMap.h"

#include "core/Driver.h"
#include "gps/FixKind.h"
#include "platform/UserInterface.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QLabel>
#include <QLocale>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QTableView>
#include <QToolButton>

namespace
{
QString number(double value, int decimals)
{
    return value < 0 ? QStringLiteral("not stored") : QString::number(value, 'f', decimals);
}
} // namespace

void frmMap::Refresh_Events()
{
    if (!mEvents.refresh())
        return;
    mapCanvas->eventsChanged();
    Apply_Filter();
}

void frmMap::Show_Today()
{
    mAllDates = false;
    const QSignalBlocker fromBlocked(dtFrom);
    const QSignalBlocker toBlocked(dtTo);
    dtFrom->setDate(QDate::currentDate());
    dtTo->setDate(QDate::currentDate());
    Apply_Filter();
}

void frmMap::Show_All_Dates()
{
    mAllDates = true;
    Apply_Filter();
}

// The list and the map show the same events: those of the chosen type within
// the chosen days (local dates), or of every day.
void frmMap::Apply_Filter()
{
    const int type = cmbType->currentData().toInt();
    qint64 from = std::numeric_limits<qint64>::min();
    qint64 to = std::numeric_limits<qint64>::max();
    if (!mAllDates) {
        from = dtFrom->date().startOfDay().toMSecsSinceEpoch();
        to = dtTo->date().addDays(1).startOfDay().toMSecsSinceEpoch();
    }
    btnToday->setChecked(!mAllDates && dtFrom->date() == QDate::currentDate() && dtTo->date() == QDate::currentDate());
    btnAllDates->setChecked(mAllDates);

    const auto& events = mEvents.events();
    std::vector<char> shown(events.size(), 0);
    std::vector<int> rows;
    int offMap = 0;
    for (int i = 0; i < static_cast<int>(events.size()); ++i) {
        const mapview::MapEvent& event = events[i];
        const qint64 at = event.gmt.isValid() ? event.gmt.toMSecsSinceEpoch() : 0;
        if ((type != 0 && event.typeId != type) || at < from || at >= to)
            continue;
        shown[i] = 1;
        rows.push_back(i);
        offMap += event.drawable ? 0 : 1;
    }
    const int selected = mapCanvas->selected();
    mList->setRows(rows);
    mapCanvas->setShown(std::move(shown));
    QString count = QStringLiteral("%1 of %2 events").arg(rows.size()).arg(events.size());
    if (offMap > 0)
        count += QStringLiteral("; %1 not on the map (position out of range)").arg(offMap);
    if (!mEvents.error().isEmpty())
        count += QStringLiteral("; not read: ") + mEvents.error();
    lblCount->setText(count);
    if (selected >= 0 && mList->rowOf(selected) >= 0) {
        const QSignalBlocker blocked(lstEvents->selectionModel());
        lstEvents->selectRow(mList->rowOf(selected));
    } else {
        mapCanvas->setSelected(-1);
    }
}

void frmMap::lstEvents_RowChanged()
{
    const int row = lstEvents->selectionModel()->currentIndex().row();
    if (row < 0 || row >= static_cast<int>(mList->rows().size()))
        return;
    const int index = mList->rows()[row];
    mapCanvas->setSelected(index);
    mapCanvas->centreOn(index);
}

QString frmMap::Event_Details(const std::vector<int>& indices) const
{
    constexpr int kMost = 20;
    const QLocale locale;
    QStringList parts;
    for (std::size_t i = 0; i < indices.size() && i < kMost; ++i) {
        const mapview::MapEvent& event = mEvents.events()[indices[i]];
        QString part = QStringLiteral("<b>%1</b>").arg(mList->typeName(event.typeId).toHtmlEscaped());
        if (event.origin != mapview::MapEvent::Origin::Saved)
            part += QStringLiteral(" (%1)").arg(mapview::MapEventList::stateName(event.origin));
        part += QStringLiteral("<br>%1 UTC, %2 local")
                    .arg(event.gmt.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                        event.gmt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
        if (!event.notes.isEmpty())
            part += QStringLiteral("<br>Notes: ")
                + event.notes.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>"));
        part += QStringLiteral("<br>Fix: %1, satellites %2, HDOP %3")
                    .arg(gps::fixKindName(event.fixQuality),
                        event.satellites < 0 ? QStringLiteral("not stored") : QString::number(event.satellites),
                        number(event.hdop, 1));
        part += QStringLiteral("<br>Accuracy: %1, samples %2")
                    .arg(event.accuracy < 0 ? QStringLiteral("not stored")
                                            : QStringLiteral("±%1 m").arg(event.accuracy, 0, 'f', 1),
                        event.samples < 0 ? QStringLiteral("not stored") : QString::number(event.samples));
        part += QStringLiteral("<br>Crew: ") + event.crew.toHtmlEscaped();
        parts << part;
    }
    if (indices.size() > kMost)
        parts << QStringLiteral("and %1 more here").arg(indices.size() - kMost);
    return parts.join(QStringLiteral("<hr>"));
}

void frmMap::Show_Event_Details(const std::vector<int>& indices, const QPoint& at)
{
    mInfoShown = indices;
    if (indices.empty()) {
        lblInfo->hide();
        return;
    }
    if (const int row = mList->rowOf(indices.front()); row >= 0) {
        const QSignalBlocker blocked(lstEvents->selectionModel());
        lstEvents->selectRow(row);
    }
    lblInfo->setText(Event_Details(indices));
    lblInfo->adjustSize();
    // Beside the point, inside the map.
    QPoint place = at + QPoint(16, 16);
    place.setX(std::clamp(place.x(), 0, std::max(0, mapCanvas->width() - lblInfo->width())));
    place.setY(std::clamp(place.y(), 0, std::max(0, mapCanvas->height() - lblInfo->height())));
    lblInfo->move(place);
    lblInfo->show();
    lblInfo->raise();
}

// The events listed, through the formats of Save Data. Only events of the
// event database can be written: the outbox's are the listener's.
void frmMap::btnExport_Click()
{
    std::vector<std::int64_t> ids;
    for (const int index : mList->rows())
        if (mEvents.events()[index].origin == mapview::MapEvent::Origin::Saved)
            ids.push_back(mEvents.events()[index].id);
    std::optional<SaveDialogChoice> chosen;
    try {
        SaveDialogRequest request;
        request.title = QStringLiteral("Export Listed Events");
        request.fileTypes = Driver::exportFileTypes();
        request.fileType = Driver::exportFileType(Driver::ExportFormat::Text);
        QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        request.fileName = QDir(folder.isEmpty() ? QDir::homePath() : folder).filePath(QStringLiteral("zepta-map.txt"));
        chosen = Show_Save_Dialog(request);
    } catch (const std::exception&) {
        return;
    }
    if (!chosen)
        return;
    std::sort(ids.begin(), ids.end());
    Driver::Export_Events_To_File(chosen->fileName, Driver::exportFormatFor(chosen->fileName, chosen->fileType), &ids);
}
