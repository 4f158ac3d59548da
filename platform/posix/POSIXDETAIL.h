// What the POSIX sources of the platform layer share: the one path
// conversion, and the signal handling of the process (process.cpp), which
// the console and the replacement tell what to undo when a signal ends or
// stops the run.
#pragma once

#include <termios.h>

#include <string>

namespace platform::posix {

// The program holds paths as its users write them, backslashes included;
// the system only understands '/'. The one place that turns one into the
// other (paths.cpp).
std::string system_path(const char* path);

// Installs the signal handlers of start_process once; later calls do
// nothing. Signals that are ignored when it runs stay ignored.
void install_signal_handlers();

// A file that an ending signal removes before the signal takes effect.
// Returns the slot to give to disarm_removal, or -1 when no slot is free or
// the path is too long to keep (the file is then left to the normal clean-up).
int arm_removal(const char* path);
void disarm_removal(int slot);

// Standard input is a terminal in raw mode for a key read, from here to
// leave_raw: `user` are the settings that every way out gives back (an
// ending signal, a stop, the exit), `raw` those taken again when the run is
// continued after a stop.
void enter_raw(const termios& user, const termios& raw);
void leave_raw();

}  // namespace platform::posix
