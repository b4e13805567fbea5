#pragma once

#include "gps/DataLink.h"
#include "gps/EventObject.h"
#include "gps/Receiver.h"

#include <memory>

namespace gps
{

// The receiver component as the program reaches it: the one factory of its
// three classes. The program installs the real component at start-up; tests
// install one with a scripted receiver.
class Component
{
public:
    virtual ~Component() = default;
    virtual std::unique_ptr<Receiver> CreateReceiver() = 0;
    virtual std::unique_ptr<EventObject> CreateEvent() = 0;
    virtual std::unique_ptr<DataLink> CreateDataLink() = 0;
};

// The installed component; throws ZeptaError when there is none.
Component& component();
// Installs a component (not owned) and returns the one it replaces.
Component* setComponent(Component* component);

} // namespace gps
