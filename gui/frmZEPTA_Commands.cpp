#include "gui/frmZEPTA.h"

#include "core/Driver.h"
#include "gui/frmConfig.h"
#include "gui/frmSplash.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace
{
const char* const kHelpFileName = "Zepta.html";

QString firstExportPath()
{
    // Qt names a documents folder even where the user has none.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    return QDir(folder).filePath(QStringLiteral("zepta.txt"));
}
} // namespace

// The dialog reports nothing back: however it was closed, the window reads
// the stored settings again, which is how the menus, the palette and the
// receiver follow what was saved.
void frmZEPTA::menu_Configure_Click()
{
    frmConfig::instance().exec();
    // The dialog has no owner window, so nothing hands the keyboard back to
    // this one when it closes: take it back, or the shortcuts stop working.
    activateWindow();
    Update_Form_per_Options();
    Update_GPS_per_Options();
}

// "&Save Data": the dialog's own errors end the command silently; the export
// reports its outcome itself. An extension typed in the name chooses the
// format, else the chosen file type does; both are offered again next time.
void frmZEPTA::menu_CopyData_Click()
{
    std::optional<SaveDialogChoice> chosen;
    try {
        SaveDialogRequest request;
        request.title = QStringLiteral("Save Data to File");
        request.fileTypes = Driver::exportFileTypes();
        request.fileType = Driver::exportFileType(mLastExportFormat);
        request.fileName = mLastExportPath.isEmpty() ? firstExportPath() : mLastExportPath;
        chosen = Show_Save_Dialog(request);
    } catch (const std::exception&) {
        return;
    }
    if (!chosen)
        return; // cancelled
    mLastExportPath = chosen->fileName;
    mLastExportFormat = Driver::exportFormatFor(chosen->fileName, chosen->fileType);
    Driver::Export_Events_To_File(chosen->fileName, mLastExportFormat);
}

// "&Delete Data...": a count or purge that fails is reported, and the program
// goes on; the number reported is the one the user confirmed.
void frmZEPTA::menu_DeleteData_Click()
{
    const auto failed = [](const ZeptaError& error) {
        qWarning("Deleting the saved events failed: %s", qUtf8Printable(error.message()));
        QString reason = plainReason(error.message()) + QLatin1Char('.');
        reason[0] = reason[0].toUpper();
        Msg_Box(MessageKind::Exclamation, QStringLiteral("Delete Failed"),
            QStringLiteral("Unable to delete the saved events in: ") + Driver::eventDatabasePath()
                + QStringLiteral("\r\n") + reason);
    };
    std::int32_t count = 0;
    try {
        count = Driver::Count_Saved_Events();
    } catch (const ZeptaError& error) {
        failed(error);
        return;
    }
    const QString n = QString::number(count);
    if (Msg_Box(MessageKind::YesNo, QStringLiteral("Confirm Deletion"),
            QStringLiteral("Are you sure you want to PERMANENTLY DELETE ALL ") + n
                + QStringLiteral(" OF YOUR SAVED EVENTS?"))
        != MessageAnswer::Yes)
        return;
    try {
        Driver::Delete_All_Events();
    } catch (const ZeptaError& error) {
        failed(error);
        return;
    }
    Msg_Box(MessageKind::Plain, QStringLiteral("Events Deleted"),
        n + QStringLiteral(" geocoded events were permanently deleted."));
}

// Closing the window runs Form_Unload, which ends the program.
void frmZEPTA::menu_Exit_Click() { close(); }

void frmZEPTA::menu_Contents_Click()
{
    const QString helpFile = QDir(Driver::shareFolder()).filePath(QLatin1String(kHelpFileName));
    const QFileInfo info(helpFile);
    if (!info.isFile() || !info.isReadable()) {
        Msg_Box(MessageKind::Exclamation, QStringLiteral("Help Not Found"),
            QStringLiteral("The help file cannot be opened: ") + helpFile);
        return;
    }
    Show_Help(helpFile);
}

void frmZEPTA::menu_About_Click()
{
    frmSplash::instance().showAbout();
    activateWindow(); // the about box has no owner to hand the keyboard back to
}
