// The crew's key and the CA file of the listener, on the "Data Storage" page
// below the remote server's frame, so no earlier control moves. The key is
// shown masked unless "Show" is ticked.

#include "gui/frmConfig.h"

#include "core/Driver.h"
#include "platform/Error.h"
#include "platform/Twips.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>

void frmConfig::buildListenerRows(QWidget* page)
{
    auto row = [page](const QString& caption, const char* name, int top, int width) {
        auto* label = new QLabel(caption, page);
        label->setGeometry(twips::rect(240, top, 1815, 345));
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        auto* box = new QLineEdit(page);
        box->setObjectName(QLatin1String(name));
        box->setGeometry(twips::rect(2160, top, width, 345));
        return std::pair {label, box};
    };
    std::tie(lblListenerKey, txtListenerKey) = row(QStringLiteral("Crew Key:"), "txtListenerKey", 2760, 3615);
    txtListenerKey->setEchoMode(QLineEdit::Password);
    chkShowKey = new QCheckBox(QStringLiteral("Sho&w"), page);
    chkShowKey->setObjectName(QStringLiteral("chkShowKey"));
    chkShowKey->setGeometry(twips::rect(5880, 2760, 975, 345));
    connect(chkShowKey, &QCheckBox::toggled, this,
        [this](bool show) { txtListenerKey->setEchoMode(show ? QLineEdit::Normal : QLineEdit::Password); });
    std::tie(lblListenerCaFile, txtListenerCaFile) = row(QStringLiteral("CA File:"), "txtListenerCaFile", 3225, 4695);
    txtListenerCaFile->setPlaceholderText(QStringLiteral("the system's certificate authorities"));
}

void frmConfig::Load_Listener_Options()
{
    txtListenerKey->setText(Driver::Optional_Parameter_Value(QStringLiteral("LISTENER_KEY")));
    txtListenerCaFile->setText(Driver::Optional_Parameter_Value(QStringLiteral("LISTENER_CA_FILE")));
    chkShowKey->setChecked(false);
}

void frmConfig::Default_Listener_Options()
{
    txtListenerKey->setText(Driver::Default_Parameter_Value(QStringLiteral("LISTENER_KEY")));
    txtListenerCaFile->setText(Driver::Default_Parameter_Value(QStringLiteral("LISTENER_CA_FILE")));
}

// The message never repeats the key: it may be on a screen others see.
void frmConfig::Check_Listener_Options() const
{
    const QString key = txtListenerKey->text().trimmed();
    if (!key.isEmpty() && !Driver::isCrewKeyText(key))
        throw ZeptaError(QStringLiteral("LISTENER_KEY: the crew's key holds characters a key cannot have (a space, a "
                                        "line break); paste it again as the listener printed it"));
    const QString caFile = txtListenerCaFile->text().trimmed();
    if (!caFile.isEmpty() && !(QFileInfo(caFile).isFile() && QFileInfo(caFile).isReadable()))
        throw ZeptaError(QStringLiteral("LISTENER_CA_FILE: \"%1\" is not a file Zepta can read").arg(caFile));
}

void frmConfig::Save_Listener_Options()
{
    Driver::Save_Parameter_Value(QStringLiteral("LISTENER_KEY"), txtListenerKey->text().trimmed());
    Driver::Save_Parameter_Value(QStringLiteral("LISTENER_CA_FILE"), txtListenerCaFile->text().trimmed());
}

void frmConfig::Update_Listener_Controls(bool local, const QColor& colour)
{
    for (QWidget* caption : std::initializer_list<QWidget*> {lblListenerKey, lblListenerCaFile})
        setCaptionColour(caption, colour);
    for (QWidget* control : std::initializer_list<QWidget*> {txtListenerKey, chkShowKey, txtListenerCaFile})
        control->setEnabled(!local);
}
