// What an install can know in advance, checked before it changes anything:
// an install that would fail half-way on one of these would take the user's
// printers out of the spooler first. The "check" command runs the same
// checks for setup authors and deployment tools, before they lay down files.
#pragma once

#include "core/install_run.h"

// Logs one error line for each check that fails (numbers 23 to 27) and
// returns whether an install may go ahead. Reads the components from the
// run's `sourceDir`; changes nothing.
bool CheckBeforeInstall(InstallRun& run);
