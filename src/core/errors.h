// Every error the installer logs, by its number and text: "Error(N): text".
// The numbers and texts are a public contract (the README's error table, the
// event log, setup authors' scripts), so each is written here once, and kept
// character for character, misspellings included. A text is a LogError
// format: %s is a wide string, %hs a narrow one.
#pragma once

#include <windows.h>

// X(name, number, text), every number from 1 up in order: a number no error
// has yet stands with an empty text.
#define ZRL_ERRORS(X)                                                                             \
    X(kErrorOpenServiceManager, 1, "Can't open service manager.")                                 \
    X(kErrorOpenSpooler, 2, "Can't open the spooler")                                             \
    X(kErrorStopSpooler, 3, "Can't stop the spooler")                                             \
    X(kErrorStartSpooler, 4, "Can't start the spooler")                                           \
    X(kErrorControlService, 5, "ControlService failed with code %d (0x%x)")                       \
    X(kErrorDriverDirectory, 6, "Can`t retrieve printer driver directory.")                       \
    X(kErrorSystemDirectory, 7, "Can`t retrieve system directory.")                               \
    X(kErrorCopyFile, 8, "CopyFile(..,%s)")                                                       \
    X(kErrorOpenDestination, 9, "Cant't open destination file: %s")                               \
    X(kErrorOpenSource, 10, "Cant't open source file: %s")                                        \
    X(kErrorInstallMonitor, 11, "Can`t install a local port monitor'Zantorelle:'")                \
    X(kErrorRemoveMonitor, 12, "Can`t remove the port monitor 'Zantorelle:'")                     \
    X(kErrorInstallDriver, 13, "Can`t install a printer driver '%s'")                             \
    X(kErrorRemoveDriver, 14, "Can`t remove the printer-driver '%s'")                             \
    X(kErrorAddPrinter, 15, "Can`t add printer '%s'")                                             \
    X(kErrorOpenPrinter, 16, "Can`t open printer '%s'")                                           \
    X(kErrorDeletePrinter, 17, "Can`t delete printer '%s'")                                       \
    X(kErrorJournalPrinter, 18, "Can`t journal printer '%s'")                                     \
    X(kErrorRestorePrinter, 19, "Can`t restore printer '%s' completely")                          \
    X(kErrorOtherRunGoesOn, 20, "Another install or uninstall is still running after %d minutes") \
    X(kErrorReadJournalEntry, 21, "Can`t read the journal entry of printer '%s'")                 \
    X(kErrorFlushPrinters, 22, "Can`t write the spooler's printers to disk")                      \
    X(kErrorComponentMissing, 23,                                                                 \
      "The printer component '%s' is missing from the installer's folder or cannot be read")      \
    X(kErrorComponentNotX64Dll, 24, "The printer component '%s' is not a whole x64 DLL: %hs")     \
    X(kErrorProcessorNotX64, 25,                                                                  \
      "This machine's processor is %s: its print spooler cannot load the product's x64 "          \
      "printer driver and port monitor")                                                          \
    X(kErrorProtectedPrint, 26,                                                                   \
      "Windows protected print mode is on (%s is 1 in HKEY_LOCAL_MACHINE\\%s): Windows "          \
      "admits no printer drivers but its own; turn it off to install")                            \
    X(kErrorSpoolerDisabled, 27,                                                                  \
      "The print spooler service is disabled: an administrator must let it start before the "     \
      "product can be installed")                                                                 \
    X(kErrorRunDeadline, 28, "The run did not end within %d minutes: it was still %hs")           \
    X(kErrorNoRunLock, 29, "Can`t have the run lock: this run goes on without it")                \
    X(kErrorUnused30, 30, "")                                                                     \
    X(kErrorUnused31, 31, "")                                                                     \
    X(kErrorUnused32, 32, "")                                                                     \
    X(kErrorUnused33, 33, "")                                                                     \
    X(kErrorUnused34, 34, "")                                                                     \
    X(kErrorLearnUserDefault, 35, "Can`t learn the default printer of session %d's user")         \
    X(kErrorRestoreUserDefault, 36,                                                               \
      "Can`t restore the default printer and settings of session %d's user")                      \
    X(kErrorUserStepTimedOut, 37, "The step for session %d's user did not end within %d seconds") \
    X(kErrorListSessions, 38, "Can`t list the sessions of the signed-in users")

enum ErrorNumber : INT32 {
#define ZRL_ERROR_NUMBER(name, number, text) name = number,
    ZRL_ERRORS(ZRL_ERROR_NUMBER)
#undef ZRL_ERROR_NUMBER
};

// The text of error `number`; "" for a number the table does not hold.
const char* ErrorFormat(ErrorNumber number);
