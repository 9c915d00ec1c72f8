// The application's standard error display: one settable sink that shows an exception's text.
// The window sets a modal message box, headless runs print to stderr, tests collect the texts.
#pragma once

#include <exception>
#include <functional>
#include <string>

using ExceptionSink = std::function<void(const std::string& message)>;

// Replaces the sink; returns the previous one. A null sink restores the default (stderr).
ExceptionSink SetExceptionSink(ExceptionSink sink);

// Shows the exception's text through the sink: at once on the main thread; queued for the main
// thread when called on another thread or inside a synchronized call (a thread waits for it).
void ShowException(const std::exception& error);
void ShowMessageText(const std::string& message);

// Runs a handler the way the event loop does: an exception that leaves it is shown and the
// program goes on. Returns false when the handler raised.
bool RunHandler(const std::function<void()>& handler);
