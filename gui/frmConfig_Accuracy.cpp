// The "Accuracy" page of the configuration dialog: ACCURACY_LIMIT_M and
// AVERAGING_SECONDS, on a page of their own so no described control moves.

#include "gui/frmConfig.h"

#include "core/Driver.h"
#include "platform/Error.h"
#include "platform/Twips.h"

#include <QLabel>
#include <QLineEdit>

void frmConfig::buildAccuracyPage(QWidget* page)
{
    auto row = [page](const QString& caption, const char* name, int top, const QString& hint) {
        auto* label = new QLabel(caption, page);
        label->setGeometry(twips::rect(240, top, 3015, 345));
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        auto* box = new QLineEdit(page);
        box->setObjectName(QLatin1String(name));
        box->setGeometry(twips::rect(3360, top, 1095, 345));
        auto* note = new QLabel(hint, page);
        note->setGeometry(twips::rect(4560, top, 5175, 345));
        return box;
    };
    txtAccuracyLimit = row(QStringLiteral("Accuracy limit (m):"), "txtAccuracyLimit", 300,
        QStringLiteral("0: none. Saves worse than it ask first; tracking skips them."));
    txtAveragingSeconds = row(QStringLiteral("Average over (sec):"), "txtAveragingSeconds", 765,
        QStringLiteral("0: none. Save Event averages the fixes of this many seconds."));
}

void frmConfig::Load_Accuracy_Options()
{
    txtAccuracyLimit->setText(
        Driver::Usable_Parameter_Value(QStringLiteral("ACCURACY_LIMIT_M"), Driver::Valid_Accuracy_Limit));
    txtAveragingSeconds->setText(
        Driver::Usable_Parameter_Value(QStringLiteral("AVERAGING_SECONDS"), Driver::Valid_Averaging_Seconds));
}

void frmConfig::Default_Accuracy_Options()
{
    txtAccuracyLimit->setText(Driver::Default_Parameter_Value(QStringLiteral("ACCURACY_LIMIT_M")));
    txtAveragingSeconds->setText(Driver::Default_Parameter_Value(QStringLiteral("AVERAGING_SECONDS")));
}

// Checked before anything is written, so a value the program could not use is
// never stored and the other settings are not saved half.
void frmConfig::Check_Accuracy_Options() const
{
    if (!Driver::Valid_Accuracy_Limit(txtAccuracyLimit->text()))
        throw ZeptaError(QStringLiteral("ACCURACY_LIMIT_M: \"%1\" is not a number of metres from 0 to 10000")
                             .arg(txtAccuracyLimit->text()));
    if (!Driver::Valid_Averaging_Seconds(txtAveragingSeconds->text()))
        throw ZeptaError(QStringLiteral("AVERAGING_SECONDS: \"%1\" is not a whole number of seconds from 0 to 600")
                             .arg(txtAveragingSeconds->text()));
}

void frmConfig::Save_Accuracy_Options()
{
    Driver::Set_Parameter_Value(QStringLiteral("ACCURACY_LIMIT_M"), txtAccuracyLimit->text().trimmed());
    Driver::Set_Parameter_Value(QStringLiteral("AVERAGING_SECONDS"), txtAveragingSeconds->text().trimmed());
}
