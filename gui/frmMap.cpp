#include "gui/frmMap.h"

#include "core/Driver.h"
#include "gps/Receiver.h"
#include "gui/map/MapProjection.h"
#include "platform/DbConnection.h"
#include "platform/DbRecordset.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

namespace
{
// The map's own settings, rows of CONFIGURATION like every other; made on
// first use, so an application database of an older layout needs nothing.
const QString kBasemapKey = QStringLiteral("MAP_BASEMAP"); // a path, "" for the Maps folder's first, "(none)"
const QString kViewKey = QStringLiteral("MAP_VIEW"); // "latitude longitude zoom"
const QString kWindowKey = QStringLiteral("MAP_WINDOW"); // "width height"
const QString kNoBasemap = QStringLiteral("(none)");

QString mapSetting(const QString& name)
{
    try {
        db::Connection connection(Driver::applicationConnectionString(), db::Connection::Mode::ReadOnly);
        db::Recordset rows
            = connection.open(QStringLiteral("SELECT PARAMETER_VALUE FROM CONFIGURATION WHERE PARAMETER_NAME = ?"),
                {db::Value::text(name)});
        return rows.eof() ? QString() : rows.field(0).toString();
    } catch (const ZeptaError&) {
        return {};
    }
}

void keepMapSetting(const QString& name, const QString& value)
{
    try {
        db::Connection connection(Driver::applicationConnectionString());
        if (connection.execute(QStringLiteral("UPDATE CONFIGURATION SET PARAMETER_VALUE = ? WHERE PARAMETER_NAME = ?"),
                {db::Value::text(value), db::Value::text(name)})
            == 0)
            connection.execute(
                QStringLiteral("INSERT INTO CONFIGURATION (PARAMETER_NAME, PARAMETER_VALUE) VALUES (?, ?)"),
                {db::Value::text(name), db::Value::text(value)});
    } catch (const ZeptaError& error) {
        // The map works on; it opens where it is told next time.
        qWarning("The map's setting %s was not kept: %s", qUtf8Printable(name), qUtf8Printable(error.message()));
    }
}

QString mapsFolder() { return Driver::dataFolder() + QStringLiteral("/Maps"); }

} // namespace

frmMap::frmMap()
{
    setObjectName(QStringLiteral("frmMap"));
    setWindowTitle(QStringLiteral("Zepta - Map"));
    setWindowFlag(Qt::Window);
    buildLayout();
    loadTypes();
    connect(&mTiles, &basemap::TileCache::problem, this, &frmMap::basemapProblem);
    connect(&mTiles, &basemap::TileCache::sourceLost, this, [this] { fillBasemapChoices(kNoBasemap); });
    RefreshTimer.setInterval(kRefreshMs);
    connect(&RefreshTimer, &QTimer::timeout, this, &frmMap::Refresh_Events);

    const QStringList size = mapSetting(kWindowKey).split(QLatin1Char(' '));
    const int width = size.value(0).toInt();
    const int height = size.value(1).toInt();
    resize(width >= 300 && height >= 200 ? QSize(width, height) : QSize(1000, 640));

    // The basemap kept, else the Maps folder's first.
    const QString kept = mapSetting(kBasemapKey);
    QString path = kept;
    if (kept.isEmpty())
        path = Basemaps_In_Folder().value(0);
    else if (kept == kNoBasemap)
        path.clear();
    if (!path.isEmpty() && !Open_Basemap(path))
        path.clear();
    fillBasemapChoices(path.isEmpty() ? kNoBasemap : path);
    Show_Today();
}

frmMap::~frmMap() = default;

void frmMap::buildLayout()
{
    mapCanvas = new mapview::MapCanvas(mTiles, mEvents);
    mList = new mapview::MapEventList(mEvents, this);

    cmbBasemap = new QComboBox;
    cmbBasemap->setObjectName(QStringLiteral("cmbBasemap"));
    cmbBasemap->setMinimumContentsLength(18);
    btnOpenBasemap = new QPushButton(QStringLiteral("Open &Basemap..."));
    btnOpenBasemap->setObjectName(QStringLiteral("btnOpenBasemap"));
    btnZoomAll = new QPushButton(QStringLiteral("Zoom to &All"));
    btnZoomAll->setObjectName(QStringLiteral("btnZoomAll"));
    btnZoomAll->setToolTip(QStringLiteral("Home"));
    btnZoomMe = new QPushButton(QStringLiteral("Zoom to &Me"));
    btnZoomMe->setObjectName(QStringLiteral("btnZoomMe"));
    chkFollow = new QCheckBox(QStringLiteral("F&ollow"));
    chkFollow->setObjectName(QStringLiteral("chkFollow"));
    for (QWidget* control : std::initializer_list<QWidget*> {btnOpenBasemap, btnZoomAll, btnZoomMe, chkFollow})
        control->setFocusPolicy(Qt::TabFocus);
    connect(cmbBasemap, qOverload<int>(&QComboBox::activated), this, [this](int) {
        const QString path = cmbBasemap->currentData().toString();
        if (!Open_Basemap(path))
            fillBasemapChoices(kNoBasemap);
    });
    connect(btnOpenBasemap, &QPushButton::clicked, this, &frmMap::btnOpenBasemap_Click);
    connect(btnZoomAll, &QPushButton::clicked, mapCanvas, &mapview::MapCanvas::zoomToAll);
    connect(btnZoomMe, &QPushButton::clicked, mapCanvas, &mapview::MapCanvas::zoomToMe);
    connect(chkFollow, &QCheckBox::toggled, mapCanvas, &mapview::MapCanvas::setFollow);
    connect(mapCanvas, &mapview::MapCanvas::followChanged, chkFollow, &QCheckBox::setChecked);
    connect(mapCanvas, &mapview::MapCanvas::eventsClicked, this, &frmMap::Show_Event_Details);
    connect(mapCanvas, &mapview::MapCanvas::activated, this, [this](int index) {
        const QPointF at = mapCanvas->toScreen(mEvents.events()[index].x, mEvents.events()[index].y);
        Show_Event_Details(mapCanvas->eventsAt(at), at.toPoint());
    });
    connect(mapCanvas, &mapview::MapCanvas::viewChanged, this, [this] { lblInfo->hide(); });

    auto* tools = new QHBoxLayout;
    tools->addWidget(new QLabel(QStringLiteral("Basemap:")));
    tools->addWidget(cmbBasemap, 1);
    tools->addWidget(btnOpenBasemap);
    tools->addSpacing(12);
    tools->addWidget(btnZoomAll);
    tools->addWidget(btnZoomMe);
    tools->addWidget(chkFollow);

    cmbType = new QComboBox;
    cmbType->setObjectName(QStringLiteral("cmbType"));
    btnToday = new QToolButton;
    btnToday->setObjectName(QStringLiteral("btnToday"));
    btnToday->setText(QStringLiteral("&Today"));
    btnToday->setCheckable(true);
    btnAllDates = new QToolButton;
    btnAllDates->setObjectName(QStringLiteral("btnAllDates"));
    btnAllDates->setText(QStringLiteral("A&ll"));
    btnAllDates->setCheckable(true);
    dtFrom = new QDateEdit;
    dtFrom->setObjectName(QStringLiteral("dtFrom"));
    dtTo = new QDateEdit;
    dtTo->setObjectName(QStringLiteral("dtTo"));
    for (QDateEdit* date : {dtFrom, dtTo}) {
        date->setCalendarPopup(true);
        date->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        connect(date, &QDateEdit::dateChanged, this, [this] {
            mAllDates = false;
            Apply_Filter();
        });
    }
    connect(cmbType, qOverload<int>(&QComboBox::activated), this, &frmMap::Apply_Filter);
    connect(btnToday, &QToolButton::clicked, this, &frmMap::Show_Today);
    connect(btnAllDates, &QToolButton::clicked, this, &frmMap::Show_All_Dates);

    lblCount = new QLabel;
    lblCount->setObjectName(QStringLiteral("lblCount"));
    lstEvents = new QTableView;
    lstEvents->setObjectName(QStringLiteral("lstEvents"));
    lstEvents->setModel(mList);
    lstEvents->setSelectionBehavior(QAbstractItemView::SelectRows);
    lstEvents->setSelectionMode(QAbstractItemView::SingleSelection);
    lstEvents->setSortingEnabled(true);
    lstEvents->horizontalHeader()->setSortIndicator(mapview::MapEventList::TimeColumn, Qt::DescendingOrder);
    lstEvents->horizontalHeader()->setStretchLastSection(true);
    lstEvents->verticalHeader()->hide();
    lstEvents->verticalHeader()->setDefaultSectionSize(lstEvents->fontMetrics().height() + 6);
    lstEvents->setWordWrap(false);
    lstEvents->horizontalHeader()->resizeSection(mapview::MapEventList::TimeColumn,
        lstEvents->fontMetrics().horizontalAdvance(QStringLiteral("8888-88-88 88:88:88")) + 16);
    connect(lstEvents->selectionModel(), &QItemSelectionModel::currentRowChanged, this, &frmMap::lstEvents_RowChanged);
    btnExport = new QPushButton(QStringLiteral("&Export..."));
    btnExport->setObjectName(QStringLiteral("btnExport"));
    connect(btnExport, &QPushButton::clicked, this, &frmMap::btnExport_Click);

    auto* filter = new QHBoxLayout;
    filter->addWidget(cmbType, 1);
    filter->addWidget(btnToday);
    filter->addWidget(btnAllDates);
    auto* dates = new QHBoxLayout;
    dates->addWidget(new QLabel(QStringLiteral("From")));
    dates->addWidget(dtFrom, 1);
    dates->addWidget(new QLabel(QStringLiteral("to")));
    dates->addWidget(dtTo, 1);
    auto* listPane = new QWidget;
    auto* listLayout = new QVBoxLayout(listPane);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->addLayout(filter);
    listLayout->addLayout(dates);
    listLayout->addWidget(lstEvents, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(lblCount, 1);
    bottom->addWidget(btnExport);
    listLayout->addLayout(bottom);

    lblInfo = new QLabel(mapCanvas);
    lblInfo->setObjectName(QStringLiteral("lblInfo"));
    lblInfo->setTextFormat(Qt::RichText);
    lblInfo->setWordWrap(true);
    lblInfo->setAutoFillBackground(true);
    lblInfo->setFrameShape(QFrame::Box);
    lblInfo->setMargin(6);
    lblInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblInfo->setFixedWidth(300);
    lblInfo->hide();

    auto* splitter = new QSplitter;
    splitter->setObjectName(QStringLiteral("splitter"));
    splitter->addWidget(mapCanvas);
    splitter->addWidget(listPane);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({700, 300});
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(tools);
    layout->addWidget(splitter, 1);
    setTabOrder(mapCanvas, lstEvents);
}

void frmMap::loadTypes()
{
    QHash<int, QString> names;
    QHash<int, QImage> icons;
    const QDir iconFolder(Driver::shareFolder() + QStringLiteral("/Icons"));
    const QImage fallback(iconFolder.filePath(QStringLiteral("not_found.ico")));
    cmbType->clear();
    cmbType->addItem(QStringLiteral("All types"), 0);
    try {
        db::Connection connection(Driver::applicationConnectionString(), db::Connection::Mode::ReadOnly);
        for (db::Recordset rows = connection.open(QStringLiteral("SELECT EVENT_TYPE_ID, NAME, ICON FROM EVENT_TYPES "
                                                                 "ORDER BY NAME"));
             !rows.eof(); rows.moveNext()) {
            const int id = rows.field(0).toInt32();
            names.insert(id, rows.field(1).toString());
            const QImage icon(iconFolder.filePath(rows.field(2).toString()));
            icons.insert(id, icon.isNull() ? fallback : icon);
            cmbType->addItem(rows.field(1).toString(), id);
        }
    } catch (const ZeptaError& error) {
        // Types then show by number, with the plain marker.
        qWarning("The map reads no event types: %s", qUtf8Printable(error.message()));
    }
    mList->setTypeNames(names);
    mapCanvas->setIcons(icons);
}

QStringList frmMap::Basemaps_In_Folder()
{
    const QDir folder(mapsFolder());
    QStringList paths;
    for (const QString& name : folder.entryList(
             {QStringLiteral("*.mbtiles"), QStringLiteral("*.gpkg")}, QDir::Files | QDir::Readable, QDir::Name))
        paths << folder.filePath(name);
    return paths;
}

void frmMap::fillBasemapChoices(const QString& current)
{
    cmbBasemap->clear();
    cmbBasemap->addItem(QStringLiteral("No basemap"), kNoBasemap);
    QStringList paths = Basemaps_In_Folder();
    if (current != kNoBasemap && !current.isEmpty() && !paths.contains(current))
        paths << current;
    for (const QString& path : paths)
        cmbBasemap->addItem(QFileInfo(path).fileName(), path);
    cmbBasemap->setCurrentIndex(std::max(0, cmbBasemap->findData(current)));
    cmbBasemap->setToolTip(current == kNoBasemap ? QString() : current);
}

bool frmMap::Open_Basemap(const QString& path)
{
    const bool none = path.isEmpty() || path == kNoBasemap;
    try {
        mTiles.setSource(none ? QString() : path);
    } catch (const basemap::BasemapError& error) {
        basemapProblem(QStringLiteral("The basemap %1 cannot be used: %2.").arg(path, error.reason));
        mapCanvas->update();
        return false;
    }
    keepMapSetting(kBasemapKey, none ? kNoBasemap : path);
    fillBasemapChoices(none ? kNoBasemap : path);
    mapCanvas->update();
    return true;
}

void frmMap::btnOpenBasemap_Click()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open Basemap"), mapsFolder(),
        QStringLiteral("Basemaps (*.mbtiles *.gpkg);;All files (*)"));
    if (!path.isEmpty())
        Open_Basemap(path);
}

void frmMap::basemapProblem(const QString& message)
{
    if (mTold.contains(message))
        return;
    mTold << message;
    Msg_Box(MessageKind::Exclamation, QStringLiteral("Basemap Not Usable"), message);
}

void frmMap::Show_Map(gps::Receiver* receiver)
{
    if (receiver != mReceiver) {
        if (mReceiver)
            disconnect(mReceiver, nullptr, this, nullptr);
        mReceiver = receiver;
        if (receiver) {
            connect(receiver, &gps::Receiver::NewReading, this, &frmMap::mGPS_NewReading);
            connect(receiver, &gps::Receiver::Unlocked, this, &frmMap::mGPS_Lost);
            connect(receiver, &gps::Receiver::NoData, this, &frmMap::mGPS_Lost);
            if (receiver->ValidReading())
                mGPS_NewReading(receiver->CurrentReading());
        }
    }
    Refresh_Events();
    RefreshTimer.start();
    show();
    raise();
    activateWindow();
    if (!mViewRestored)
        restoreView();
}

void frmMap::mGPS_NewReading(const gps::Reading& Position)
{
    if (!mapmath::onTheEarth(Position.latitude, Position.longitude))
        return;
    mapview::LivePosition live;
    live.known = true;
    live.lost = !Position.locked;
    live.latitude = Position.latitude;
    live.longitude = Position.longitude;
    live.accuracy = Position.accuracy.value_or(-1);
    mapCanvas->setLive(live);
}

void frmMap::mGPS_Lost()
{
    mapview::LivePosition live = mapCanvas->live();
    live.lost = true;
    mapCanvas->setLive(live);
}

// The view kept from the last time, else every event listed.
void frmMap::restoreView()
{
    mViewRestored = true;
    const QStringList view = mapSetting(kViewKey).split(QLatin1Char(' '));
    bool ok[3] = {false, false, false};
    const double latitude = view.value(0).toDouble(&ok[0]);
    const double longitude = view.value(1).toDouble(&ok[1]);
    const double zoom = view.value(2).toDouble(&ok[2]);
    if (ok[0] && ok[1] && ok[2] && mapmath::onTheEarth(latitude, longitude))
        mapCanvas->setView(QPointF(mapmath::worldX(longitude), mapmath::worldY(latitude)), zoom);
    else
        mapCanvas->zoomToAll();
}

void frmMap::keepView()
{
    const QPointF centre = mapCanvas->centre();
    keepMapSetting(kViewKey,
        QStringLiteral("%1 %2 %3")
            .arg(mapmath::latitudeOf(centre.y()), 0, 'f', 7)
            .arg(mapmath::longitudeOf(centre.x()), 0, 'f', 7)
            .arg(mapCanvas->zoom(), 0, 'f', 2));
    keepMapSetting(kWindowKey, QStringLiteral("%1 %2").arg(width()).arg(height()));
}

void frmMap::closeEvent(QCloseEvent* event)
{
    event->accept();
    hide();
}

void frmMap::hideEvent(QHideEvent* event)
{
    RefreshTimer.stop();
    if (mViewRestored)
        keepView();
    QWidget::hideEvent(event);
}

void frmMap::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && lblInfo->isVisible()) {
        lblInfo->hide();
        return;
    }
    if (event->key() == Qt::Key_Home) {
        mapCanvas->zoomToAll();
        return;
    }
    QWidget::keyPressEvent(event);
}
