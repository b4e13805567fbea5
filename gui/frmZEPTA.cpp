#include "gui/frmZEPTA.h"

#include "gps/Component.h"
#include "gui/Branding.h"
#include "gui/EventIcon.h"
#include "platform/TextLimits.h"
#include "platform/Twips.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>

#include <algorithm>
#include <memory>
#include <utility>

namespace
{
QFont arial(double points, bool bold = false)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

constexpr int kNotesMaxLength = 255;

// Asks for the input focus when the window is first shown, so the first icon
// takes it (and is chosen) also where no window manager hands it over.
class ActivateWhenFirstShown : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show) {
            static_cast<QWidget*>(watched)->activateWindow();
            watched->removeEventFilter(this);
            deleteLater();
        }
        return false;
    }
};

// The menu shortcuts work wherever the focus is: a text box would otherwise
// take Ctrl+X and Ctrl+A as cut and select-all. Cut, copy, paste and select
// all stay on its context menu and on Shift+Del, Ctrl+Ins and Shift+Ins.
class MenuShortcutsFirst : public QObject
{
public:
    MenuShortcutsFirst(QList<QAction*> actions, QObject* parent)
        : QObject(parent)
        , mActions(std::move(actions))
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::ShortcutOverride)
            return QObject::eventFilter(watched, event);
        const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
        for (const QAction* action : mActions)
            if (action->shortcut() == pressed)
                return true; // not accepted: the shortcut goes to the menu
        return false;
    }

private:
    QList<QAction*> mActions;
};

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, const QRect& place, const QFont& font,
    Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignTop)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(place);
    label->setFont(font);
    label->setAlignment(alignment);
    return label;
}
} // namespace

frmZEPTA::frmZEPTA()
{
    setObjectName(QStringLiteral("frmZEPTA"));
    setWindowTitle(QStringLiteral("Zepta"));
    setWindowIcon(branding::applicationIcon());
    buildLayout();
    buildMenus();
    // The client area is 6795 x 6690 twips, with the menu bar above it.
    resize(twips::size(6795, 6690) + QSize(0, menuBar()->sizeHint().height()));
    Form_Load();
}

frmZEPTA::~frmZEPTA() = default;

void frmZEPTA::buildLayout()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    // Controls keep fixed places: resizing the window moves none of them.
    client->setMinimumSize(twips::size(6795, 6690));
    client->setBackgroundRole(QPalette::Base); // the system window colour
    client->setAutoFillBackground(true);
    setCentralWidget(client);

    Title = makeLabel(client, "Title", QStringLiteral("Zepta"), twips::rect(120, 120, 6495, 495), arial(20.25, true));

    Position = new QGroupBox(QStringLiteral("GPS Information"), client);
    Position->setObjectName(QStringLiteral("Position"));
    Position->setGeometry(twips::rect(120, 1080, 6615, 975));
    Position->setFont(arial(9.75));
    const QFont regular = arial(9.75);
    const QFont bold = arial(9.75, true);
    const auto right = Qt::AlignRight | Qt::AlignVCenter;
    const auto left = Qt::AlignLeft | Qt::AlignVCenter;
    lblLat
        = makeLabel(Position, "lblLat", QStringLiteral("Latitude:"), twips::rect(120, 360, 975, 255), regular, right);
    txtLatitude
        = makeLabel(Position, "txtLatitude", QStringLiteral("Unknown"), twips::rect(1200, 360, 1815, 255), bold, left);
    lblLon
        = makeLabel(Position, "lblLon", QStringLiteral("Longitude:"), twips::rect(120, 600, 975, 255), regular, right);
    txtLongitude
        = makeLabel(Position, "txtLongitude", QStringLiteral("Unknown"), twips::rect(1200, 600, 1815, 255), bold, left);
    lblGMT = makeLabel(Position, "lblGMT", QStringLiteral("GMT:"), twips::rect(2760, 360, 855, 255), regular, right);
    txtGMT = makeLabel(Position, "txtGMT", QStringLiteral("Unknown"), twips::rect(3720, 360, 2640, 255), bold, left);
    lblHeading = makeLabel(
        Position, "lblHeading", QStringLiteral("Heading:"), twips::rect(2760, 600, 855, 255), regular, right);
    txtHeading
        = makeLabel(Position, "txtHeading", QStringLiteral("Unknown"), twips::rect(3720, 600, 1455, 255), bold, left);

    label_Event_Category = makeLabel(client, "label_Event_Category", QStringLiteral("Event Category"),
        twips::rect(960, 2280, 4455, 375), arial(15), Qt::AlignHCenter | Qt::AlignTop);
    lblEventType
        = makeLabel(client, "lblEventType", QStringLiteral("Events:"), twips::rect(120, 2640, 855, 255), arial(9.75));

    const auto opening = std::make_shared<bool>(true);
    for (int i = 0; i < 8; ++i) {
        auto* icon = new EventIcon(static_cast<std::int16_t>(i), client);
        icon->setGeometry(twips::rect(120 + 840 * i, 3000, 615, 615));
        connect(icon, &EventIcon::gotFocus, this, &frmZEPTA::Event_Icon_GotFocus);
        // Focus that only comes back with the window does not choose: a choice
        // cleared by a save or a palette load stays cleared. The exception is
        // the window's opening, when the first icon takes the focus and is chosen.
        connect(icon, &EventIcon::focusOnActivation, this, [this, opening](std::int16_t index) {
            if (std::exchange(*opening, false))
                Event_Icon_GotFocus(index);
        });
        Event_Icon[i] = icon;
        auto* caption = makeLabel(client, "Event_Label", QStringLiteral("Event Label"),
            twips::rect(840 * i, 3600, 855, 495), arial(8.25), Qt::AlignHCenter | Qt::AlignTop);
        caption->setObjectName(QStringLiteral("Event_Label_%1").arg(i));
        caption->setWordWrap(true);
        Event_Label[i] = caption;
    }

    lblNotes = makeLabel(client, "lblNotes", QStringLiteral("Notes:"), twips::rect(120, 4320, 1095, 255), arial(9.75));
    Notes = new QPlainTextEdit(client);
    Notes->setObjectName(QStringLiteral("Notes"));
    Notes->setGeometry(twips::rect(240, 4680, 6255, 1095));
    Notes->setTabChangesFocus(true);
    limitPlainTextLength(Notes, kNotesMaxLength);

    auto makeButton = [client](const char* name, const QString& caption, const QRect& place, bool arialFont) {
        auto* button = new QPushButton(caption, client);
        button->setObjectName(QLatin1String(name));
        button->setGeometry(place);
        if (arialFont)
            button->setFont(arial(9.75));
        button->setAutoDefault(false);
        return button;
    };
    btnSave = makeButton("btnSave", QStringLiteral("&Save Event"), twips::rect(720, 6120, 1335, 375), true);
    btnAuto = makeButton("btnAuto", QStringLiteral("&Track Me"), twips::rect(3720, 6120, 1335, 375), true);
    btnStopAuto = makeButton("btnStopAuto", QStringLiteral("Stop Track"), twips::rect(3720, 6120, 1335, 375), false);
    btnStopAuto->setVisible(false);
    buildQualityIndicator();
    connect(btnSave, &QPushButton::clicked, this, &frmZEPTA::btnSave_Click);
    connect(btnAuto, &QPushButton::clicked, this, &frmZEPTA::btnAuto_Click);
    connect(btnStopAuto, &QPushButton::clicked, this, &frmZEPTA::btnStopAuto_Click);

    // Tab order: the eight icons, the notes box, the buttons.
    QWidget* previous = Event_Icon[0];
    for (QWidget* next : std::initializer_list<QWidget*> {Event_Icon[1], Event_Icon[2], Event_Icon[3], Event_Icon[4],
             Event_Icon[5], Event_Icon[6], Event_Icon[7], Notes, btnSave, btnAuto, btnStopAuto}) {
        setTabOrder(previous, next);
        previous = next;
    }
    // The window opens with the focus on the first icon.
    Event_Icon[0]->setFocus(Qt::OtherFocusReason);
    installEventFilter(new ActivateWhenFirstShown(this));

    TrackingTimer.setInterval(60000);
    connect(&TrackingTimer, &QTimer::timeout, this, &frmZEPTA::TrackingTimer_Timer);
}

void frmZEPTA::buildMenus()
{
    auto addItem = [this](QMenu* menu, const char* name, const QString& caption, const QKeySequence& shortcut,
                       void (frmZEPTA::*handler)()) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(QLatin1String(name));
        action->setShortcut(shortcut);
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    menu_File = menuBar()->addMenu(QStringLiteral("&File"));
    menu_File->setObjectName(QStringLiteral("menu_File"));
    menu_Configure = addItem(menu_File, "menu_Configure", QStringLiteral("Con&figure"),
        QKeySequence(Qt::CTRL | Qt::Key_F), &frmZEPTA::menu_Configure_Click);
    menu_CopyData = addItem(menu_File, "menu_CopyData", QStringLiteral("&Save Data"),
        QKeySequence(Qt::CTRL | Qt::Key_S), &frmZEPTA::menu_CopyData_Click);
    menu_DeleteData = addItem(menu_File, "menu_DeleteData", QStringLiteral("&Delete Data..."),
        QKeySequence(Qt::CTRL | Qt::Key_D), &frmZEPTA::menu_DeleteData_Click);
    menu_Exit = addItem(menu_File, "menu_Exit", QStringLiteral("E&xit"), QKeySequence(Qt::CTRL | Qt::Key_X),
        &frmZEPTA::menu_Exit_Click);
    // What we add beyond the six commands has a menu of its own, so File and
    // Help keep exactly theirs.
    menu_View = menuBar()->addMenu(QStringLiteral("&View"));
    menu_View->setObjectName(QStringLiteral("menu_View"));
    menu_Map = addItem(
        menu_View, "menu_Map", QStringLiteral("&Map"), QKeySequence(Qt::CTRL | Qt::Key_M), &frmZEPTA::menu_Map_Click);
    menu_Outbox = menu_View->addAction(QStringLiteral("&Outbox..."));
    menu_Outbox->setObjectName(QStringLiteral("menu_Outbox"));
    connect(menu_Outbox, &QAction::triggered, this, &frmZEPTA::menu_Outbox_Click);
    menu_Help = menuBar()->addMenu(QStringLiteral("&Help"));
    menu_Help->setObjectName(QStringLiteral("menu_Help"));
    menu_Contents = addItem(menu_Help, "menu_Contents", QStringLiteral("&Contents"), QKeySequence(Qt::CTRL | Qt::Key_H),
        &frmZEPTA::menu_Contents_Click);
    menu_About = addItem(menu_Help, "menu_About", QStringLiteral("&About"), QKeySequence(Qt::CTRL | Qt::Key_A),
        &frmZEPTA::menu_About_Click);
    Notes->installEventFilter(new MenuShortcutsFirst(
        {menu_Configure, menu_CopyData, menu_DeleteData, menu_Exit, menu_Contents, menu_About, menu_Map}, this));
}

void frmZEPTA::connectReceiver()
{
    connect(mGPS.get(), &gps::Receiver::NewReading, this, &frmZEPTA::mGPS_NewReading);
    connect(mGPS.get(), &gps::Receiver::Unlocked, this, &frmZEPTA::mGPS_Unlocked);
    connect(mGPS.get(), &gps::Receiver::NoData, this, &frmZEPTA::mGPS_NoData);
}

void frmZEPTA::Form_Load()
{
    mGPS = gps::component().CreateReceiver();
    connectReceiver();
    mGPS->Initialize();
    Update_Form_per_Options();
    Update_GPS_per_Options();
    Display_No_GPS_Data();
}

void frmZEPTA::Update_Form_per_Options()
{
    const bool local = Driver::Usable_Parameter_Value(QStringLiteral("DATA_STORAGE_MODE")) == QLatin1String("LOCAL");
    menu_CopyData->setEnabled(local);
    menu_DeleteData->setEnabled(local);
    Load_Current_Event_Category();
    Update_Outbox_per_Options();
    mAccuracyLimit = Driver::Usable_Accuracy_Limit();
}

// Closing the window ends the program at once: a tracking run simply stops,
// and nothing is pending (every saved event was stored when its save returned).
void frmZEPTA::Form_Unload()
{
    TrackingTimer.stop();
    mGPS.reset();
    // Only the program's event loop is ended: asking for an exit while no loop
    // runs (as in tests) would make every later modal dialog return at once.
    if (QThread::currentThread()->loopLevel() > 0)
        QCoreApplication::exit(0);
}

void frmZEPTA::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}
