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

// Puts what `entry` says of the printer, its security descriptor (with its
// auditing entries where this account may read them) and its printer data
// into `record` (printer_reading.cpp). False, with the error of the read that
// failed, when the printer could not be read whole. A spooler that keeps no
// security descriptors is not asked again in the run.
bool ReadPrinterProperties(InstallRun& run, HANDLE printer, const PRINTER_INFO_2W& entry,
                           RecordWriter& record);

// Gives the printer what `saved` holds and makes it the default when it was:
// owner and group (its access list went with AddPrinterW), auditing, printer
// data, then the print defaults through the driver's DocumentPropertiesW,
// sharing and the rest, and publishing last. A property this machine refuses
// for good (a share name taken, a separator file it cannot use, ...) is left
// out with a line of its own. False, with the error, when anything else did
// not take: `owed` then has the bits (FieldBit) of what a later install owes it.
bool ApplyPrinterProperties(InstallRun& run, HANDLE printer, const wchar_t* name,
                            const CarriedProperties& saved, DWORD& owed);
