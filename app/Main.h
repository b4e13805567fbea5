#pragma once

namespace Driver
{

// Start-up: the splash window for its five seconds, then both connection
// strings, the application database checked, the main window shown. Throws
// ZeptaError when the program cannot start.
void Main();

} // namespace Driver
