// Joins the runtime layer to the Qt event loop: calls handed to the main thread by background
// threads run from the event loop, and the standard error display is a modal message box.
#pragma once

class QCoreApplication;

// Wakes the event loop whenever a background thread hands a call to the main thread.
void InstallMainThreadPump(QCoreApplication& app);

// Sends the standard error display to a modal message box.
void InstallMessageBoxErrorDisplay();
