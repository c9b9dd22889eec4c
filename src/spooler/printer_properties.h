// Everything a product printer had besides its name, port, driver, print
// processor and settings reference: read into a record before a reinstall
// deletes the printer, and given to the printer that takes its place.
//
// Carried: comment, location, share name, the attributes a user or an
// administrator sets (kCarriedAttributes), priority, default priority, start
// and until times, separator file, datatype, print-processor parameters, the
// print defaults (DEVMODE, driver-private part included), the security
// descriptor, directory publishing, every printer-data value under every key
// but the spooler's own (DsSpooler, DsDriver, PnPData) and "SubKey", and the
// default-printer mark.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "core/install_run.h"
#include "spooler/printer_record.h"

// Queued, direct, shared, hold mismatched documents, keep printed jobs,
// print spooled documents first, work offline, bidirectional support, raw
// only, published. Not "hidden" (reserved), "default" (the default mark
// carries it), nor what tells how the printer came to be (local, network,
// fax, pushed, terminal server): the spooler sets those itself.
inline constexpr DWORD kCarriedAttributes =
    PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_DIRECT | PRINTER_ATTRIBUTE_SHARED |
    PRINTER_ATTRIBUTE_ENABLE_DEVQ | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS |
    PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST | PRINTER_ATTRIBUTE_WORK_OFFLINE |
    PRINTER_ATTRIBUTE_ENABLE_BIDI | PRINTER_ATTRIBUTE_RAW_ONLY | PRINTER_ATTRIBUTE_PUBLISHED;

// Puts what the run's snapshot entry says of the printer, its security
// descriptor and its printer data into `record`. False, with the error of the
// read that failed, when the printer could not be read whole. `noSecurity`
// says the spooler keeps no security descriptors; the read sets it when the
// spooler says so.
bool ReadPrinterProperties(HANDLE printer, const PRINTER_INFO_2W& entry, BYTE& noSecurity,
                           RecordWriter& record);

// Gives the new printer what `saved` holds (comment and location always, the
// rest where the record has it) and makes it the default when it was. A
// property this machine refuses for good (sharing without the Server
// service, a separator file that is gone, ...) is left out with a line of
// its own. False, with the error, when anything else did not take.
bool ApplyPrinterProperties(InstallRun& run, HANDLE printer, const wchar_t* name,
                            const CarriedProperties& saved);
