#include "app/procedures.h"

// TEMPORARY: the procedures are sequenced once their steps exist.
void ReInstall(InstallRun&) {}
void UninstallAndCleanUp(InstallRun&) {}
bool PendingFilesCheck() {
    return false;
}
