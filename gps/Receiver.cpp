#include "gps/Receiver.h"

// The interface's meta-object is generated for this translation unit.
