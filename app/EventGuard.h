#pragma once
// What happens to an error that escapes an event handler: the toolkit's
// default report, a message box with the error's text. Qt must never see
// an exception, so every handler entered from a signal or an event runs
// inside RunGuarded.

#include <functional>

class MessageBoxes;

// Ends a handler without any message (used by start-up after it has shown
// its own message). The guard swallows it.
struct SilentAbort {};

void RunGuarded(MessageBoxes& boxes, const std::function<void()>& handler);
