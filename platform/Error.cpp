#include "platform/Error.h"

namespace
{
struct Wording {
    const char* found; // in the engine's or the system's message
    const char* reason;
};

// Most telling first: a message may hold several of these.
const Wording kWordings[] = {
    {"one of the program's", "the file is one of Zepta's own databases"},
    {"disk is full", "the disk is full"},
    {"No space left", "the disk is full"},
    {"File too large", "the disk is full"},
    {"Disk quota", "the disk is full"},
    {"readonly", "the file or its folder is read-only"},
    {"read-only", "the file or its folder is read-only"},
    {"Permission denied", "the file or its folder is read-only"},
    {"not writable", "the file or its folder is read-only"},
    {"not permitted", "the file or its folder is read-only"},
    {"not a database", "the file is not a Zepta database"},
    {"no such table", "the file is not a Zepta database"},
    {"no such column", "the file is not a Zepta database"},
    {"Item not found", "the file is not a Zepta database"},
    {"malformed", "the file is damaged"},
    {"corrupt", "the file is damaged"},
    {"does not exist", "the file or its folder does not exist"},
    {"No such file", "the file or its folder does not exist"},
    {"Is a directory", "the name is that of a folder"},
    {"refers to a directory", "the name is that of a folder"},
    {"neither a file nor", "the name is that of a pipe or a device, not a file"},
    {"locked", "another program is using the file; try again in a moment"},
    {"busy", "another program is using the file; try again in a moment"},
    {"I/O error", "the disk could not be read or written"},
    {"Input/output error", "the disk could not be read or written"},
    {"unable to open", "the file cannot be opened"},
    {"outside the earth", "its position is off the earth"},
    {"Invalid use of Null", "a value is missing (Null)"},
    {"Type mismatch", "a value is not of the kind expected"},
    {"Overflow", "a number is too large"},
    {"No current record", "a row is missing"},
};
} // namespace

QString plainReason(const QString& details)
{
    for (const Wording& wording : kWordings)
        if (details.contains(QLatin1String(wording.found), Qt::CaseInsensitive))
            return QLatin1String(wording.reason);
    return QStringLiteral("an unexpected error (the details are in the log)");
}
