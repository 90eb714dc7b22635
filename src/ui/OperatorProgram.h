#pragma once

// The program with windows: the application-wide settings of the operator
// interface, the main window, the splash, and the exits (the confirmed exit,
// SIGTERM, SIGINT and the session's logout). g_PrefsMgr must exist; the
// QApplication must exist.
// Returns the program's exit code.
int RunOperatorProgram();

// What every window of the program relies on: the program ends only through
// its exit steps, never because its last visible window closed; icons from the
// desktop theme with Adwaita behind it; the core's messages shown as queued,
// non-modal boxes.
void ConfigureOperatorApplication();
