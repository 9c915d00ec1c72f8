#include "toolkit/Component.h"

#include "toolkit/Exception.h"
#include "toolkit/OwnedList.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

std::vector<std::string> destroyed;

class Probe : public TComponent {
public:
    Probe(TComponent* owner, const std::string& name) : TComponent(owner) { SetName(name); }
    ~Probe() override { destroyed.push_back(Name()); }
    TComponent* watched = nullptr;
    bool loadedCalled = false;
    bool loadingSeenBySetter = false;
    void SetSomething() { loadingSeenBySetter = Loading(); }

protected:
    void Notification(TComponent* c, TOperation op) override {
        if (op == opRemove && c == watched)
            watched = nullptr;
    }
    void Loaded() override { loadedCalled = true; }
};

} // namespace

TEST(Component, OwnerFreesOwnedComponentsAndWatchersForgetFreedOnes) {
    destroyed.clear();
    auto* form = new Probe(nullptr, "form");
    auto* port = new Probe(form, "port");
    auto* combo = new Probe(form, "combo");
    auto* outsider = new Probe(nullptr, "outsider");
    combo->watched = port;
    combo->FreeNotification(port);
    outsider->watched = combo;
    outsider->FreeNotification(combo);

    delete port; // freed early: leaves its owner's list and the combo forgets it
    EXPECT_EQ(combo->watched, nullptr);
    EXPECT_EQ(form->ComponentCount(), 1);

    delete form;
    EXPECT_EQ(outsider->watched, nullptr);
    EXPECT_EQ(destroyed, (std::vector<std::string>{"port", "form", "combo"}));
    delete outsider;
}

TEST(Component, LoadingBracketReachesOwnedComponents) {
    Probe form(nullptr, "form");
    auto* port = new Probe(&form, "port");
    form.BeginLoading();
    port->SetSomething();
    EXPECT_TRUE(port->loadingSeenBySetter);
    form.EndLoading();
    EXPECT_TRUE(port->loadedCalled);
    EXPECT_FALSE(port->Loading());
    EXPECT_THROW(form.Components(1), EListError);
}

TEST(OwnedList, IndexOutsideRaisesListError) {
    TOwnedList<int> list;
    list.Emplace(5);
    EXPECT_EQ(list[0], 5);
    try {
        list.Items(-1);
        FAIL();
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (-1)");
    }
    EXPECT_THROW(list.Delete(1), EListError);
}
