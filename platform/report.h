// Reporting to the user and ending the run.
//
// Every failure that ends an upgrade is told to the user once, in a
// task-modal message box with an OK button only and no icon, and then the
// process ends with exit code 0.  Natively the box is a line on standard
// error, which death tests match.
#pragma once

namespace qvr {

// Shows the fatal error report and returns when it is closed.  title
// defaults to "QVR Firwmare Upgrade Error".
void fatal_error_report(const char* text, const char* title = nullptr);

// Ends the whole process with exit code 0, from whatever thread calls it.
[[noreturn]] void end_run();

// The report followed by the end of the run.
[[noreturn]] void fatal_exit(const char* text);

// A plain message box (no owner, OK only) with its own caption, used where a
// failure is reported as a bare "Error" box.
void error_box(const char* text, const char* caption);

}  // namespace qvr
