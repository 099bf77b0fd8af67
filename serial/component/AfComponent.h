/// \file
/// The component base: a non-visual object with an owner, a name and a tag. An owner destroys the
/// components it owns together with itself; any component can ask another to tell it when that one
/// goes away (free notification).
///
/// Two state flags: design mode (the component lives in a form designer; a component made with an
/// owner in design mode starts in it) and being destroyed (set when destruction starts, before any
/// part of the object is gone, and read by worker threads). There is no form designer in this
/// system: run mode is the normal state, and design mode is set only through SetDesigning.
///
/// After setting a component's properties, a program calls Loaded(), as a form does once it has
/// read its stored properties.
///
/// Everything here runs on the user-interface thread, except ComponentState(), which any thread
/// may read.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <vexora/serial/AfExceptions.h>
#include <vexora/serial/AfExport.h>
#include <vexora/serial/AfObject.h>

namespace vexora::serial {

/// Raised for a misused component (a name taken by another component of the same owner).
class VEXORA_SERIAL_API EComponentError : public Exception {
public:
    using Exception::Exception;
};

/// \name Component state
//@{
/// The flags of ComponentState(): the component lives in a form designer (csDesigning), its
/// destruction has started (csDestroying).
enum TComponentStateFlag : std::uint8_t {
    csDesigning = 0x01, ///< Lives in a form designer.
    csDestroying = 0x02 ///< Destruction has started.
};
using TComponentState = std::uint8_t;
//@}

/// An event that tells only who fired it.
using TNotifyEvent = std::function<void(TObject* Sender)>;

/// What Notification tells: a component was inserted into this owner, or removed (taken out or
/// destroyed).
enum TOperation : std::uint8_t { opInsert, opRemove };

/// A non-visual component: owner, owned components, name, tag, free notification and the two state
/// flags. Members allocate only for the lists they keep; nothing waits.
class VEXORA_SERIAL_API TComponent : public TObject {
public:
    /// Owner (may be null) takes ownership, and its design mode passes to the new component.
    explicit TComponent(TComponent* AOwner);
    /// Marks itself and its components as being destroyed, tells the components that asked for
    /// free notification, destroys the components it owns (the last inserted first) and leaves its
    /// owner.
    ~TComponent() override;

    /// The owner, or null.
    TComponent* Owner() const { return FOwner; }
    /// The number of owned components.
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    /// Owned component Index, in the order of insertion; std::out_of_range for a bad index.
    TComponent* Components(int Index) const { return FComponents.at(static_cast<std::size_t>(Index)); }
    /// The owned component with this name (compared as written), or null. An empty name is never
    /// found.
    TComponent* FindComponent(const std::string& AName) const;
    /// Moves a component under this owner (from its previous owner, if any); raises
    /// EComponentError `"A component named <name> already exists"` when this owner has one of its
    /// name.
    void InsertComponent(TComponent* AComponent);
    /// Releases a component from this owner without destroying it.
    void RemoveComponent(TComponent* AComponent);
    /// Destroys every owned component now, the last inserted first.
    void DestroyComponents();

    /// The name; empty until set.
    const std::string& Name() const { return FName; }
    /// Raises EComponentError `"A component named <name> already exists"` when another component
    /// of the same owner has the name; an empty name is always accepted.
    void SetName(const std::string& Value);
    /// A number free for the program's use; 0 until set.
    std::intptr_t Tag() const { return FTag; }
    /// Sets Tag.
    void SetTag(std::intptr_t Value) { FTag = Value; }

    /// The TComponentStateFlag bits. Any thread.
    TComponentState ComponentState() const { return FComponentState.load(std::memory_order_acquire); }
    /// Whether the component is in design mode. Any thread.
    bool Designing() const { return (ComponentState() & csDesigning) != 0; }
    /// Whether its destruction has started. Any thread.
    bool IsDestroying() const { return (ComponentState() & csDestroying) != 0; }
    /// Design mode of this component and of the components it owns. What a component sets up at
    /// construction for run mode (a port's core, for one) follows the mode it was made in.
    void SetDesigning(bool Value);
    /// Marks this component and the components it owns as being destroyed. A derived class whose
    /// destructor stops work that other threads may still report calls it first.
    void Destroying();

    /// AComponent gets Notification(this, opRemove) when this component is destroyed, and this one
    /// gets the same when AComponent is. Asking twice is asking once.
    void FreeNotification(TComponent* AComponent);
    /// Ends what FreeNotification asked for, both ways.
    void RemoveFreeNotification(TComponent* AComponent);

    /// Called once all properties are set. The base does nothing.
    virtual void Loaded() {}

protected:
    /// Told of components inserted into or removed from this owner, and of the end of components
    /// this one asked for free notification. The base does nothing.
    virtual void Notification(TComponent* AComponent, TOperation Operation);
    /// Expires with the component: code that calls out to a handler, which may destroy the
    /// component, looks at it before it touches the component again. Any thread; costs a
    /// reference count.
    std::weak_ptr<const bool> Alive() const { return FAlive; }

private:
    void SetStateFlag(TComponentStateFlag Flag, bool On);
    void AddFreeNotifier(TComponent* AComponent);
    void DropFreeNotifier(TComponent* AComponent);

    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;
    std::string FName;
    std::intptr_t FTag = 0;
    std::atomic<TComponentState> FComponentState{0};
    const std::shared_ptr<const bool> FAlive = std::make_shared<const bool>(true);
};

} // namespace vexora::serial
