/// \file
/// The root object class of the serial component: what a `Sender` of an event points to.
#pragma once

#include <vexora/serial/AfExport.h>

/// The serial component: every name of its layers (base, channel, core, component, widgets). The
/// comm platform's names are in the nested namespace vexora::serial::platform.
namespace vexora::serial {

/// The root of the component's classes. Every event handler gets the object that fires it as a
/// `TObject*` Sender (a port, a port core, a dispatcher); `dynamic_cast` reaches the class. Not
/// copyable; destroyed through its virtual destructor. Costs nothing; any thread.
class VEXORA_SERIAL_API TObject {
public:
    /// An object with nothing in it.
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    /// Virtual, so that deleting through a `TObject*` destroys the whole object.
    virtual ~TObject() = default;
};

} // namespace vexora::serial
