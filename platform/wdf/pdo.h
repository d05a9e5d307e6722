// Framework PDOs: a child list's child device answering the Plug and Play manager in place of a bus below
// it (IDs, texts, bus information, its own relation), and the WdfPdo* / WdfPdoInit* entry points.
//
// What a PDO answers comes from its device-init record's PDO settings (copied into the device at
// creation), the capabilities its driver set, and its parent's bus information for children.
#ifndef ZV_WDF_PDO_H
#define ZV_WDF_PDO_H

#include <ntddk.h>
#include <wdf.h>

#include <optional>
#include <string>
#include <vector>

namespace zv::wdf {

class Device;
struct PdoSettings;

// The IRP_MJ_PNP minor functions a PDO answers itself (IDs, texts, bus information, target relation).
// True when the IRP was one of them and has been completed (`*status` its status).
bool answerPdoQuery(Device& device, PIRP irp, NTSTATUS* status);

// The baseline capabilities a PDO reports before what its driver set goes over them.
void pdoBaseCapabilities(DEVICE_CAPABILITIES& capabilities);

// The text of `type` for `locale`: that locale's, else the default locale's (else the first text added);
// nothing when the PDO has none.
std::optional<std::u16string> pdoText(const PdoSettings& settings, DEVICE_TEXT_TYPE type, LCID locale);

// A pool string for an IRP_MN_QUERY_ID / QUERY_DEVICE_TEXT answer (NUL-terminated) or an ID list (each ID
// NUL-terminated, one more NUL at the end); the receiver frees it. nullptr when the pool is out.
PWCHAR allocatePoolString(const std::u16string& text);
PWCHAR allocatePoolMultiString(const std::vector<std::u16string>& items);

} // namespace zv::wdf

#endif // ZV_WDF_PDO_H
