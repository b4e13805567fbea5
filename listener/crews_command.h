#pragma once

#include <QStringList>

namespace listener
{

// zepta-listener crews add NAME | list | revoke NAME, with --pg CONNINFO or
// --out FILE naming the store as for the server. `add` prints the new key on
// standard output, once. Returns the exit status.
int runCrewsCommand(const QStringList& arguments);

} // namespace listener
