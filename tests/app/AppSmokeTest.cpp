#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include "app/MainForm.h"
#include "app/QtMainThread.h"
#include "toolkit/Thread.h"

namespace {

class Worker : public TThread {
public:
    Worker() { Start(); }
    ~Worker() override { WaitFor(); }
    std::atomic<bool> handed{false};

protected:
    void Execute() override {
        Synchronize([this] { handed = TThread::IsMainThread(); });
    }
};

} // namespace

TEST(App, MainWindowShowsWithItsCaptionAndTheEventLoopServesHandOvers) {
    int argc = 1;
    char name[] = "lumisk";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    InstallMainThreadPump(app);
    TMainForm form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.windowTitle(), "Vexa 1.36");
    EXPECT_EQ(form.size(), QSize(514, 331));

    // A background thread's Synchronize is run by the Qt event loop, not by a manual pump.
    Worker w;
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.handed.load(); }, 30000));
}
