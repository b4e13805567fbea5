#include "core/Driver.h"

#include "gps/Component.h"
#include "platform/Db.h"

#include <QCoreApplication>
#include <QDir>

#include <utility>

namespace Driver
{

namespace
{
QString& folderOverride()
{
    static QString folder;
    return folder;
}

const QString kParameterQuery = QStringLiteral("SELECT * FROM CONFIGURATION WHERE PARAMETER_NAME = ?");
} // namespace

QString programFolder()
{
    if (!folderOverride().isEmpty())
        return folderOverride();
    return QDir::cleanPath(QCoreApplication::applicationDirPath());
}

QString setProgramFolder(const QString& folder)
{
    return std::exchange(folderOverride(), folder.isEmpty() ? QString() : QDir::cleanPath(folder));
}

QString connectionStringFor(const QString& folder, const QString& fileName)
{
    return QStringLiteral("Provider=SQLite;Password=;Data Source=") + folder + QLatin1Char('/') + fileName
        + QStringLiteral(";Persist Security Info=True");
}

QString& applicationConnectionString()
{
    static QString value;
    return value;
}

QString eventDatabaseConnectionString() { return gps::component().CreateDataLink()->connectionString(); }

QString eventDatabasePath() { return programFolder() + QStringLiteral("/Nomrel.mdb"); }

// Both procedures act on the first row the query returns; neither creates a
// row. The name is bound, not spliced into the text.
QString Get_Parameter_Value(const QString& name)
{
    db::Connection connection(applicationConnectionString());
    db::Recordset rows = connection.open(kParameterQuery, {db::Value::text(name)});
    return rows.field(QStringLiteral("PARAMETER_VALUE")).toString();
}

void Set_Parameter_Value(const QString& name, const QString& value)
{
    db::Connection connection(applicationConnectionString());
    db::Recordset rows = connection.openForUpdate(kParameterQuery, {db::Value::text(name)});
    rows.setField(QStringLiteral("PARAMETER_VALUE"), db::Value::text(value));
    rows.update();
}

} // namespace Driver
