#pragma once

// Module Driver: start-up and all data work of the program. Procedures that
// "let errors pass" throw ZeptaError; those that trap their errors report them
// through Msg_Box and return normally.

#include "gps/EventObject.h"
#include "gps/Reading.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace Driver
{

// ---- folders and connection strings -------------------------------------------

// The folder that holds the program file, without a trailing separator. Tests
// and tools may point it elsewhere (an empty folder points it back), which
// makes that folder a program folder of its own; the setter returns what it
// replaced.
QString programFolder();
QString setProgramFolder(const QString& folder);

// Where the program keeps and finds its files. A program folder that holds
// zepta.mdb is self-contained (portable): everything is there. Otherwise
// Zepta is installed: each user's data in $XDG_DATA_HOME/zepta, the
// read-only files from the installed share folder.
struct Folders {
    bool installed = false;
    QString data; // zepta.mdb, Nomrel.mdb, Outbox.mdb, ports/, Maps/
    QString share; // Icons/, the help, the template of zepta.mdb
};
Folders foldersFor(const QString& programFolder);
// foldersFor(programFolder()), worked out once; a folder set with
// setProgramFolder is always a program folder of its own.
const Folders& folders();
inline QString dataFolder() { return folders().data; }
inline QString shareFolder() { return folders().share; }

// "Provider=SQLite;Password=;Data Source=" + folder + "/" + file +
// ";Persist Security Info=True"
QString connectionStringFor(const QString& folder, const QString& fileName);

// The module-level connection string of the application database (zepta.mdb),
// set once by Main.
QString& applicationConnectionString();

// The event database's connection string, as a fresh data-link object of the
// receiver component returns it.
QString eventDatabaseConnectionString();

// Full path of the event database in the data folder, for messages.
QString eventDatabasePath();

// ---- files the program keeps -------------------------------------------------

// Every file the program keeps in a data folder: its three databases
// (zepta.mdb, Nomrel.mdb, Outbox.mdb) and the side files SQLite may make for
// each (-journal, -wal, -shm), whether they exist at the moment or not, and
// the lock of an installed Zepta (zepta.lock).
QStringList keptFiles(const QString& dataFolder);
// Those of the data folder and of the folders the connection strings name.
QStringList keptFiles();
// Whether writing to `path` would write over one of `kept`, by whatever name
// it is reached: a symbolic or hard link, another spelling, another mount.
bool isKeptFile(const QString& path, const QStringList& kept);

// ---- configuration store -----------------------------------------------------

QString Get_Parameter_Value(const QString& name);
void Set_Parameter_Value(const QString& name, const QString& value);

// As Set_Parameter_Value for a key that has a row; a missing row is made.
void Save_Parameter_Value(const QString& name, const QString& value);

// The Restore Defaults value of a key; empty for EVENT_CATEGORY (the first
// category of the list) and for unknown keys.
QString Default_Parameter_Value(const QString& name);

// A setting read for an action that must go on whatever is stored: when the
// row is missing or Null, or the value fails `usable`, the user is told in
// "Zepta - Invalid Setting" (naming the key and the value, once per database,
// key and value) and the key's default is used. No stored setting ends the
// program.
QString Usable_Parameter_Value(const QString& name, const std::function<bool(const QString&)>& usable = {});
// Several settings read at one moment, in one query, each as above.
QStringList Usable_Parameter_Values(const QStringList& names);
// A setting beyond the first eleven, which older databases lack: a missing
// row, a Null or a database that cannot be read (logged) give an empty value,
// without a box.
QString Optional_Parameter_Value(const QString& name);
// A yes/no setting (boolean parameter text), read the same way.
bool Usable_Boolean_Parameter(const QString& name);
// EVENT_CATEGORY read the same way: a category of the catalogue, else the
// first one.
std::int16_t Usable_Event_Category();

// ACCURACY_LIMIT_M (metres, 0 to 10000, decimals allowed; 0 is off) and
// AVERAGING_SECONDS (whole seconds, 0 to 600; 0 is off), read as above: a value
// that is not one of these is reported once and the default, 0, used.
bool Valid_Accuracy_Limit(const QString& text);
bool Valid_Averaging_Seconds(const QString& text);
double Usable_Accuracy_Limit();
int Usable_Averaging_Seconds();
// Adds the rows of those two keys, with their defaults, to an application
// database made before they existed. Throws ZeptaError when it cannot.
void Add_Quality_Parameters();

// Checks at start-up that the application database opens and holds its
// settings table; throws a ZeptaError naming the file otherwise.
void Check_Application_Database();

// ---- event catalogue ---------------------------------------------------------

constexpr int kPaletteSlots = 8;
using SlotTypes = std::array<std::int16_t, kPaletteSlots>;
using SlotTexts = std::array<QString, kPaletteSlots>;

void Load_Event_Mappings(std::int16_t category, SlotTypes& eventTypes, SlotTexts& names, SlotTexts& icons);
QString Get_Event_Category_Name(std::int16_t category);
// Every category (EVENT_CATEGORY_ID, EVENT_CATEGORY_NAME) in the order
// "SELECT * FROM EVENT_CATEGORIES" returns them, for the dialog's list.
QList<std::pair<std::int32_t, QString>> Get_Event_Categories();
QString Get_Event_Type_Name(std::int16_t eventType);

// While one lives, Get_Event_Type_Name keeps each name after its first lookup
// (an export asks once per event); a type without a row still fails.
class EventTypeNamesKept
{
public:
    EventTypeNamesKept();
    ~EventTypeNamesKept();
    EventTypeNamesKept(const EventTypeNamesKept&) = delete;
    EventTypeNamesKept& operator=(const EventTypeNamesKept&) = delete;
};

// ---- event recording and XML posting -----------------------------------------

// Each returns whether the event was stored (or sent); failures are reported
// to the user inside, and the call returns normally.
// trackId: the tracking run the event belongs to (none when saved by hand).
bool Save_Event(std::int16_t eventType, const QString& notes, const gps::Reading& reading,
    std::optional<std::int64_t> trackId = std::nullopt);
bool Save_Event_Local(gps::EventObject& event);
// A new tracking run's id: the UTC time it starts, in milliseconds since 1970,
// later than any id this program gave before. Events of several crews stay
// apart by their client id.
std::int64_t New_Track_Id();
bool Save_Event_XML(gps::EventObject& event);

// ---- the outbox of the XML storage mode

class OutboxSender;
// The sender the program runs (tests install their own, or none: then events
// are only kept). Not owned.
OutboxSender* outboxSender();
OutboxSender* setOutboxSender(OutboxSender* sender);
// Outbox.mdb in the data folder.
QString outboxPath();
// "http://" + SERVER_IP + "/" + LISTENER_NAME, from the stored settings.
QString listenerUrl();
// Whether `address` is what SERVER_IP can hold: an IPv4 address or a host
// name, with an optional ":port" (1-65535) and an optional "https://" before.
bool Valid_Server_Address(const QString& address);
// Whether `key` can be sent as a bearer token: base64url and the other
// token characters, no space or line break that could end the header.
bool isCrewKeyText(const QString& key);
// LISTENER_KEY: the crew's key, empty for none. A stored key that cannot be
// sent is said once (never shown) and none is sent.
QString listenerKey();
// LISTENER_CA_FILE: the certificate authorities for an https:// listener;
// empty for the system's store.
QString listenerCaFile();

// ---- export and purge --------------------------------------------------------

enum class ExportFormat { Text, Gpx, GeoJson };

// The file types Save Data offers, text first: "Comma-separated text (*.txt
// *.csv)", "GPX 1.1 (*.gpx)", "GeoJSON (*.geojson)".
QStringList exportFileTypes();
QString exportFileType(ExportFormat format);
// The format a chosen file is written in: the one its extension names (.txt,
// .csv, .gpx, .geojson, .json, any letter case), else the chosen file type's
// (text for a type that is none of these).
ExportFormat exportFormatFor(const QString& path, const QString& fileType);

// Writes to a temporary file beside the target, put in its place when
// complete; shows a progress window with Cancel for a long export; reports
// the outcome in a message box.
// `only` (sorted event ids), when given, limits the export to those events.
void Export_Events_To_File(
    const QString& path, ExportFormat format = ExportFormat::Text, const std::vector<std::int64_t>* only = nullptr);
std::int32_t Count_Saved_Events();
void Delete_All_Events();

} // namespace Driver
