// SETUP.EXE's version stamp, where the program's own stamp search finds it first.
//
// The search takes the first start marker within a file's first 100000 bytes. The linker puts
// the input sections named .init first in .text, the image's first section, whose data begins
// right after the headers (offset 0x400), and nothing else in the image has such a section: the
// stamp lies at the start of the code, well before the program's own marker constants in .rdata.
#include "setup_version.h"

[[gnu::section(".init"), gnu::used]] extern const char kSetupVersionStamp[] = SETUP_VERSION_STAMP;
