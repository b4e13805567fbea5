#pragma once

// The map window "Zepta - Map": the crew's saved events (and, in XML mode,
// those of the outbox, marked waiting or sent) over an offline basemap, the
// tracking runs as lines, the live position, and a list of the events beside
// it with a filter by type and date and an export of what it lists. Not
// modal; it only reads the event database and the outbox, and picks up new
// events within a second. Its parts:
//   frmMap.cpp       layout, basemap choice, live position, the kept settings
//   frmMap_List.cpp  the list, its filter and export, the event details

#include "gps/Reading.h"
#include "gui/map/MapCanvas.h"
#include "gui/map/MapEventList.h"
#include "gui/map/MapEvents.h"
#include "gui/map/TileCache.h"
#include "platform/SharedWindow.h"

#include <QDate>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QPushButton;
class QTableView;
class QToolButton;

namespace gps
{
class Receiver;
}

class frmMap : public QWidget, public SharedWindow<frmMap>
{
    Q_OBJECT
public:
    // How often the event database and the outbox are looked at for changes.
    static constexpr int kRefreshMs = 500;

    frmMap();
    ~frmMap() override;

    // Shows the window, following the receiver's position (when given).
    void Show_Map(gps::Receiver* receiver);

    // ---- basemap (frmMap.cpp)
    // The basemap files of the Maps folder, in name order.
    static QStringList Basemaps_In_Folder();
    // Draws this file (an empty path: none) and keeps the choice as a setting;
    // false, after saying why, when it cannot be used.
    bool Open_Basemap(const QString& path);
    void btnOpenBasemap_Click();

    // ---- live position (frmMap.cpp)
    void mGPS_NewReading(const gps::Reading& Position);
    void mGPS_Lost();

    // ---- list, filter, details, export (frmMap_List.cpp)
    // Reads what changed in the files and shows it.
    void Refresh_Events();
    void Apply_Filter();
    void Show_Today();
    void Show_All_Dates();
    void lstEvents_RowChanged();
    void Show_Event_Details(const std::vector<int>& indices, const QPoint& at);
    QString Event_Details(const std::vector<int>& indices) const;
    void btnExport_Click();

    // ---- parts
    basemap::TileCache mTiles;
    mapview::MapEventSet mEvents;
    mapview::MapCanvas* mapCanvas = nullptr;
    mapview::MapEventList* mList = nullptr;

    QComboBox* cmbBasemap = nullptr;
    QPushButton* btnOpenBasemap = nullptr;
    QPushButton* btnZoomAll = nullptr;
    QPushButton* btnZoomMe = nullptr;
    QCheckBox* chkFollow = nullptr;
    QComboBox* cmbType = nullptr;
    QToolButton* btnToday = nullptr;
    QToolButton* btnAllDates = nullptr;
    QDateEdit* dtFrom = nullptr;
    QDateEdit* dtTo = nullptr;
    QLabel* lblCount = nullptr;
    QTableView* lstEvents = nullptr;
    QPushButton* btnExport = nullptr;
    QLabel* lblInfo = nullptr; // the details of the events clicked, over the map
    QTimer RefreshTimer;

protected:
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildLayout();
    void fillBasemapChoices(const QString& current);
    void loadTypes();
    void restoreView();
    void keepView();
    void basemapProblem(const QString& message);

    QPointer<gps::Receiver> mReceiver;
    bool mAllDates = false;
    bool mViewRestored = false;
    QStringList mTold; // each message once per run
    std::vector<int> mInfoShown;
};
