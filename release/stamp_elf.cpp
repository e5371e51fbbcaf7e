// setup-sim's version stamp: the one SETUP.EXE carries, so that setup-sim on a simulated medium
// compares as the program it stands for.
//
// An ELF note (section type SHT_NOTE, from the name .note.*): the linker puts notes right after
// the program headers, within the first few hundred bytes, well before the program's own marker
// constants in .rodata. The note is well formed (name "ORVAN", type 1, the stamp as its
// description), as tools that list an image's notes expect.
#include <cstdint>

#include "setup_version.h"

namespace {

constexpr char kStamp[] = SETUP_VERSION_STAMP;

struct VersionNote {
  std::uint32_t name_size;
  std::uint32_t description_size;
  std::uint32_t type;
  char name[8];                                   // "ORVAN" and its NUL, padded to 4 bytes
  char description[(sizeof kStamp + 3) / 4 * 4];  // the stamp and its NUL, padded to 4 bytes
};

[[gnu::section(".note.orvan.version"), gnu::used,
  gnu::aligned(4)]] const VersionNote kVersionNote = {sizeof "ORVAN", sizeof kStamp, 1, "ORVAN",
                                                      SETUP_VERSION_STAMP};

}  // namespace
