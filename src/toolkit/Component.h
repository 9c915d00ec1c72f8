// Owned components: an owner frees what it owns, components know when their owner is loading
// its definition, and a component can ask to be told when another one is freed.
#pragma once

#include <string>
#include <vector>

enum TOperation { opInsert, opRemove };

enum TComponentStateFlag : unsigned { csLoading = 1, csDestroying = 2 };

class TComponent {
public:
    explicit TComponent(TComponent* owner = nullptr);
    // Tells the components that asked for it, then frees every owned component (last first).
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& name) { FName = name; }
    unsigned ComponentState() const { return FState; }
    bool Loading() const { return (FState & csLoading) != 0; }

    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int index) const;

    // Bracket for applying a stored definition: setters see Loading() true in between, and
    // Loaded() runs at the end (for this component and everything it owns).
    void BeginLoading();
    void EndLoading();

    // Asks to be told (Notification with opRemove) when component is freed.
    void FreeNotification(TComponent* component);
    void RemoveFreeNotification(TComponent* component);

protected:
    virtual void Loaded() {}
    virtual void Notification(TComponent* component, TOperation operation);

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

    TComponent* FOwner = nullptr;
    std::string FName;
    unsigned FState = 0;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;
};
