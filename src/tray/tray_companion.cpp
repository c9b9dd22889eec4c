#include "tray/tray_companion.h"

// TEMPORARY until the tray companion lands.
void StopTrayCompanion() {}
