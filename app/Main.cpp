#include "app/Main.h"

#include "core/Driver.h"
#include "gps/Component.h"
#include "gui/frmSplash.h"
#include "gui/frmZEPTA.h"
#include "platform/Error.h"

#include <QVariant>

namespace Driver
{

// Start-up. Nothing touches a database until the splash window has hidden
// itself: the connection strings are built after it, and the first query is
// the main window's loading sequence.
void Main()
{
    frmSplash::instance().showStartup();

    const QString folder = dataFolder();
    applicationConnectionString() = connectionStringFor(folder, QStringLiteral("zepta.mdb"));
    // Without its settings the program cannot go on: say which file is wrong.
    Check_Application_Database();
    try {
        Add_Quality_Parameters();
    } catch (const ZeptaError& error) {
        // A read-only zepta.mdb: the two settings are then reported as
        // missing where they are read, and their default (off) used.
        qWarning("%s", qUtf8Printable(error.message()));
    }
    {
        const auto dataLink = gps::component().CreateDataLink();
        dataLink->setConnectionString(QVariant(connectionStringFor(folder, QStringLiteral("Nomrel.mdb"))));
    }

    frmZEPTA::instance().show();

    frmSplash::instance().SplashTimer.stop();
    frmSplash::unload();
}

} // namespace Driver
