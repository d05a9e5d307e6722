// The built-in phone profiles.
#include "devices/profiles.h"

namespace zv::devices {
namespace {

USB_DEVICE_DESCRIPTOR deviceRecord(uint8_t cls, uint8_t sub, uint8_t proto, uint16_t bcdUsb) {
    USB_DEVICE_DESCRIPTOR d{};
    d.bLength = sizeof d;
    d.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    d.bcdUSB = bcdUsb;
    d.bDeviceClass = cls;
    d.bDeviceSubClass = sub;
    d.bDeviceProtocol = proto;
    d.bMaxPacketSize0 = 64;
    d.idVendor = 0x1a2b;
    d.idProduct = 0x3c4d;
    d.bcdDevice = 0x0100;
    d.iManufacturer = kManufacturerString;
    d.iProduct = kProductString;
    d.iSerialNumber = kSerialNumberString;
    d.bNumConfigurations = 1;
    return d;
}

// A CDC ACM modem: the communication interface (union over the data interface after it, an interrupt
// endpoint) and the data interface with its bulk pair.
void addAcmModem(ConfigurationBuilder& b, uint8_t first, uint16_t bulkPacket, uint8_t interval) {
    b.interface(first, 0, 0x02, 0x02, 0x01)
        .cdcHeader()
        .cdcUnion(first, {uint8_t(first + 1)})
        .endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, interval)
        .interface(uint8_t(first + 1), 0, 0x0A, 0x00, 0x00)
        .endpoint(0x82, USB_ENDPOINT_TYPE_BULK, bulkPacket)
        .endpoint(0x02, USB_ENDPOINT_TYPE_BULK, bulkPacket);
}

// The diagnostic MDLM interface: header, MDLM with the GUID, MDLM detail, one bulk IN and one bulk OUT.
void addDiagnostic(PhoneProfile& p, ConfigurationBuilder& b, uint8_t number, uint16_t bulkPacket) {
    b.interface(number, 0, 0x02, 0x0A, 0x01)
        .cdcHeader()
        .cdcMdlm(kDiagnosticMdlmGuid)
        .cdcMdlmDetail(0x00, {0x00, 0x00})
        .endpoint(0x85, USB_ENDPOINT_TYPE_BULK, bulkPacket)
        .endpoint(0x05, USB_ENDPOINT_TYPE_BULK, bulkPacket);
    p.diagnosticInterface = number;
    p.diagnosticBulkIn = 0x85;
    p.diagnosticBulkOut = 0x05;
}

void addStrings(PhoneProfile& p, std::u16string product) {
    p.strings.set(kManufacturerString, u"Zornaveltriques");
    p.strings.set(kProductString, std::move(product));
    p.strings.set(kSerialNumberString, u"ABC123");
}

PhoneProfile compositePhone(std::string name, Speed speed) {
    const uint16_t bulk = speed == Speed::High ? 512 : 64;
    PhoneProfile p;
    p.name = std::move(name);
    p.speed = speed;
    p.description = speed == Speed::High ? "composite phone, high speed" : "composite phone, full speed";
    p.device = deviceRecord(0xEF, 0x02, 0x01, speed == Speed::High ? 0x0200 : 0x0110);
    ConfigurationBuilder b;
    b.association(0, 2, 0x02, 0x02, 0x01);
    addAcmModem(b, 0, bulk, speed == Speed::High ? 9 : 32);
    b.interface(2, 0, 0xFF, 0xFF, 0xFF)
        .endpoint(0x83, USB_ENDPOINT_TYPE_BULK, bulk)
        .endpoint(0x03, USB_ENDPOINT_TYPE_BULK, bulk)
        .interface(3, 0, 0x08, 0x06, 0x50)
        .endpoint(0x84, USB_ENDPOINT_TYPE_BULK, bulk)
        .endpoint(0x04, USB_ENDPOINT_TYPE_BULK, bulk)
        .interface(3, 1, 0x08, 0x06, 0x50)
        .endpoint(0x84, USB_ENDPOINT_TYPE_BULK, bulk)
        .endpoint(0x04, USB_ENDPOINT_TYPE_BULK, bulk);
    addDiagnostic(p, b, 4, bulk);
    p.configuration = b.build();
    addStrings(p, u"Zornaveltriques Phone");
    return p;
}

PhoneProfile cdcPhone() {
    PhoneProfile p;
    p.name = "cdc-phone";
    p.description = "class 0x02 phone without interface associations";
    p.speed = Speed::High;
    p.device = deviceRecord(0x02, 0x00, 0x00, 0x0200);
    ConfigurationBuilder b;
    addAcmModem(b, 0, 512, 9);
    addDiagnostic(p, b, 2, 512);
    p.configuration = b.build();
    addStrings(p, u"Zornaveltriques CDC Phone");
    return p;
}

} // namespace

const std::vector<std::string>& profileNames() {
    static const std::vector<std::string> names = {"hs-phone", "fs-phone", "cdc-phone"};
    return names;
}

bool makeProfile(std::string_view name, PhoneProfile* out) {
    if (name == "hs-phone")
        *out = compositePhone("hs-phone", Speed::High);
    else if (name == "fs-phone")
        *out = compositePhone("fs-phone", Speed::Full);
    else if (name == "cdc-phone")
        *out = cdcPhone();
    else
        return false;
    return true;
}

} // namespace zv::devices
