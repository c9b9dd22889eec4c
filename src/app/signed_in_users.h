// What a reinstall run as SYSTEM does for the users signed in to the machine
// (a package's deferred custom actions, a deployment tool): its own default
// printer and HKEY_CURRENT_USER are the system account's, never theirs. So
// before any printer goes it asks each of them, through a short step of the
// installer run as that user (app/user_steps.h), which product printer is
// their default; once the printers are back it gives each the default back
// and clears the "deleted" marks of the product's printers in their own
// settings keys, through the same kind of step. A run as any other account
// does nothing here.
#pragma once

#include "core/handles.h"
#include "core/install_run.h"

// One session the system listed when the run began, and what its steps came to.
struct UserSession {
    DWORD id;
    // The token of the session's user, kept for both rounds, so that the
    // second acts for the user the first asked; empty without one.
    UniqueHandle token;
    // 1 + the index in the run's printers of the user's default printer when
    // it is a product printer; 0 for none.
    UINT32 defaultEntry;
    // Why the session's step failed to start; 0 else.
    DWORD error;
    // The step of the round under way, until its answer is read.
    HANDLE process;
};

// The sessions of one round, in a block of the fixed global heap, each made
// in place and ended by FreeSignedInUsers.
struct SignedInUsers {
    UserSession* sessions;
    DWORD count;
};

// Before the product's printers go: the users signed in, and the default
// printer of each. Nothing (no call, no line) unless the run is SYSTEM's.
void AskSignedInUsers(InstallRun& run, SignedInUsers& users);
// After they are back: each of those users gets a product printer that was
// the default back, and the "deleted" marks of the product's printers as
// they are now cleared in the user's own settings keys.
void RestoreSignedInUsers(InstallRun& run, SignedInUsers& users);
// Closes the users' tokens and frees the list.
void FreeSignedInUsers(SignedInUsers& users);
