// Child lists: scans, the creation of children's devices when Plug and Play enumerates the parent, their
// removal, and the WdfChildList* / WdfFdoGetDefaultChildList entry points.
#include "platform/wdf/child_list.h"

#include "platform/wdf/device.h"
#include "platform/wdf/driver.h"

#include <algorithm>
#include <cstring>

namespace zv::wdf {

namespace {

constexpr char kCreateTag = 'C';

} // namespace

BusRelationsNotifier& busRelationsNotifier() {
    return sim::Scheduler::current()->service<BusRelationsNotifier>();
}

void invalidateBusRelations(PDEVICE_OBJECT physicalDevice) {
    BusRelationsNotifier& notifier = busRelationsNotifier();
    ++notifier.requests;
    if (notifier.handler && physicalDevice != nullptr)
        notifier.handler(physicalDevice);
}

ChildList* childListOf(WDFCHILDLIST handle) {
    Object* object = objects().find(handle);
    return object != nullptr && object->type() == ObjectType::ChildList ? static_cast<ChildList*>(object)
                                                                        : nullptr;
}

ChildList::ChildList(Object* parent, Device& device, const WDF_CHILD_LIST_CONFIG& config)
    : Object(kType, parent), device_(device), config_(config) {}

ChildList::~ChildList() = default;

bool ChildList::checkIdentification(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* header,
                                    const char* routine) {
    if (header != nullptr && header->IdentificationDescriptionSize == config_.IdentificationDescriptionSize)
        return true;
    reportViolation(rule::kChildList, this, routine,
                    header == nullptr
                        ? "the identification description is NULL"
                        : "the identification description's size " +
                              std::to_string(header->IdentificationDescriptionSize) + " is not the list's " +
                              std::to_string(config_.IdentificationDescriptionSize));
    return false;
}

bool ChildList::checkAddress(const WDF_CHILD_ADDRESS_DESCRIPTION_HEADER* header, const char* routine) {
    if (header == nullptr)
        return true;
    if (config_.AddressDescriptionSize == 0) {
        reportViolation(rule::kChildList, this, routine, "the list has no address descriptions");
        return false;
    }
    if (header->AddressDescriptionSize == config_.AddressDescriptionSize)
        return true;
    reportViolation(rule::kChildList, this, routine,
                    "the address description's size " + std::to_string(header->AddressDescriptionSize) +
                        " is not the list's " + std::to_string(config_.AddressDescriptionSize));
    return false;
}

bool ChildList::matches(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* a,
                        const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* b,
                        PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE compare) {
    if (compare == nullptr)
        compare = config_.EvtChildListIdentificationDescriptionCompare;
    if (compare == nullptr) // every byte counts, the header's and the padding's too
        return std::memcmp(a, b, config_.IdentificationDescriptionSize) == 0;
    BOOLEAN same = FALSE;
    invokeCallback(this, "EvtChildListIdentificationDescriptionCompare", [&] {
        same = compare(listHandle(), const_cast<PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER>(a),
                       const_cast<PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER>(b));
    });
    return same != FALSE;
}

ChildList::Child* ChildList::find(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification,
                                  PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE compare) {
    for (const auto& c : children_)
        if (!c->missing && matches(c->identificationHeader(), identification, compare))
            return c.get();
    return nullptr;
}

ChildList::Child* ChildList::child(uint64_t id) {
    for (const auto& c : children_)
        if (c->id == id)
            return c.get();
    return nullptr;
}

NTSTATUS ChildList::copyIdentification(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* source,
                                       Child& child) {
    child.identification.assign(config_.IdentificationDescriptionSize, 0);
    auto* destination = child.identificationHeader();
    destination->IdentificationDescriptionSize = config_.IdentificationDescriptionSize;
    auto* from = const_cast<PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER>(source);
    if (auto duplicate = config_.EvtChildListIdentificationDescriptionDuplicate) {
        NTSTATUS status = STATUS_SUCCESS;
        invokeCallback(this, "EvtChildListIdentificationDescriptionDuplicate",
                       [&] { status = duplicate(listHandle(), from, destination); });
        return status;
    }
    if (auto copy = config_.EvtChildListIdentificationDescriptionCopy) {
        invokeCallback(this, "EvtChildListIdentificationDescriptionCopy",
                       [&] { copy(listHandle(), from, destination); });
        return STATUS_SUCCESS;
    }
    std::memcpy(destination, source, config_.IdentificationDescriptionSize);
    return STATUS_SUCCESS;
}

NTSTATUS ChildList::copyAddress(const WDF_CHILD_ADDRESS_DESCRIPTION_HEADER* source, Child& child) {
    if (config_.AddressDescriptionSize == 0)
        return STATUS_SUCCESS;
    std::vector<uint8_t> previous = std::move(child.address);
    child.address.assign(config_.AddressDescriptionSize, 0);
    auto* destination = child.addressHeader();
    destination->AddressDescriptionSize = config_.AddressDescriptionSize;
    if (source == nullptr)
        return STATUS_SUCCESS;
    auto* from = const_cast<PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER>(source);
    if (auto duplicate = config_.EvtChildListAddressDescriptionDuplicate) {
        NTSTATUS status = STATUS_SUCCESS;
        invokeCallback(this, "EvtChildListAddressDescriptionDuplicate",
                       [&] { status = duplicate(listHandle(), from, destination); });
        if (!NT_SUCCESS(status))
            child.address = std::move(previous);
        return status;
    }
    if (auto copy = config_.EvtChildListAddressDescriptionCopy) {
        invokeCallback(this, "EvtChildListAddressDescriptionCopy",
                       [&] { copy(listHandle(), from, destination); });
        return STATUS_SUCCESS;
    }
    std::memcpy(destination, source, config_.AddressDescriptionSize);
    return STATUS_SUCCESS;
}

void ChildList::copyOut(Child& child, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                        PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER address) {
    if (identification != nullptr) {
        if (auto copy = config_.EvtChildListIdentificationDescriptionCopy)
            invokeCallback(this, "EvtChildListIdentificationDescriptionCopy",
                           [&] { copy(listHandle(), child.identificationHeader(), identification); });
        else
            std::memcpy(identification, child.identification.data(), child.identification.size());
    }
    if (address != nullptr && !child.address.empty()) {
        if (auto copy = config_.EvtChildListAddressDescriptionCopy)
            invokeCallback(this, "EvtChildListAddressDescriptionCopy",
                           [&] { copy(listHandle(), child.addressHeader(), address); });
        else
            std::memcpy(address, child.address.data(), child.address.size());
    }
}

void ChildList::beginScan(const char* routine) {
    if (scanning_) {
        reportViolation(rule::kChildList, this, routine, "a scan is already under way");
        return;
    }
    scanning_ = true;
    for (const auto& c : children_)
        c->reported = false;
}

void ChildList::endScan(const char* routine) {
    if (!scanning_) {
        reportViolation(rule::kChildList, this, routine, "no scan was begun");
        return;
    }
    scanning_ = false;
    std::vector<uint64_t> unreported;
    for (const auto& c : children_)
        if (!c->reported && !c->missing)
            unreported.push_back(c->id);
    for (uint64_t id : unreported) {
        Child* c = child(id);
        if (c->device == nullptr)
            drop(id); // never made it to Plug and Play
        else
            c->missing = true;
    }
    invalidate();
}

NTSTATUS ChildList::addOrUpdate(PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                                PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER address, const char* routine) {
    if (!checkIdentification(identification, routine) || !checkAddress(address, routine))
        return STATUS_INVALID_PARAMETER;
    if (Child* known = find(identification)) {
        known->reported = true;
        if (address != nullptr) {
            NTSTATUS status = copyAddress(address, *known);
            if (!NT_SUCCESS(status))
                return status;
        }
        return STATUS_OBJECT_NAME_EXISTS;
    }
    auto child = std::make_unique<Child>();
    child->id = nextId_++;
    NTSTATUS status = copyIdentification(identification, *child);
    if (NT_SUCCESS(status))
        status = copyAddress(address, *child);
    if (!NT_SUCCESS(status))
        return status;
    children_.push_back(std::move(child));
    // Outside a scan a report is a scan of its own: Plug and Play hears of it now.
    if (!scanning_)
        invalidate();
    return STATUS_SUCCESS;
}

NTSTATUS ChildList::updateAsMissing(PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                                    const char* routine) {
    if (!checkIdentification(identification, routine))
        return STATUS_INVALID_PARAMETER;
    Child* c = find(identification);
    if (c == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    c->reported = false;
    if (c->device == nullptr)
        drop(c->id);
    else
        c->missing = true;
    if (!scanning_)
        invalidate();
    return STATUS_SUCCESS;
}

void ChildList::updateAllAsPresent() {
    for (const auto& c : children_)
        if (!c->missing)
            c->reported = true;
}

void ChildList::invalidate() {
    // The parent's physical device object: the one its stack is enumerated by.
    PDEVICE_OBJECT pdo =
        device_.kind() == DeviceInit::Kind::Pdo ? device_.deviceObject() : device_.physicalDevice();
    if (pdo == nullptr)
        pdo = device_.deviceObject();
    invalidateBusRelations(pdo);
}

std::vector<PDEVICE_OBJECT> ChildList::enumerate() {
    std::vector<uint64_t> ids;
    for (const auto& c : children_)
        ids.push_back(c->id);
    std::vector<PDEVICE_OBJECT> present;
    for (uint64_t id : ids) {
        Child* c = child(id);
        if (c == nullptr || c->missing || parentRemoved_)
            continue;
        if (c->device == nullptr && !createDevice(*c))
            continue;
        c = child(id); // the callback may have changed the list
        if (c == nullptr || c->device == nullptr)
            continue;
        Device* device = Device::fromHandle(c->device);
        if (device != nullptr && device->deviceObject() != nullptr && !device->wdmDeleted())
            present.push_back(device->deviceObject());
    }
    return present;
}

bool ChildList::createDevice(Child& child) {
    const uint64_t id = child.id;
    DeviceInstance instance;
    DeviceInit init(device_.driver(), instance, DeviceInit::Kind::Pdo, nullptr);
    init.pdo().list = listHandle();
    init.pdo().childId = id;
    // The callback gets a copy, so that what it does to the record cannot change the list's.
    std::vector<uint8_t> copy = child.identification;
    auto* header = reinterpret_cast<PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER>(copy.data());
    NTSTATUS status = STATUS_SUCCESS;
    reference(&kCreateTag);
    invokeCallback(this, "EvtChildListCreateDevice",
                   [&] { status = config_.EvtChildListCreateDevice(listHandle(), header, init.handle()); });
    Device* made = init.device();
    if (NT_SUCCESS(status) && made == nullptr) {
        reportViolation(rule::kChildList, this, "EvtChildListCreateDevice",
                        "returned success without creating the child's device");
        status = STATUS_INVALID_DEVICE_STATE;
    }
    Child* still = this->child(id);
    if (NT_SUCCESS(status) && still != nullptr) {
        still->device = static_cast<WDFDEVICE>(made->handle());
        if (PDEVICE_OBJECT deviceObject = made->deviceObject())
            deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
        dereference(&kCreateTag);
        return true;
    }
    if (still != nullptr)
        ++still->failedCreates;
    if (made != nullptr) {
        // What a failing callback made goes again, as a failing device add's device does.
        made->reference(&kCreateTag);
        made->deleteWdmDevice();
        if (!made->deleting())
            made->deleteTree();
        made->dereference(&kCreateTag);
    }
    dereference(&kCreateTag);
    return false;
}

bool ChildList::removalDeletes(uint64_t id) {
    Child* c = child(id);
    return c == nullptr || c->missing || parentRemoved_ || cleanedUp();
}

void ChildList::deviceGone(uint64_t id) {
    Child* c = child(id);
    if (c == nullptr)
        return;
    if (c->missing || parentRemoved_)
        drop(id);
    else
        c->device = nullptr;
}

void ChildList::parentRemoved() {
    parentRemoved_ = true;
    std::vector<WDFDEVICE> devices;
    for (const auto& c : children_)
        if (c->device != nullptr)
            devices.push_back(c->device);
    // A child whose device Plug and Play has not removed yet goes with its parent.
    for (WDFDEVICE handle : devices)
        if (Device* d = Device::fromHandle(handle); d != nullptr && !d->wdmDeleted())
            d->deleteWdmDeviceWhenDetached();
}

bool ChildList::reenumerate(uint64_t id) {
    Child* c = child(id);
    if (c == nullptr || c->missing)
        return false;
    BOOLEAN keep = TRUE;
    if (auto callback = config_.EvtChildListDeviceReenumerated) {
        // The old and the new address are the same record: nothing new was reported.
        std::vector<uint8_t> oldAddress = c->address;
        std::vector<uint8_t> newAddress = c->address;
        auto header = [](std::vector<uint8_t>& bytes) {
            return bytes.empty() ? nullptr
                                 : reinterpret_cast<PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER>(bytes.data());
        };
        WDFDEVICE device = c->device;
        invokeCallback(this, "EvtChildListDeviceReenumerated", [&] {
            keep = callback(listHandle(), device, header(oldAddress), header(newAddress));
        });
        c = child(id);
        if (c == nullptr)
            return true;
        if (keep && !newAddress.empty())
            c->address = std::move(newAddress);
    }
    // The child's device goes either way: Plug and Play removes it; a kept description gets a new one.
    if (c->device == nullptr) {
        if (!keep)
            drop(id);
    } else {
        c->missing = true;
        if (keep) {
            auto again = std::make_unique<Child>();
            again->id = nextId_++;
            again->identification = c->identification;
            again->address = c->address;
            children_.push_back(std::move(again));
        }
    }
    invalidate();
    return true;
}

void ChildList::drop(uint64_t id) {
    auto it = std::find_if(children_.begin(), children_.end(), [&](const auto& c) { return c->id == id; });
    if (it == children_.end())
        return;
    std::unique_ptr<Child> gone = std::move(*it);
    children_.erase(it);
    if (auto cleanup = config_.EvtChildListIdentificationDescriptionCleanup)
        invokeCallback(this, "EvtChildListIdentificationDescriptionCleanup",
                       [&] { cleanup(listHandle(), gone->identificationHeader()); });
    if (auto cleanup = config_.EvtChildListAddressDescriptionCleanup;
        cleanup != nullptr && !gone->address.empty())
        invokeCallback(this, "EvtChildListAddressDescriptionCleanup",
                       [&] { cleanup(listHandle(), gone->addressHeader()); });
}

void ChildList::onCleanup() {
    // Outside every fiber is only the machine's teardown: no driver callbacks then.
    if (sim::Scheduler::current()->currentFiber() == nullptr)
        return;
    parentRemoved_ = true;
    std::vector<uint64_t> ids;
    for (const auto& c : children_)
        ids.push_back(c->id);
    for (uint64_t id : ids)
        drop(id);
}

} // namespace zv::wdf

using namespace zv::wdf;

namespace {

zv::wdf::ChildList* listFor(WDFCHILDLIST handle, const char* routine, bool passiveOnly = false) {
    enterCall(routine, passiveOnly);
    return resolve<ChildList>(handle, routine);
}

} // namespace

EXTERN_C WDFCHILDLIST WdfFdoGetDefaultChildList(WDFDEVICE Fdo) {
    constexpr const char* routine = "WdfFdoGetDefaultChildList";
    enterCall(routine);
    auto* device = resolve<zv::wdf::Device>(Fdo, routine);
    return device != nullptr ? device->defaultChildList() : nullptr;
}

EXTERN_C NTSTATUS WdfChildListCreate(WDFDEVICE Device, PWDF_CHILD_LIST_CONFIG Config,
                                     PWDF_OBJECT_ATTRIBUTES ChildListAttributes, WDFCHILDLIST* ChildList) {
    constexpr const char* routine = "WdfChildListCreate";
    enterCall(routine, true);
    if (ChildList == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *ChildList = nullptr;
    auto* device = resolve<zv::wdf::Device>(Device, routine);
    if (device == nullptr)
        return STATUS_INVALID_HANDLE;
    if (Config == nullptr || Config->Size != sizeof(WDF_CHILD_LIST_CONFIG) ||
        Config->EvtChildListCreateDevice == nullptr ||
        Config->IdentificationDescriptionSize < sizeof(WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER) ||
        (Config->AddressDescriptionSize != 0 &&
         Config->AddressDescriptionSize < sizeof(WDF_CHILD_ADDRESS_DESCRIPTION_HEADER))) {
        reportViolation(rule::kBadParameter, device, routine,
                        "the config is not initialised, has no create-device callback, or a description "
                        "smaller than its header");
        return STATUS_INVALID_PARAMETER;
    }
    if (ChildListAttributes != nullptr && ChildListAttributes->ParentObject != nullptr &&
        ChildListAttributes->ParentObject != Device) {
        reportViolation(rule::kBadParameter, device, routine, "a child list's parent is its device");
        return STATUS_INVALID_PARAMETER;
    }
    return device->addChildList(*Config, ChildListAttributes, routine, ChildList);
}

EXTERN_C WDFDEVICE WdfChildListGetDevice(WDFCHILDLIST ChildList) {
    zv::wdf::ChildList* list = listFor(ChildList, "WdfChildListGetDevice");
    return list != nullptr ? static_cast<WDFDEVICE>(list->device().handle()) : nullptr;
}

EXTERN_C VOID WdfChildListBeginScan(WDFCHILDLIST ChildList) {
    constexpr const char* routine = "WdfChildListBeginScan";
    if (zv::wdf::ChildList* list = listFor(ChildList, routine))
        list->beginScan(routine);
}

EXTERN_C VOID WdfChildListEndScan(WDFCHILDLIST ChildList) {
    constexpr const char* routine = "WdfChildListEndScan";
    if (zv::wdf::ChildList* list = listFor(ChildList, routine))
        list->endScan(routine);
}

EXTERN_C NTSTATUS WdfChildListAddOrUpdateChildDescriptionAsPresent(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription) {
    constexpr const char* routine = "WdfChildListAddOrUpdateChildDescriptionAsPresent";
    zv::wdf::ChildList* list = listFor(ChildList, routine);
    if (list == nullptr)
        return STATUS_INVALID_HANDLE;
    return list->addOrUpdate(IdentificationDescription, AddressDescription, routine);
}

EXTERN_C NTSTATUS WdfChildListUpdateChildDescriptionAsMissing(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription) {
    constexpr const char* routine = "WdfChildListUpdateChildDescriptionAsMissing";
    zv::wdf::ChildList* list = listFor(ChildList, routine);
    if (list == nullptr)
        return STATUS_INVALID_HANDLE;
    return list->updateAsMissing(IdentificationDescription, routine);
}

EXTERN_C VOID WdfChildListUpdateAllChildDescriptionsAsPresent(WDFCHILDLIST ChildList) {
    if (zv::wdf::ChildList* list = listFor(ChildList, "WdfChildListUpdateAllChildDescriptionsAsPresent"))
        list->updateAllAsPresent();
}

EXTERN_C WDFDEVICE WdfChildListRetrieveDevice(WDFCHILDLIST ChildList, PWDF_CHILD_RETRIEVE_INFO Info) {
    constexpr const char* routine = "WdfChildListRetrieveDevice";
    zv::wdf::ChildList* list = listFor(ChildList, routine);
    if (list == nullptr)
        return nullptr;
    if (Info == nullptr || Info->Size != sizeof(WDF_CHILD_RETRIEVE_INFO)) {
        reportViolation(rule::kBadParameter, list, routine,
                        "the info was not initialised with WDF_CHILD_RETRIEVE_INFO_INIT");
        return nullptr;
    }
    if (!list->checkIdentification(Info->IdentificationDescription, routine) ||
        !list->checkAddress(Info->AddressDescription, routine)) {
        Info->Status = WdfChildListRetrieveDeviceUndefined;
        return nullptr;
    }
    zv::wdf::ChildList::Child* child =
        list->find(Info->IdentificationDescription, Info->EvtChildListIdentificationDescriptionCompare);
    if (child == nullptr) {
        Info->Status = WdfChildListRetrieveDeviceNoSuchDevice;
        return nullptr;
    }
    list->copyOut(*child, nullptr, Info->AddressDescription);
    Info->Status = child->device != nullptr ? WdfChildListRetrieveDeviceSuccess
                                            : WdfChildListRetrieveDeviceNotYetCreated;
    return child->device;
}

EXTERN_C NTSTATUS WdfChildListRetrieveAddressDescription(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription) {
    constexpr const char* routine = "WdfChildListRetrieveAddressDescription";
    zv::wdf::ChildList* list = listFor(ChildList, routine);
    if (list == nullptr)
        return STATUS_INVALID_HANDLE;
    if (!list->checkIdentification(IdentificationDescription, routine))
        return STATUS_INVALID_PARAMETER;
    if (AddressDescription == nullptr || !list->checkAddress(AddressDescription, routine))
        return STATUS_INVALID_PARAMETER;
    zv::wdf::ChildList::Child* child = list->find(IdentificationDescription);
    if (child == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    list->copyOut(*child, nullptr, AddressDescription);
    return STATUS_SUCCESS;
}

// The iterator keeps the ids of the children it will visit, taken when it begins, and how far it got.
namespace {

struct IterationState {
    std::vector<uint64_t> ids;
    size_t next = 0;
};

bool iteratorOk(zv::wdf::ChildList* list, PWDF_CHILD_LIST_ITERATOR iterator, const char* routine) {
    if (iterator != nullptr && iterator->Size == sizeof(WDF_CHILD_LIST_ITERATOR))
        return true;
    reportViolation(rule::kBadParameter, list, routine,
                    "the iterator was not initialised with WDF_CHILD_LIST_ITERATOR_INIT");
    return false;
}

bool wanted(const zv::wdf::ChildList::Child& child, ULONG flags) {
    if (child.missing)
        return (flags & WdfRetrieveMissingChildren) != 0;
    if (child.device == nullptr)
        return (flags & WdfRetrievePendingChildren) != 0;
    return (flags & WdfRetrievePresentChildren) != 0;
}

} // namespace

EXTERN_C VOID WdfChildListBeginIteration(WDFCHILDLIST ChildList, PWDF_CHILD_LIST_ITERATOR Iterator) {
    constexpr const char* routine = "WdfChildListBeginIteration";
    zv::wdf::ChildList* list = listFor(ChildList, routine);
    if (list == nullptr || !iteratorOk(list, Iterator, routine))
        return;
    if (Iterator->Reserved[0] != nullptr) {
        reportViolation(rule::kChildList, list, routine, "the iterator is already in use");
        return;
    }
    auto* state = new IterationState;
    for (const auto& c : list->children())
        if (wanted(*c, Iterator->Flags))
            state->ids.push_back(c->id);
    Iterator->Reserved[0] = state;
}

EXTERN_C NTSTATUS WdfChildListRetrieveNextDevice(WDFCHILDLIST ChildList, PWDF_CHILD_LIST_ITERATOR Iterator,
                                                 WDFDEVICE* Device, PWDF_CHILD_RETRIEVE_INFO Info) {
    constexpr const char* routine = "WdfChildListRetrieveNextDevice";
    zv::wdf::ChildList* list = listFor(ChildList, routine);
    if (list == nullptr)
        return STATUS_INVALID_HANDLE;
    if (!iteratorOk(list, Iterator, routine) || Device == nullptr ||
        (Info != nullptr && Info->Size != sizeof(WDF_CHILD_RETRIEVE_INFO))) {
        if (Device == nullptr || Info != nullptr)
            reportViolation(rule::kBadParameter, list, routine, "no output handle pointer, or a bad info");
        return STATUS_INVALID_PARAMETER;
    }
    *Device = nullptr;
    auto* state = static_cast<IterationState*>(Iterator->Reserved[0]);
    if (state == nullptr) {
        reportViolation(rule::kChildList, list, routine, "WdfChildListBeginIteration was not called");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Info != nullptr && ((Info->IdentificationDescription != nullptr &&
                             !list->checkIdentification(Info->IdentificationDescription, routine)) ||
                            !list->checkAddress(Info->AddressDescription, routine)))
        return STATUS_INVALID_PARAMETER;
    while (state->next < state->ids.size()) {
        zv::wdf::ChildList::Child* child = list->child(state->ids[state->next++]);
        if (child == nullptr || !wanted(*child, Iterator->Flags))
            continue;
        if (Info != nullptr) {
            list->copyOut(*child, Info->IdentificationDescription, Info->AddressDescription);
            Info->Status = child->device != nullptr ? WdfChildListRetrieveDeviceSuccess
                                                    : WdfChildListRetrieveDeviceNotYetCreated;
        }
        *Device = child->device;
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MORE_ENTRIES;
}

EXTERN_C VOID WdfChildListEndIteration(WDFCHILDLIST ChildList, PWDF_CHILD_LIST_ITERATOR Iterator) {
    constexpr const char* routine = "WdfChildListEndIteration";
    zv::wdf::ChildList* list = listFor(ChildList, routine);
    if (list == nullptr || !iteratorOk(list, Iterator, routine))
        return;
    delete static_cast<IterationState*>(Iterator->Reserved[0]);
    Iterator->Reserved[0] = nullptr;
}

EXTERN_C BOOLEAN WdfChildListRequestChildEject(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription) {
    constexpr const char* routine = "WdfChildListRequestChildEject";
    zv::wdf::ChildList* list = listFor(ChildList, routine);
    if (list == nullptr || !list->checkIdentification(IdentificationDescription, routine))
        return FALSE;
    zv::wdf::ChildList::Child* child = list->find(IdentificationDescription);
    if (child == nullptr || child->device == nullptr)
        return FALSE;
    // An eject on this machine is the child leaving: reported missing, removed by Plug and Play.
    list->updateAsMissing(IdentificationDescription, routine);
    return TRUE;
}
