#include "gui/frmConfig.h"

#include "core/Driver.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "platform/NumberText.h"
#include "platform/Twips.h"
#include "platform/UserInterface.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScopedValueRollback>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <initializer_list>

namespace
{
const QString kOutOfRangeText = QStringLiteral("The Tracking Interval must be greater than 15 and less than 65");

// Rows of the fixed layout, in twips: every row of controls is this high and
// its label stands right-aligned before the control, centred on it.
constexpr int kRowHeight = 345;
constexpr int kRowStep = 465;
constexpr int kFirstRowInFrame = 360; // below the frame's caption

QLabel* makeLabel(QWidget* parent, const QString& text, int left, int top, int width)
{
    auto* label = new QLabel(text, parent);
    label->setGeometry(twips::rect(left, top, width, kRowHeight));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

QComboBox* makeList(QWidget* parent, const char* name, int left, int top, int width)
{
    auto* list = new QComboBox(parent);
    list->setObjectName(QLatin1String(name));
    list->setGeometry(twips::rect(left, top, width, kRowHeight));
    list->setEditable(false);
    return list;
}

QLineEdit* makeBox(QWidget* parent, const char* name, int left, int top, int width)
{
    auto* box = new QLineEdit(parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(twips::rect(left, top, width, kRowHeight));
    return box;
}

QGroupBox* makeFrame(QWidget* parent, const char* name, const QString& caption, const QRect& place)
{
    auto* frame = new QGroupBox(caption, parent);
    frame->setObjectName(QLatin1String(name));
    frame->setGeometry(place);
    return frame;
}

// Entries whose texts the dialog uses; their item data is 0.
void addTextEntries(QComboBox* list, std::initializer_list<const char*> texts)
{
    for (const char* text : texts)
        list->addItem(QLatin1String(text), QVariant(0));
}

// Selects every entry whose item data equals the number the text holds, from
// the first to the last, so the last match stays selected; none when nothing
// matches or the text holds no number.
void selectByItemData(QComboBox* list, const QString& text)
{
    list->setCurrentIndex(-1);
    const auto number = numtext::parse(text);
    if (!number)
        return;
    const double whole = numtext::roundHalfEven(*number);
    for (int i = 0; i < list->count(); ++i) {
        if (static_cast<double>(list->itemData(i).toInt()) == whole)
            list->setCurrentIndex(i);
    }
}

// The same by the entry's text, compared exactly, letter case included.
void selectByText(QComboBox* list, const QString& text)
{
    list->setCurrentIndex(-1);
    for (int i = 0; i < list->count(); ++i) {
        if (list->itemText(i) == text)
            list->setCurrentIndex(i);
    }
}

// A yes/no list: "Yes" is the first entry, "No" the second. A value that is
// not boolean parameter text leaves the list without a selection.
void selectYesNo(QComboBox* list, const QString& text)
{
    try {
        list->setCurrentIndex(numtext::toBoolean(text) ? 0 : 1);
    } catch (const ZeptaError&) {
        list->setCurrentIndex(-1);
    }
}

QString booleanText(bool value) { return value ? QStringLiteral("True") : QStringLiteral("False"); }

// Captions follow the storage mode in the system's grey-text or window-text
// colour; only the caption's own palette changes.
void setCaptionColour(QWidget* caption, const QColor& colour)
{
    QPalette palette = caption->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::WindowText, colour);
    caption->setPalette(palette);
}
} // namespace

// ---- UpDown -----------------------------------------------------------------------

UpDown::UpDown(QLineEdit* buddy, QWidget* parent)
    : QWidget(parent)
    , mBuddy(buddy)
{
    auto makeArrow = [this](Qt::ArrowType arrow, const char* name) {
        auto* button = new QToolButton(this);
        button->setObjectName(QLatin1String(name));
        button->setArrowType(arrow);
        button->setAutoRepeat(true);
        button->setFocusPolicy(Qt::NoFocus);
        return button;
    };
    upButton = makeArrow(Qt::UpArrow, "up");
    downButton = makeArrow(Qt::DownArrow, "down");
    connect(upButton, &QToolButton::clicked, this, &UpDown::stepUp);
    connect(downButton, &QToolButton::clicked, this, &UpDown::stepDown);
}

void UpDown::setRange(int minimum, int maximum)
{
    mMinimum = minimum;
    mMaximum = maximum;
}

void UpDown::setIncrement(int increment) { mIncrement = increment; }

void UpDown::resizeEvent(QResizeEvent*)
{
    const int upper = height() / 2;
    upButton->setGeometry(0, 0, width(), upper);
    downButton->setGeometry(0, upper, width(), height() - upper);
}

void UpDown::step(int delta)
{
    double current = 0.0;
    if (const auto number = numtext::parse(mBuddy->text()))
        current = numtext::roundHalfEven(*number);
    // Clamp in double first: the box may hold any number.
    const double next = std::min<double>(mMaximum, std::max<double>(mMinimum, current + delta));
    mBuddy->setText(QString::number(static_cast<int>(next)));
}

// ---- TypedLengthLimit -------------------------------------------------------------

TypedLengthLimit::TypedLengthLimit(QLineEdit* box, int maximum)
    : QObject(box)
    , mBox(box)
    , mMaximum(maximum)
    , mBefore(box->text())
{
    // textEdited comes only from the user; textChanged also from the program.
    connect(box, &QLineEdit::textEdited, this, &TypedLengthLimit::edited);
    connect(box, &QLineEdit::textChanged, this, [this](const QString& text) { mBefore = text; });
    connect(box, &QLineEdit::cursorPositionChanged, this, [this](int, int now) { mCursorBefore = now; });
}

void TypedLengthLimit::edited(const QString& text)
{
    if (text.size() <= mMaximum || text.size() <= mBefore.size())
        return;
    const int cursor = mCursorBefore;
    mBox->setText(mBefore);
    mBox->setCursorPosition(cursor);
}

// ---- frmConfig --------------------------------------------------------------------

frmConfig::frmConfig()
    : QDialog(nullptr)
{
    setObjectName(QStringLiteral("frmConfig"));
    setWindowTitle(QStringLiteral("Configuration Options"));
    setFixedSize(twips::size(10320, 4995));
    setModal(true);

    OptionsTab = new QTabWidget(this);
    OptionsTab->setObjectName(QStringLiteral("OptionsTab"));
    OptionsTab->setGeometry(twips::rect(120, 120, 10095, 4335));
    auto addPage = [this](const char* name, const QString& caption) {
        auto* page = new QWidget;
        page->setObjectName(QLatin1String(name));
        OptionsTab->addTab(page, caption);
        return page;
    };
    buildUserInterfacePage(addPage("pageUserInterface", QStringLiteral("User Interface")));
    buildGpsPage(addPage("pageGPS", QStringLiteral("GPS")));
    buildDataStoragePage(addPage("pageDataStorage", QStringLiteral("Data Storage")));

    auto makeButton = [this](const char* name, const QString& caption, const QRect& place) {
        auto* button = new QPushButton(caption, this);
        button->setObjectName(QLatin1String(name));
        button->setGeometry(place);
        // Enter in a box presses nothing: only a click or an access key saves.
        button->setAutoDefault(false);
        return button;
    };
    Button_Defaults
        = makeButton("Button_Defaults", QStringLiteral("Restore &Defaults"), twips::rect(480, 4560, 1935, 375));
    Button_Save = makeButton("Button_Save", QStringLiteral("&Save"), twips::rect(6840, 4560, 1455, 375));
    Button_Cancel = makeButton("Button_Cancel", QStringLiteral("Cancel"), twips::rect(8520, 4560, 1455, 375));
    connect(Button_Defaults, &QPushButton::clicked, this, &frmConfig::Button_Defaults_Click);
    connect(Button_Save, &QPushButton::clicked, this, &frmConfig::Button_Save_Click);
    connect(Button_Cancel, &QPushButton::clicked, this, &frmConfig::Button_Cancel_Click);

    connect(txtTrackingInterval, &QLineEdit::textChanged, this, &frmConfig::txtTrackingInterval_Change);
    connect(combo_Storage_Mode, &QComboBox::currentIndexChanged, this, &frmConfig::Update_UI_for_Storage_Mode);

    setTabOrderByReading();
    OptionsTab->setCurrentIndex(0);
    Form_Load();
}

frmConfig::~frmConfig() = default;

void frmConfig::buildUserInterfacePage(QWidget* page)
{
    constexpr int labelLeft = 120;
    constexpr int labelWidth = 2295;
    constexpr int controlLeft = 2520;

    fraArea = makeFrame(page, "fraArea", QStringLiteral("Event Customization"), twips::rect(240, 180, 9495, 855));
    makeLabel(fraArea, QStringLiteral("Event Category:"), labelLeft, kFirstRowInFrame, labelWidth);
    cmbEventCategory = makeList(fraArea, "cmbEventCategory", controlLeft, kFirstRowInFrame, 3495);

    fraEventSave = makeFrame(page, "fraEventSave", QStringLiteral("Event Saving"), twips::rect(240, 1215, 5175, 1695));
    int top = kFirstRowInFrame;
    makeLabel(fraEventSave, QStringLiteral("Tracking Interval (sec):"), labelLeft, top, labelWidth);
    txtTrackingInterval = makeBox(fraEventSave, "txtTrackingInterval", controlLeft, top, 735);
    UpDown1 = new UpDown(txtTrackingInterval, fraEventSave);
    UpDown1->setObjectName(QStringLiteral("UpDown1"));
    UpDown1->setGeometry(twips::rect(controlLeft + 735, top, 270, kRowHeight));
    UpDown1->setRange(16, 64);
    UpDown1->setIncrement(5);
    top += kRowStep;
    makeLabel(fraEventSave, QStringLiteral("Beep After Saves:"), labelLeft, top, labelWidth);
    combo_Beep_After_Saves = makeList(fraEventSave, "combo_Beep_After_Saves", controlLeft, top, 1005);
    top += kRowStep;
    makeLabel(fraEventSave, QStringLiteral("Shrink After Saves:"), labelLeft, top, labelWidth);
    combo_Shrink_After_Saves = makeList(fraEventSave, "combo_Shrink_After_Saves", controlLeft, top, 1005);
    for (QComboBox* list : {combo_Beep_After_Saves, combo_Shrink_After_Saves}) {
        list->addItem(QStringLiteral("Yes"), QVariant(-1));
        list->addItem(QStringLiteral("No"), QVariant(0));
    }

    frame_GPS = makeFrame(page, "frame_GPS", QStringLiteral("GPS"), twips::rect(5655, 1215, 4080, 1695));
    makeLabel(frame_GPS, QStringLiteral("Show GPS Monitor:"), labelLeft, kFirstRowInFrame, 1815);
    option_Show_GPS_No = new QRadioButton(QStringLiteral("No"), frame_GPS);
    option_Show_GPS_No->setObjectName(QStringLiteral("option_Show_GPS_No"));
    option_Show_GPS_No->setGeometry(twips::rect(2040, kFirstRowInFrame, 855, kRowHeight));
    option_Show_GPS_Yes = new QRadioButton(QStringLiteral("Yes"), frame_GPS);
    option_Show_GPS_Yes->setObjectName(QStringLiteral("option_Show_GPS_Yes"));
    option_Show_GPS_Yes->setGeometry(twips::rect(3000, kFirstRowInFrame, 855, kRowHeight));
    // One group; Restore Defaults may leave neither option selected.
    mShowGpsGroup = new QButtonGroup(this);
    mShowGpsGroup->addButton(option_Show_GPS_No);
    mShowGpsGroup->addButton(option_Show_GPS_Yes);
}

void frmConfig::buildGpsPage(QWidget* page)
{
    fraGPSPort = makeFrame(page, "fraGPSPort", QStringLiteral("Serial Interface"), twips::rect(240, 180, 4455, 2685));
    constexpr int labelLeft = 120;
    constexpr int labelWidth = 1695;
    constexpr int controlLeft = 1920;
    constexpr int listWidth = 1335;
    int top = kFirstRowInFrame;
    auto row = [&](const QString& label, const char* name) {
        makeLabel(fraGPSPort, label, labelLeft, top, labelWidth);
        QComboBox* list = makeList(fraGPSPort, name, controlLeft, top, listWidth);
        top += kRowStep;
        return list;
    };
    cmbCOMPort = row(QStringLiteral("COM Port:"), "cmbCOMPort");
    for (int port = 1; port <= 16; ++port)
        cmbCOMPort->addItem(QStringLiteral("COM%1:").arg(port), QVariant(port));
    cmbCOMSpeed = row(QStringLiteral("Speed (bps):"), "cmbCOMSpeed");
    addTextEntries(cmbCOMSpeed, {"1200", "2400", "4800", "9600", "19200", "38400"});
    cmbCOMParityBit = row(QStringLiteral("Parity Bit:"), "cmbCOMParityBit");
    addTextEntries(cmbCOMParityBit, {"N", "E", "O"});
    cmbCOMDataBits = row(QStringLiteral("Data Bits:"), "cmbCOMDataBits");
    addTextEntries(cmbCOMDataBits, {"8", "7"});
    cmbCOMStopBits = row(QStringLiteral("Stop Bits:"), "cmbCOMStopBits");
    addTextEntries(cmbCOMStopBits, {"1", "2"});
}

void frmConfig::buildDataStoragePage(QWidget* page)
{
    // Controls line up with those of the frame below (240 + 1920 = 2160).
    makeLabel(page, QStringLiteral("Storage Method:"), 240, 300, 1815);
    combo_Storage_Mode = makeList(page, "combo_Storage_Mode", 2160, 300, 1335);
    addTextEntries(combo_Storage_Mode, {"LOCAL", "XML", "SOAP"});
    makeLabel(page, QStringLiteral("Client ID:"), 240, 300 + kRowStep, 1815);
    txtClient_ID = makeBox(page, "txtClient_ID", 2160, 300 + kRowStep, 2415);

    frame_RemoteHost
        = makeFrame(page, "frame_RemoteHost", QStringLiteral("Remote Server"), twips::rect(240, 1335, 6615, 1275));
    lblIP = makeLabel(frame_RemoteHost, QStringLiteral("IP Address:"), 120, kFirstRowInFrame, 1695);
    lblIP->setObjectName(QStringLiteral("lblIP"));
    constexpr int octetWidth = 495;
    constexpr int dotWidth = 120;
    int left = 1920;
    QLineEdit** octets[] = {&txtOctet1, &txtOctet2, &txtOctet3, &txtOctet4};
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            auto* dot = new QLabel(QStringLiteral("."), frame_RemoteHost);
            dot->setObjectName(QStringLiteral("lblDot%1").arg(i));
            dot->setGeometry(twips::rect(left, kFirstRowInFrame, dotWidth, kRowHeight));
            dot->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
            // The dots keep their colour whatever the storage mode.
            setCaptionColour(dot, QApplication::palette().color(QPalette::Active, QPalette::WindowText));
            left += dotWidth;
        }
        const QByteArray name = "txtOctet" + QByteArray::number(i + 1);
        QLineEdit* box = makeBox(frame_RemoteHost, name.constData(), left, kFirstRowInFrame, octetWidth);
        box->setAlignment(Qt::AlignHCenter);
        new TypedLengthLimit(box, 3);
        *octets[i] = box;
        left += octetWidth;
    }
    lblListenerName
        = makeLabel(frame_RemoteHost, QStringLiteral("Listener Name:"), 120, kFirstRowInFrame + kRowStep, 1695);
    lblListenerName->setObjectName(QStringLiteral("lblListenerName"));
    txtListenerName = makeBox(frame_RemoteHost, "txtListenerName", 1920, kFirstRowInFrame + kRowStep, 4455);
}

// Tab follows the reading order: page by page, top to bottom and left to
// right, then the buttons from left to right.
void frmConfig::setTabOrderByReading()
{
    const std::initializer_list<QWidget*> order = {OptionsTab, cmbEventCategory, txtTrackingInterval,
        combo_Beep_After_Saves, combo_Shrink_After_Saves, option_Show_GPS_No, option_Show_GPS_Yes, cmbCOMPort,
        cmbCOMSpeed, cmbCOMParityBit, cmbCOMDataBits, cmbCOMStopBits, combo_Storage_Mode, txtClient_ID, txtOctet1,
        txtOctet2, txtOctet3, txtOctet4, txtListenerName, Button_Defaults, Button_Save, Button_Cancel};
    QWidget* previous = nullptr;
    for (QWidget* next : order) {
        if (previous)
            setTabOrder(previous, next);
        previous = next;
    }
}

// ---- loading ----------------------------------------------------------------------

void frmConfig::Form_Load()
{
    Load_Event_Categories();
    Update_UI_per_Options();
    Update_UI_for_Storage_Mode();
}

void frmConfig::Load_Event_Categories()
{
    db::Connection connection(Driver::applicationConnectionString());
    db::Recordset rows = connection.open(QStringLiteral("SELECT * FROM EVENT_CATEGORIES"));
    cmbEventCategory->clear();
    while (!rows.eof()) {
        cmbEventCategory->addItem(rows.field(QStringLiteral("EVENT_CATEGORY_NAME")).toString());
        cmbEventCategory->setItemData(
            cmbEventCategory->count() - 1, QVariant(rows.field(QStringLiteral("EVENT_CATEGORY_ID")).toInt32()));
        rows.moveNext();
    }
    rows.close();
    connection.close();
}

// A stored value the controls cannot show leaves its control empty (lists
// unselected, options unchanged) and loading goes on with the next value.
void frmConfig::Update_UI_per_Options()
{
    // A row that cannot be read is reported and its default shown.
    auto read = [](const char* key) { return Driver::Usable_Parameter_Value(QLatin1String(key)); };

    selectByItemData(cmbEventCategory, read("EVENT_CATEGORY"));
    txtTrackingInterval->setText(read("TRACKING_INTERVAL"));
    selectYesNo(combo_Beep_After_Saves, read("BEEP_AFTER_SAVES"));
    selectYesNo(combo_Shrink_After_Saves, read("SHRINK_AFTER_SAVES"));
    const QString showGps = read("SHOW_GPS_WINDOW");
    try {
        const bool show = numtext::toBoolean(showGps);
        option_Show_GPS_Yes->setChecked(show);
        option_Show_GPS_No->setChecked(!show);
    } catch (const ZeptaError&) {
    }
    selectByItemData(cmbCOMPort, read("COM_PORT"));
    Load_COM_Settings(read("COM_SETTINGS"));
    txtClient_ID->setText(read("CLIENT_ID"));
    txtListenerName->setText(read("LISTENER_NAME"));
    selectByText(combo_Storage_Mode, read("DATA_STORAGE_MODE"));
    Load_IP_Address(read("SERVER_IP"));
}

// A field the text does not have leaves its list without a selection.
void frmConfig::Load_COM_Settings(const QString& settings)
{
    const QStringList fields = settings.split(QLatin1Char(','));
    QComboBox* lists[] = {cmbCOMSpeed, cmbCOMParityBit, cmbCOMDataBits, cmbCOMStopBits};
    for (int i = 0; i < 4; ++i) {
        if (i < fields.size())
            selectByText(lists[i], fields.at(i));
        else
            lists[i]->setCurrentIndex(-1);
    }
}

// A field the text does not have leaves its box empty.
void frmConfig::Load_IP_Address(const QString& address)
{
    const QStringList fields = address.split(QLatin1Char('.'));
    QLineEdit* boxes[] = {txtOctet1, txtOctet2, txtOctet3, txtOctet4};
    for (int i = 0; i < 4; ++i)
        boxes[i]->setText(fields.value(i));
}

void frmConfig::Update_UI_for_Storage_Mode()
{
    const bool local = combo_Storage_Mode->currentIndex() == 0;
    const QPalette system = QApplication::palette();
    const QColor colour = local ? system.color(QPalette::Disabled, QPalette::WindowText)
                                : system.color(QPalette::Active, QPalette::WindowText);
    for (QWidget* caption : std::initializer_list<QWidget*> {frame_RemoteHost, lblIP, lblListenerName})
        setCaptionColour(caption, colour);
    for (QLineEdit* box : {txtOctet1, txtOctet2, txtOctet3, txtOctet4, txtListenerName})
        box->setEnabled(!local);
}

// ---- the interval check --------------------------------------------------------------

// Runs on every change of the box's text. Each step goes on when the one
// before it failed. The stored value is put back with the check switched to
// silent, so a stored value that is itself out of range is reported once and
// not again for its own putting back.
void frmConfig::txtTrackingInterval_Change()
{
    double number = 0.0; // text that is not a number counts as 0
    if (const auto parsed = numtext::parse(txtTrackingInterval->text()))
        number = numtext::roundHalfEven(*parsed);
    if (number > 15 && number < 65)
        return;
    if (mPuttingBackInterval)
        return;
    Msg_Box(MessageKind::Exclamation, QStringLiteral("Out of Range"), kOutOfRangeText);
    QString stored;
    try {
        stored = Driver::Get_Parameter_Value(QStringLiteral("TRACKING_INTERVAL"));
    } catch (const ZeptaError&) {
        return; // nothing to put back: the box keeps its text
    }
    const QScopedValueRollback<bool> silent(mPuttingBackInterval, true);
    txtTrackingInterval->setText(stored);
}

// ---- buttons -----------------------------------------------------------------------

void frmConfig::Button_Defaults_Click()
{
    auto fallback = [](const char* key) { return Driver::Default_Parameter_Value(QLatin1String(key)); };
    const QStringList line = fallback("COM_SETTINGS").split(QLatin1Char(','));
    cmbEventCategory->setCurrentIndex(cmbEventCategory->count() > 0 ? 0 : -1);
    txtTrackingInterval->setText(fallback("TRACKING_INTERVAL"));
    selectByText(combo_Beep_After_Saves, QStringLiteral("Yes"));
    selectByText(combo_Shrink_After_Saves, QStringLiteral("Yes"));
    // Only "Yes" is cleared, so neither option may be selected afterwards.
    mShowGpsGroup->setExclusive(false);
    option_Show_GPS_Yes->setChecked(false);
    mShowGpsGroup->setExclusive(true);
    selectByItemData(cmbCOMPort, fallback("COM_PORT"));
    selectByText(cmbCOMSpeed, line.value(0));
    selectByText(cmbCOMDataBits, line.value(2));
    selectByText(cmbCOMParityBit, line.value(1));
    selectByText(cmbCOMStopBits, line.value(3));
    txtClient_ID->setText(fallback("CLIENT_ID"));
    selectByText(combo_Storage_Mode, fallback("DATA_STORAGE_MODE"));
    Update_UI_for_Storage_Mode();
    txtListenerName->setText(fallback("LISTENER_NAME"));
    Load_IP_Address(fallback("SERVER_IP"));
}

// Writes the eleven parameters in their order. A list left without a
// selection (its stored value matched no entry, or the category list is
// empty) writes what is stored for it, read again now: saving never invents a
// value the user did not see, nor turns a stored one into an empty text. For
// the serial line this holds field by field; a field that neither a list nor
// the stored text holds takes its default, so the value keeps four fields.
void frmConfig::Save_Options()
{
    auto write = [](const char* key, const QString& value) {
        try {
            Driver::Set_Parameter_Value(QLatin1String(key), value);
        } catch (const ZeptaError& error) {
            throw ZeptaError(QStringLiteral("%1: %2").arg(QLatin1String(key), error.message()));
        }
    };
    auto stored = [](const char* key) { return Driver::Get_Parameter_Value(QLatin1String(key)); };
    auto itemDataOr = [&](QComboBox* list, const char* key) {
        return list->currentIndex() >= 0 ? QString::number(list->currentData().toInt()) : stored(key);
    };
    auto yesNoOr = [&](QComboBox* list, const char* key) {
        return list->currentIndex() >= 0 ? booleanText(list->currentData().toInt() != 0) : stored(key);
    };

    write("EVENT_CATEGORY", itemDataOr(cmbEventCategory, "EVENT_CATEGORY"));
    write("TRACKING_INTERVAL", txtTrackingInterval->text());
    write("BEEP_AFTER_SAVES", yesNoOr(combo_Beep_After_Saves, "BEEP_AFTER_SAVES"));
    write("SHRINK_AFTER_SAVES", yesNoOr(combo_Shrink_After_Saves, "SHRINK_AFTER_SAVES"));
    write("SHOW_GPS_WINDOW", booleanText(option_Show_GPS_Yes->isChecked()));
    write("COM_PORT", itemDataOr(cmbCOMPort, "COM_PORT"));

    QComboBox* lineLists[] = {cmbCOMSpeed, cmbCOMParityBit, cmbCOMDataBits, cmbCOMStopBits};
    QStringList line;
    QStringList storedLine;
    bool storedRead = false;
    for (int i = 0; i < 4; ++i) {
        if (lineLists[i]->currentIndex() >= 0) {
            line << lineLists[i]->currentText();
            continue;
        }
        if (!storedRead) {
            storedLine = stored("COM_SETTINGS").split(QLatin1Char(','));
            storedRead = true;
        }
        line << (i < storedLine.size()
                ? storedLine.at(i)
                : Driver::Default_Parameter_Value(QStringLiteral("COM_SETTINGS")).section(',', i, i));
    }
    write("COM_SETTINGS", line.join(QLatin1Char(',')));

    write("CLIENT_ID", txtClient_ID->text());
    write("DATA_STORAGE_MODE",
        combo_Storage_Mode->currentIndex() >= 0 ? combo_Storage_Mode->currentText() : stored("DATA_STORAGE_MODE"));
    write("SERVER_IP",
        QStringList {txtOctet1->text(), txtOctet2->text(), txtOctet3->text(), txtOctet4->text()}.join(
            QLatin1Char('.')));
    write("LISTENER_NAME", txtListenerName->text());
}

// A store that cannot be written keeps the dialog open with the user's edits.
void frmConfig::Button_Save_Click()
{
    try {
        Save_Options();
    } catch (const ZeptaError& error) {
        Msg_Box(MessageKind::Exclamation, QStringLiteral("Settings Not Saved"),
            QStringLiteral("The settings could not be saved in %1:\r\n%2\r\nYour changes are still in the dialog.")
                .arg(db::dataSourceOf(Driver::applicationConnectionString()), error.message()));
        return;
    }
    Unload_Form();
}

// Hidden, not unloaded: the edits and the open page wait for the next showing.
void frmConfig::Button_Cancel_Click() { done(QDialog::Rejected); }

// The title-bar close unloads without writing.
void frmConfig::closeEvent(QCloseEvent* event)
{
    QDialog::closeEvent(event);
    if (event->isAccepted())
        Unload_Form();
}

// The dialog cannot be destroyed while its own modal loop or one of its
// buttons' signals is still running: inside exec the unload waits for the
// loop to return; otherwise it is posted.
void frmConfig::Unload_Form()
{
    mUnloadRequested = true;
    done(QDialog::Accepted);
    if (mInExec)
        return;
    QTimer::singleShot(0, [window = QPointer<frmConfig>(this)] {
        if (window && isLoaded() && &instance() == window.data())
            unload();
    });
}

int frmConfig::exec()
{
    const QPointer<frmConfig> self(this);
    mInExec = true;
    const int result = QDialog::exec();
    if (!self)
        return result;
    mInExec = false;
    if (mUnloadRequested && isLoaded() && &instance() == this)
        unload(); // this window is gone from here on
    return result;
}
