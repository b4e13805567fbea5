#include "gui/frmConfig.h"

#include "core/Driver.h"
#include "gps/ComSettings.h"
#include "platform/Db.h"
#include "platform/Error.h"
#include "platform/NumberText.h"
#include "platform/UserInterface.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScopedValueRollback>
#include <QTimer>

// Loading the settings into the dialog, the interval check, Restore Defaults,
// saving, and how the dialog closes.

namespace
{
const QString kOutOfRangeText = QStringLiteral("The Tracking Interval must be greater than 15 and less than 65");

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

} // namespace

// ---- loading ----------------------------------------------------------------------

void frmConfig::Form_Load()
{
    Load_Event_Categories();
    Update_UI_per_Options();
    Update_UI_for_Storage_Mode();
}

// The list keeps the catalogue's order; its item data is the category's id.
void frmConfig::Load_Event_Categories()
{
    const auto categories = Driver::Get_Event_Categories();
    cmbEventCategory->clear();
    for (const auto& [id, name] : categories) {
        cmbEventCategory->addItem(name);
        cmbEventCategory->setItemData(cmbEventCategory->count() - 1, QVariant(id));
    }
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
    Load_Accuracy_Options();
    Load_Listener_Options();
}

// Read as the receiver reads it (blanks around a field, the parity letter in
// either case); a field missing or not valid leaves its list without a
// selection, and fields past the fourth are not looked at.
void frmConfig::Load_COM_Settings(const QString& settings)
{
    const gps::ComSettings parsed = gps::parseComSettings(settings);
    selectByText(cmbCOMSpeed, parsed.speedText);
    selectByText(cmbCOMParityBit, parsed.parityText);
    selectByText(cmbCOMDataBits, parsed.dataBitsText);
    selectByText(cmbCOMStopBits, parsed.stopBitsText);
}

// Four numbers (the last may carry ":port") fill the four boxes; any other
// address (a host name, https://...) stands whole in the first.
void frmConfig::Load_IP_Address(const QString& address)
{
    static const QRegularExpression quad(
        QStringLiteral("^[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}(:[0-9]*)?$"));
    const QStringList fields = quad.match(address).hasMatch() ? address.split(QLatin1Char('.')) : QStringList {address};
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
    Update_Listener_Controls(local, colour);
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
    Default_Accuracy_Options();
    Default_Listener_Options();
}

// Writes the eleven parameters in their order, making a row that is missing.
// A list left without a selection (its stored value matched no entry, or the
// category list is empty) writes what is stored for it, read again now (the
// default for a missing row): saving never invents a value the user did not
// see, nor turns a stored one into an empty text. For
// the serial line this holds field by field; a field that neither a list nor
// the stored text holds takes its default, so the value keeps four fields.
void frmConfig::Save_Options()
{
    auto write = [](const char* key, const QString& value) {
        try {
            Driver::Save_Parameter_Value(QLatin1String(key), value);
        } catch (const ZeptaError& error) {
            qWarning("Saving the setting %s failed: %s", key, qUtf8Printable(error.message()));
            throw ZeptaError(QStringLiteral("%1: %2").arg(QLatin1String(key), plainReason(error.message())));
        }
    };
    // A missing row has nothing to keep: its default is written.
    auto stored = [](const char* key) {
        try {
            return Driver::Get_Parameter_Value(QLatin1String(key));
        } catch (const ZeptaError&) {
            return Driver::Default_Parameter_Value(QLatin1String(key));
        }
    };
    auto itemDataOr = [&](QComboBox* list, const char* key) {
        return list->currentIndex() >= 0 ? QString::number(list->currentData().toInt()) : stored(key);
    };
    auto yesNoOr = [&](QComboBox* list, const char* key) {
        return list->currentIndex() >= 0 ? booleanText(list->currentData().toInt() != 0) : stored(key);
    };

    // The boxes read together, empty boxes at the end left out. An address
    // as it was loaded is written back as it is; a changed one must be one
    // the sender can use, or nothing is written.
    QStringList boxes {txtOctet1->text(), txtOctet2->text(), txtOctet3->text(), txtOctet4->text()};
    while (boxes.size() > 1 && boxes.last().isEmpty())
        boxes.removeLast();
    const QString address = boxes.join(QLatin1Char('.'));
    if (address != stored("SERVER_IP") && !Driver::Valid_Server_Address(address))
        throw ZeptaError(QStringLiteral("SERVER_IP: \"%1\" is not an address Zepta can post to: an IPv4 address or a "
                                        "host name, with :port and https:// if needed")
                             .arg(address));
    Check_Accuracy_Options();
    Check_Listener_Options();
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
    write("SERVER_IP", address);
    write("LISTENER_NAME", txtListenerName->text());
    Save_Accuracy_Options();
    Save_Listener_Options();
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
