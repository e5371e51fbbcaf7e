// The last step of every run that reaches a result.
#pragma once

#include "messages/catalogue.h"
#include "messages/console.h"
#include "platform/platform.h"

namespace messages {

/// Unless quiet, prints "Press any key to exit." and waits for one key press on the console;
/// then releases the current catalogue when it was loaded from a file.
void RunExitTail(platform::Platform& platform, Console& console, Catalogue* current,
                 bool catalogue_loaded, bool quiet);

}  // namespace messages
