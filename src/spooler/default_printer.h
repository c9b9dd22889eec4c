// The user's default printer: marked in the run's printer snapshot, checked
// by the start-up check, and set to the first product printer on request.
#pragma once

#include "core/install_run.h"

void MarkDefaultPrinter(InstallRun& run);
bool DefaultPrinterCheck();
void SetProductPrinterDefault();
