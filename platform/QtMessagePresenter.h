#pragma once

#include "platform/Messages.h"

// The real presenter: a modal QMessageBox with the kind's icon and buttons.
MessageAnswer showQtMessageBox(const Message& message);
