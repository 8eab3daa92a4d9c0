#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace qz::winapp {

// The program's start: the command line (nothing, or the device options: the virtual chip, a
// trace, a port; --station and its options), the single-instance rule, the device session and the
// dialog or the station window until it ends.
// Returns the process's exit code: 0, 64 for a bad command line, 74 when the devices cannot be
// set up (the reason is shown).
int InitInstance(HINSTANCE instance);

}  // namespace qz::winapp
