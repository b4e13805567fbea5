#pragma once

#include "platform/Error.h"

#include <QString>

#include <functional>

// The message of the ZeptaError an action throws; empty when it throws none.
inline QString errorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ZeptaError& error) {
        return error.message();
    }
    return QString();
}
