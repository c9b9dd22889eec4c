// The product's printers: removed with their settings reference saved, and
// re-created on reinstall.
#pragma once

#include "core/install_run.h"

void FreeSavedPrinters(SavedPrinter*& head);
