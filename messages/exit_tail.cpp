#include "messages/exit_tail.h"

namespace messages {

void RunExitTail(platform::Platform& platform, Console& console, Catalogue* current,
                 bool catalogue_loaded, bool quiet) {
  if (!quiet) {
    console.Print(kPressAnyKey);
    platform.WaitForKeyPress();
  }
  if (catalogue_loaded) FreeCatalogue(current);
}

}  // namespace messages
