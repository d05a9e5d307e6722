// Descriptor parsing for drivers. Every walk is bounded by the buffer: a descriptor is looked at only when
// its header lies inside, and returned only when all of its bLength bytes do; a zero bLength ends the walk,
// so a malformed configuration can neither loop forever nor be read past its end.
#include <usbdlib.h>

namespace {

const UCHAR* findDescriptor(const UCHAR* begin, const UCHAR* end, const UCHAR* from, LONG type) {
    if (begin == nullptr || from == nullptr || from < begin || from >= end)
        return nullptr;
    for (const UCHAR* p = from; end - p >= 2;) {
        UCHAR length = p[0];
        if (length == 0 || length > end - p)
            return nullptr;
        if (type == -1 || p[1] == type)
            return p;
        p += length;
    }
    return nullptr;
}

const UCHAR* configurationEnd(PUSB_CONFIGURATION_DESCRIPTOR c) {
    return reinterpret_cast<const UCHAR*>(c) + c->wTotalLength;
}

} // namespace

extern "C" PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                        PVOID StartPosition, LONG DescriptorType) {
    auto* begin = static_cast<const UCHAR*>(DescriptorBuffer);
    const UCHAR* found =
        findDescriptor(begin, begin + TotalLength, static_cast<const UCHAR*>(StartPosition), DescriptorType);
    return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(found));
}

extern "C" PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PVOID StartPosition, LONG InterfaceNumber, LONG AlternateSetting,
                                    LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr)
        return nullptr;
    auto* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const UCHAR* end = configurationEnd(ConfigurationDescriptor);
    auto matches = [](LONG want, UCHAR have) { return want == -1 || want == have; };
    for (const UCHAR* p = static_cast<const UCHAR*>(StartPosition);
         (p = findDescriptor(begin, end, p, USB_INTERFACE_DESCRIPTOR_TYPE)) != nullptr; p += p[0]) {
        if (p[0] < sizeof(USB_INTERFACE_DESCRIPTOR))
            continue;
        auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
        if (matches(InterfaceNumber, d->bInterfaceNumber) &&
            matches(AlternateSetting, d->bAlternateSetting) && matches(InterfaceClass, d->bInterfaceClass) &&
            matches(InterfaceSubClass, d->bInterfaceSubClass) &&
            matches(InterfaceProtocol, d->bInterfaceProtocol))
            return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    }
    return nullptr;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                               InterfaceNumber, AlternateSetting, -1, -1, -1);
}

extern "C" ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
    auto* start = reinterpret_cast<const UCHAR*>(InterfaceDescriptor);
    if (start == nullptr || BufferEnd <= start)
        return 0;
    const UCHAR* p = start;
    while (BufferEnd - p >= 2) {
        UCHAR length = p[0];
        if (length == 0 || length > BufferEnd - p)
            break;
        if (p != start && p[1] == USB_INTERFACE_DESCRIPTOR_TYPE)
            break;
        p += length;
    }
    return ULONG(p - start);
}
