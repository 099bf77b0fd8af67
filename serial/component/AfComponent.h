// The component base: a non-visual object with an owner, a name and a tag. An owner destroys the
// components it owns together with itself; any component can ask another to tell it when that
// one goes away (free notification).
//
// Two state flags: design mode (the component lives in a form designer; a component made with an
// owner in design mode starts in it) and being destroyed (set when destruction starts, before any
// part of the object is gone, and read by worker threads). There is no form designer in this
// system: run mode is the normal state, and design mode is set only through SetDesigning.
//
// After setting a component's properties, a program calls Loaded(), as a form does once it has
// read its stored properties.
//
// Everything here runs on the user-interface thread, except ComponentState(), which any thread
// may read.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "AfExceptions.h"
#include "AfObject.h"

// Raised for a misused component (a name taken by another component of the same owner).
class EComponentError : public Exception {
public:
    using Exception::Exception;
};

enum TComponentStateFlag : std::uint8_t {
    csDesigning = 0x01, // lives in a form designer
    csDestroying = 0x02 // destruction has started
};
using TComponentState = std::uint8_t;

enum TOperation : std::uint8_t { opInsert, opRemove };

class TComponent : public TObject {
public:
    // Owner (may be null) takes ownership, and its design mode passes to the new component.
    explicit TComponent(TComponent* AOwner);
    // Marks itself and its components as being destroyed, tells the components that asked for
    // free notification, destroys the components it owns (the last inserted first) and leaves
    // its owner.
    ~TComponent() override;

    TComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int Index) const { return FComponents.at(static_cast<std::size_t>(Index)); }
    // The owned component with this name (compared as written), or null. An empty name is never
    // found.
    TComponent* FindComponent(const std::string& AName) const;
    // Moves a component under this owner (from its previous owner, if any).
    void InsertComponent(TComponent* AComponent);
    // Releases a component from this owner without destroying it.
    void RemoveComponent(TComponent* AComponent);
    // Destroys every owned component now, the last inserted first.
    void DestroyComponents();

    const std::string& Name() const { return FName; }
    // Raises EComponentError "A component named <name> already exists" when another component
    // of the same owner has the name; an empty name is always accepted.
    void SetName(const std::string& Value);
    std::intptr_t Tag() const { return FTag; }
    void SetTag(std::intptr_t Value) { FTag = Value; }

    TComponentState ComponentState() const { return FComponentState.load(std::memory_order_acquire); }
    bool Designing() const { return (ComponentState() & csDesigning) != 0; }
    bool IsDestroying() const { return (ComponentState() & csDestroying) != 0; }
    // Design mode of this component and of the components it owns. What a component sets up at
    // construction for run mode (a port's core, for one) follows the mode it was made in.
    void SetDesigning(bool Value);
    // Marks this component and the components it owns as being destroyed. A derived class whose
    // destructor stops work that other threads may still report calls it first.
    void Destroying();

    // AComponent gets Notification(this, opRemove) when this component is destroyed, and this
    // one gets the same when AComponent is. Asking twice is asking once.
    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

    // Called once all properties are set.
    virtual void Loaded() {}

protected:
    // Told of components inserted into or removed from this owner, and of the end of components
    // this one asked for free notification.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

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
};
