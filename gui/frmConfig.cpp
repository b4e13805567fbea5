#include "gui/frmConfig.h"

#include "platform/TextLimits.h"
#include "platform/Twips.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTabWidget>

#include <initializer_list>

// The dialog's window and its fixed layout; loading, checking and saving the
// settings are in frmConfig_Options.cpp.

namespace
{

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

} // namespace

// Captions follow the storage mode in the system's grey-text or window-text
// colour; only the caption's own palette changes.
void frmConfig::setCaptionColour(QWidget* caption, const QColor& colour)
{
    QPalette palette = caption->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::WindowText, colour);
    caption->setPalette(palette);
}

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
    buildListenerRows(OptionsTab->widget(2));
    buildAccuracyPage(addPage("pageAccuracy", QStringLiteral("Accuracy")));

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

    // A combo box takes Ctrl+Tab as a letter to search for, so the pages are
    // turned by the dialog itself, from whichever box has the focus.
    auto turnPages = [this](std::initializer_list<QKeySequence> keys, int step) {
        for (const QKeySequence& key : keys) {
            auto* shortcut = new QShortcut(key, this);
            shortcut->setContext(Qt::WidgetWithChildrenShortcut);
            connect(shortcut, &QShortcut::activated, this, [this, step] {
                const int pages = OptionsTab->count();
                OptionsTab->setCurrentIndex((OptionsTab->currentIndex() + step + pages) % pages);
            });
        }
    };
    turnPages({QKeySequence(Qt::CTRL | Qt::Key_Tab), QKeySequence(Qt::CTRL | Qt::Key_PageDown)}, 1);
    turnPages({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab),
                  QKeySequence(Qt::CTRL | Qt::Key_PageUp)},
        -1);

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
        // Three typed characters, as an address's number has, except where an
        // address said otherwise goes: the first box takes a host name or an
        // https:// address whole, the last a ":port".
        if (i == 1 || i == 2)
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
        txtOctet2, txtOctet3, txtOctet4, txtListenerName, txtAccuracyLimit, txtAveragingSeconds, Button_Defaults,
        Button_Save, Button_Cancel, txtListenerKey, chkShowKey, txtListenerCaFile};
    QWidget* previous = nullptr;
    for (QWidget* next : order) {
        if (previous)
            setTabOrder(previous, next);
        previous = next;
    }
}
