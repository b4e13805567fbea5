#pragma once

// The data layer over SQLite, shaped after what the program needs of its
// databases: open by connection string, run a text query and walk its rows,
// read a column of the current row by name, assign a column and save the row,
// execute a statement, and (for the receiver component) transactions. Every
// handle is owned by RAII; every failure is a ZeptaError with the engine's
// message, the file and the SQL.

#include "platform/DbConnection.h"
#include "platform/DbRecordset.h"
#include "platform/DbStatement.h"
#include "platform/DbTime.h"
#include "platform/DbValue.h"
#include "platform/Error.h"
