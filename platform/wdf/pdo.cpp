// Framework PDOs: the WdfPdoInit* calls that fill a child's device-init record, the PDO's answers to the
// Plug and Play manager's queries, and the WdfPdo* calls of a child device.
#include "platform/wdf/pdo.h"

#include "platform/wdf/child_list.h"
#include "platform/wdf/device.h"
#include "platform/wdf/device_stack.h"
#include "platform/wdf/io_config.h"
#include "platform/wdf/string.h"

#include <cstdlib>
#include <cstring>

namespace zv::wdf {

PWCHAR allocatePoolString(const std::u16string& text) {
    auto* buffer = static_cast<char16_t*>(std::malloc((text.size() + 1) * sizeof(char16_t)));
    if (buffer == nullptr)
        return nullptr;
    std::memcpy(buffer, text.data(), text.size() * sizeof(char16_t));
    buffer[text.size()] = u'\0';
    return reinterpret_cast<PWCHAR>(buffer);
}

PWCHAR allocatePoolMultiString(const std::vector<std::u16string>& items) {
    std::u16string all;
    for (const std::u16string& item : items) {
        all += item;
        all.push_back(u'\0');
    }
    // An empty list is one NUL; allocatePoolString adds the list's final NUL.
    if (items.empty())
        all.push_back(u'\0');
    return allocatePoolString(all);
}

std::optional<std::u16string> pdoText(const PdoSettings& settings, DEVICE_TEXT_TYPE type, LCID locale) {
    if (type != DeviceTextDescription && type != DeviceTextLocationInformation)
        return std::nullopt;
    auto pick = [&](const PdoSettings::Text& t) -> std::optional<std::u16string> {
        return type == DeviceTextDescription ? std::optional<std::u16string>(t.description) : t.location;
    };
    for (const PdoSettings::Text& t : settings.texts)
        if (t.locale == locale)
            return pick(t);
    // The default locale's; a record that never named one falls back to the first text added.
    if (settings.defaultLocale) {
        for (const PdoSettings::Text& t : settings.texts)
            if (t.locale == *settings.defaultLocale)
                return pick(t);
        return std::nullopt;
    }
    if (!settings.texts.empty())
        return pick(settings.texts.front());
    return std::nullopt;
}

void pdoBaseCapabilities(DEVICE_CAPABILITIES& c) {
    // A framework PDO, as the framework reports one before its driver's settings: working in D0, D3 in
    // every sleeping state, no wake, nothing special about removal.
    c.DeviceD1 = 0;
    c.DeviceD2 = 0;
    c.WakeFromD0 = c.WakeFromD1 = c.WakeFromD2 = c.WakeFromD3 = 0;
    c.LockSupported = c.EjectSupported = c.Removable = c.DockDevice = 0;
    c.UniqueID = c.SilentInstall = c.RawDeviceOK = c.SurpriseRemovalOK = 0;
    c.HardwareDisabled = c.NonDynamic = c.WarmEjectSupported = c.NoDisplayInUI = 0;
    c.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    c.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < POWER_SYSTEM_MAXIMUM; ++s)
        c.DeviceState[s] = PowerDeviceD3;
    c.SystemWake = PowerSystemUnspecified;
    c.DeviceWake = PowerDeviceUnspecified;
    c.D1Latency = c.D2Latency = c.D3Latency = 0;
}

namespace {

NTSTATUS answerWith(PIRP irp, PWCHAR answer) {
    if (answer == nullptr)
        return completeIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
    return completeIrp(irp, STATUS_SUCCESS);
}

// What the PDO does not know keeps the status the IRP came with.
NTSTATUS leave(PIRP irp) {
    return completeIrp(irp, irp->IoStatus.Status);
}

NTSTATUS queryId(Device& device, PIRP irp) {
    const PdoSettings& pdo = device.pdoSettings();
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            return pdo.deviceId ? answerWith(irp, allocatePoolString(*pdo.deviceId)) : leave(irp);
        case BusQueryInstanceID:
            return pdo.instanceId ? answerWith(irp, allocatePoolString(*pdo.instanceId)) : leave(irp);
        case BusQueryHardwareIDs:
            return pdo.hardwareIds.empty() ? leave(irp)
                                           : answerWith(irp, allocatePoolMultiString(pdo.hardwareIds));
        case BusQueryCompatibleIDs:
            return pdo.compatibleIds.empty() ? leave(irp)
                                             : answerWith(irp, allocatePoolMultiString(pdo.compatibleIds));
        default:
            return leave(irp);
    }
}

NTSTATUS queryText(Device& device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::optional<std::u16string> text =
        pdoText(device.pdoSettings(), stack->Parameters.QueryDeviceText.DeviceTextType,
                stack->Parameters.QueryDeviceText.LocaleId);
    return text ? answerWith(irp, allocatePoolString(*text)) : leave(irp);
}

NTSTATUS queryBusInformation(Device& device, PIRP irp) {
    Device* parent = device.parentDevice();
    if (parent == nullptr || !parent->busInformation())
        return leave(irp);
    auto* information = static_cast<PPNP_BUS_INFORMATION>(std::malloc(sizeof(PNP_BUS_INFORMATION)));
    if (information == nullptr)
        return completeIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    *information = *parent->busInformation();
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(information);
    return completeIrp(irp, STATUS_SUCCESS);
}

NTSTATUS targetRelation(Device& device, PIRP irp) {
    PDEVICE_RELATIONS relations = allocateDeviceRelations(1);
    if (relations == nullptr)
        return completeIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    ObReferenceObject(device.deviceObject());
    relations->Objects[0] = device.deviceObject();
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return completeIrp(irp, STATUS_SUCCESS);
}

} // namespace

bool answerPdoQuery(Device& device, PIRP irp, NTSTATUS* status) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ID:
            *status = queryId(device, irp);
            return true;
        case IRP_MN_QUERY_DEVICE_TEXT:
            *status = queryText(device, irp);
            return true;
        case IRP_MN_QUERY_BUS_INFORMATION:
            *status = queryBusInformation(device, irp);
            return true;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
                return false;
            *status = targetRelation(device, irp);
            return true;
        default:
            return false;
    }
}

} // namespace zv::wdf

using namespace zv::wdf;

namespace {

// The live record behind a create-device callback's pointer, for a WdfPdoInit* call: a function driver's
// record is refused.
zv::wdf::DeviceInit* pdoInitFor(PWDFDEVICE_INIT handle, const char* routine) {
    enterCall(routine, true);
    zv::wdf::DeviceInit* init = zv::wdf::DeviceInit::fromHandle(handle, routine);
    if (init != nullptr && init->kind() != zv::wdf::DeviceInit::Kind::Pdo) {
        reportViolation(rule::kBadParameter, nullptr, routine, init->describe() + " is not a child's record");
        return nullptr;
    }
    return init;
}

// An ID or text argument: well formed and without an embedded NUL (which would end the string early in a
// REG_MULTI_SZ-style answer). Device, hardware and compatible IDs must not be empty either; an instance ID
// or a text may be.
bool idArgument(PCUNICODE_STRING s, const char* routine, const char* what, std::u16string* out,
                bool mayBeEmpty = false) {
    std::u16string_view text;
    if (!argumentText(s, nullptr, routine, what, &text))
        return false;
    if ((text.empty() && !mayBeEmpty) || text.find(u'\0') != std::u16string_view::npos) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        std::string("the ") + what + (text.empty() ? " is empty" : " holds a NUL"));
        return false;
    }
    *out = std::u16string(text);
    return true;
}

zv::wdf::Device* childDeviceFor(WDFDEVICE handle, const char* routine, zv::wdf::ChildList** list) {
    enterCall(routine);
    auto* device = resolve<zv::wdf::Device>(handle, routine);
    if (device == nullptr)
        return nullptr;
    *list = device->childList();
    if (*list == nullptr) {
        reportViolation(rule::kBadParameter, device, routine, "not the device of a child list's child");
        return nullptr;
    }
    return device;
}

} // namespace

EXTERN_C NTSTATUS WdfPdoInitAssignDeviceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceID) {
    constexpr const char* routine = "WdfPdoInitAssignDeviceID";
    zv::wdf::DeviceInit* init = pdoInitFor(DeviceInit, routine);
    std::u16string id;
    if (init == nullptr || !idArgument(DeviceID, routine, "device ID", &id))
        return STATUS_INVALID_PARAMETER;
    init->pdo().deviceId = std::move(id);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfPdoInitAssignInstanceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING InstanceID) {
    constexpr const char* routine = "WdfPdoInitAssignInstanceID";
    zv::wdf::DeviceInit* init = pdoInitFor(DeviceInit, routine);
    std::u16string id;
    if (init == nullptr || !idArgument(InstanceID, routine, "instance ID", &id, true))
        return STATUS_INVALID_PARAMETER;
    init->pdo().instanceId = std::move(id);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfPdoInitAddHardwareID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING HardwareID) {
    constexpr const char* routine = "WdfPdoInitAddHardwareID";
    zv::wdf::DeviceInit* init = pdoInitFor(DeviceInit, routine);
    std::u16string id;
    if (init == nullptr || !idArgument(HardwareID, routine, "hardware ID", &id))
        return STATUS_INVALID_PARAMETER;
    init->pdo().hardwareIds.push_back(std::move(id));
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfPdoInitAddCompatibleID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING CompatibleID) {
    constexpr const char* routine = "WdfPdoInitAddCompatibleID";
    zv::wdf::DeviceInit* init = pdoInitFor(DeviceInit, routine);
    std::u16string id;
    if (init == nullptr || !idArgument(CompatibleID, routine, "compatible ID", &id))
        return STATUS_INVALID_PARAMETER;
    init->pdo().compatibleIds.push_back(std::move(id));
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfPdoInitAddDeviceText(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceDescription,
                                          PCUNICODE_STRING DeviceLocation, LCID LocaleId) {
    constexpr const char* routine = "WdfPdoInitAddDeviceText";
    zv::wdf::DeviceInit* init = pdoInitFor(DeviceInit, routine);
    std::u16string description;
    std::optional<std::u16string> location;
    if (DeviceLocation != nullptr)
        location.emplace();
    if (init == nullptr ||
        !idArgument(DeviceDescription, routine, "device description", &description, true) ||
        (DeviceLocation != nullptr &&
         !idArgument(DeviceLocation, routine, "device location", &*location, true)))
        return STATUS_INVALID_PARAMETER;
    for (PdoSettings::Text& text : init->pdo().texts)
        if (text.locale == LocaleId) {
            text.description = std::move(description);
            text.location = std::move(location);
            return STATUS_SUCCESS;
        }
    init->pdo().texts.push_back({LocaleId, std::move(description), std::move(location)});
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfPdoInitSetDefaultLocale(PWDFDEVICE_INIT DeviceInit, LCID LocaleId) {
    if (zv::wdf::DeviceInit* init = pdoInitFor(DeviceInit, "WdfPdoInitSetDefaultLocale"))
        init->pdo().defaultLocale = LocaleId;
}

EXTERN_C NTSTATUS WdfPdoInitAssignRawDevice(PWDFDEVICE_INIT DeviceInit, const GUID* DeviceClassGuid) {
    constexpr const char* routine = "WdfPdoInitAssignRawDevice";
    zv::wdf::DeviceInit* init = pdoInitFor(DeviceInit, routine);
    if (init == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (DeviceClassGuid == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the device class GUID is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    init->pdo().rawClass = *DeviceClassGuid;
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfPdoInitAllowForwardingRequestToParent(PWDFDEVICE_INIT DeviceInit) {
    if (zv::wdf::DeviceInit* init = pdoInitFor(DeviceInit, "WdfPdoInitAllowForwardingRequestToParent"))
        init->io().allowForwardingToParent = true;
}

EXTERN_C WDFDEVICE WdfPdoGetParent(WDFDEVICE Device) {
    zv::wdf::ChildList* list = nullptr;
    zv::wdf::Device* device = childDeviceFor(Device, "WdfPdoGetParent", &list);
    return device != nullptr ? static_cast<WDFDEVICE>(list->device().handle()) : nullptr;
}

EXTERN_C NTSTATUS WdfPdoRetrieveIdentificationDescription(
    WDFDEVICE Device, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription) {
    constexpr const char* routine = "WdfPdoRetrieveIdentificationDescription";
    zv::wdf::ChildList* list = nullptr;
    zv::wdf::Device* device = childDeviceFor(Device, routine, &list);
    if (device == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!list->checkIdentification(IdentificationDescription, routine))
        return STATUS_INVALID_PARAMETER;
    zv::wdf::ChildList::Child* child = list->child(device->pdoSettings().childId);
    if (child == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    list->copyOut(*child, IdentificationDescription, nullptr);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfPdoRetrieveAddressDescription(WDFDEVICE Device,
                                                   PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription) {
    constexpr const char* routine = "WdfPdoRetrieveAddressDescription";
    zv::wdf::ChildList* list = nullptr;
    zv::wdf::Device* device = childDeviceFor(Device, routine, &list);
    if (device == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (AddressDescription == nullptr || !list->checkAddress(AddressDescription, routine))
        return STATUS_INVALID_PARAMETER;
    zv::wdf::ChildList::Child* child = list->child(device->pdoSettings().childId);
    if (child == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    list->copyOut(*child, nullptr, AddressDescription);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfPdoUpdateAddressDescription(WDFDEVICE Device,
                                                 PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription) {
    constexpr const char* routine = "WdfPdoUpdateAddressDescription";
    zv::wdf::ChildList* list = nullptr;
    zv::wdf::Device* device = childDeviceFor(Device, routine, &list);
    if (device == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (AddressDescription == nullptr || !list->checkAddress(AddressDescription, routine))
        return STATUS_INVALID_PARAMETER;
    zv::wdf::ChildList::Child* child = list->child(device->pdoSettings().childId);
    if (child == nullptr || child->missing)
        return STATUS_NO_SUCH_DEVICE;
    return list->addOrUpdate(child->identificationHeader(), AddressDescription, routine) ==
                   STATUS_OBJECT_NAME_EXISTS
               ? STATUS_SUCCESS
               : STATUS_NO_SUCH_DEVICE;
}

EXTERN_C NTSTATUS WdfPdoMarkMissing(WDFDEVICE Device) {
    constexpr const char* routine = "WdfPdoMarkMissing";
    zv::wdf::ChildList* list = nullptr;
    zv::wdf::Device* device = childDeviceFor(Device, routine, &list);
    if (device == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    zv::wdf::ChildList::Child* child = list->child(device->pdoSettings().childId);
    if (child == nullptr || child->missing)
        return STATUS_NO_SUCH_DEVICE;
    return list->updateAsMissing(child->identificationHeader(), routine);
}

EXTERN_C VOID WdfPdoRequestEject(WDFDEVICE Device) {
    WdfPdoMarkMissing(Device);
}
