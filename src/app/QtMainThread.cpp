#include "app/QtMainThread.h"

#include "toolkit/ExceptionReporter.h"
#include "toolkit/Thread.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>

void InstallMainThreadPump(QCoreApplication& app) {
    TThread::SetMainThread();
    QPointer<QCoreApplication> target(&app);
    SetWakeMainThread([target] {
        // Called from any thread: post, never run here.
        if (target)
            QMetaObject::invokeMethod(
                target, [] { CheckSynchronize(); }, Qt::QueuedConnection);
    });
}

void InstallMessageBoxErrorDisplay() {
    SetExceptionSink([](const std::string& message) {
        QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationDisplayName(),
                              QString::fromLocal8Bit(message.c_str()));
    });
}
