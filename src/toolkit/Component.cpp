#include "toolkit/Component.h"

#include "toolkit/Exception.h"

#include <algorithm>

TComponent::TComponent(TComponent* owner) {
    if (owner)
        owner->InsertComponent(this);
}

TComponent::~TComponent() {
    FState |= csDestroying;
    // Whoever watches us must forget us before we are gone.
    while (!FFreeNotifies.empty()) {
        TComponent* other = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        auto& theirs = other->FFreeNotifies;
        theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
        other->Notification(this, opRemove);
    }
    while (!FComponents.empty())
        delete FComponents.back(); // each removes itself from our list
    if (FOwner)
        FOwner->RemoveComponent(this);
}

TComponent* TComponent::Components(int index) const {
    if (index < 0 || index >= ComponentCount())
        throw EListError::IndexOutOfBounds(index);
    return FComponents[static_cast<size_t>(index)];
}

void TComponent::BeginLoading() {
    FState |= csLoading;
    for (TComponent* c : FComponents)
        c->BeginLoading();
}

void TComponent::EndLoading() {
    for (TComponent* c : FComponents)
        c->EndLoading();
    FState &= ~csLoading;
    Loaded();
}

void TComponent::FreeNotification(TComponent* component) {
    if (!component || component == this)
        return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), component) == FFreeNotifies.end())
        FFreeNotifies.push_back(component);
    auto& theirs = component->FFreeNotifies;
    if (std::find(theirs.begin(), theirs.end(), this) == theirs.end())
        theirs.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
    if (!component)
        return;
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), component),
                        FFreeNotifies.end());
    auto& theirs = component->FFreeNotifies;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void TComponent::Notification(TComponent* component, TOperation operation) {
    (void)component;
    (void)operation;
}

void TComponent::InsertComponent(TComponent* component) {
    FComponents.push_back(component);
    component->FOwner = this;
    Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
    FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), component), FComponents.end());
    component->FOwner = nullptr;
    Notification(component, opRemove);
}
