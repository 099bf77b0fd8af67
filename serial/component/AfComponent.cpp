#include <vexora/serial/AfComponent.h>

#include <algorithm>

namespace vexora::serial {

TComponent::TComponent(TComponent* AOwner)
{
    if (!AOwner)
        return;
    if (AOwner->Designing())
        SetStateFlag(csDesigning, true);
    AOwner->InsertComponent(this);
}

TComponent::~TComponent()
{
    Destroying();
    const std::vector<TComponent*> notifies = std::move(FFreeNotifies);
    FFreeNotifies.clear();
    for (TComponent* other : notifies) {
        other->DropFreeNotifier(this);
        other->Notification(this, opRemove);
    }
    DestroyComponents();
    if (FOwner)
        FOwner->RemoveComponent(this);
}

TComponent* TComponent::FindComponent(const std::string& AName) const
{
    if (AName.empty())
        return nullptr;
    for (TComponent* component : FComponents)
        if (component->FName == AName)
            return component;
    return nullptr;
}

void TComponent::InsertComponent(TComponent* AComponent)
{
    if (!AComponent || AComponent->FOwner == this)
        return;
    if (FindComponent(AComponent->FName))
        throw EComponentError("A component named " + AComponent->FName + " already exists");
    if (AComponent->FOwner)
        AComponent->FOwner->RemoveComponent(AComponent);
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
    Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent)
{
    const auto found = std::find(FComponents.begin(), FComponents.end(), AComponent);
    if (found == FComponents.end())
        return;
    FComponents.erase(found);
    AComponent->FOwner = nullptr;
    Notification(AComponent, opRemove);
}

void TComponent::DestroyComponents()
{
    for (TComponent* component : FComponents)
        component->Destroying();
    while (!FComponents.empty())
        delete FComponents.back(); // its destructor takes it out of the list
}

void TComponent::SetName(const std::string& Value)
{
    if (Value == FName)
        return;
    if (FOwner && FOwner->FindComponent(Value))
        throw EComponentError("A component named " + Value + " already exists");
    FName = Value;
}

void TComponent::SetDesigning(bool Value)
{
    SetStateFlag(csDesigning, Value);
    for (TComponent* component : FComponents)
        component->SetDesigning(Value);
}

void TComponent::Destroying()
{
    if (IsDestroying())
        return;
    SetStateFlag(csDestroying, true);
    for (TComponent* component : FComponents)
        component->Destroying();
}

void TComponent::FreeNotification(TComponent* AComponent)
{
    if (!AComponent || AComponent == this)
        return;
    AddFreeNotifier(AComponent);
    AComponent->AddFreeNotifier(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent)
{
    if (!AComponent)
        return;
    DropFreeNotifier(AComponent);
    AComponent->DropFreeNotifier(this);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation)
{
    (void)AComponent;
    (void)Operation;
}

void TComponent::SetStateFlag(TComponentStateFlag Flag, bool On)
{
    if (On)
        FComponentState.fetch_or(Flag, std::memory_order_acq_rel);
    else
        FComponentState.fetch_and(static_cast<TComponentState>(~Flag), std::memory_order_acq_rel);
}

void TComponent::AddFreeNotifier(TComponent* AComponent)
{
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
        FFreeNotifies.push_back(AComponent);
}

void TComponent::DropFreeNotifier(TComponent* AComponent)
{
    std::erase(FFreeNotifies, AComponent);
}

} // namespace vexora::serial
