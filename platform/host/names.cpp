// Names in fault messages: how the kernel's checks name a driver, a device,
// a request's function codes, an IRP and a pool tag, so that every message
// reads the same way whichever check wrote it.
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

std::string DriverName(const DriverRecord* driver) {
    return driver ? driver->Name : std::string("(no driver)");
}

std::string DeviceName(PDEVICE_OBJECT device) {
    DeviceRecord* record = FindDevice(device);
    if (!record) return Format("device %p", static_cast<void*>(device));
    return Format("%s device %p", DriverName(record->Driver).c_str(), static_cast<void*>(device));
}

std::string IrpName(UCHAR major, UCHAR minor) {
    static const char* const majors[] = {"IRP_MJ_CREATE",
                                         "IRP_MJ_CREATE_NAMED_PIPE",
                                         "IRP_MJ_CLOSE",
                                         "IRP_MJ_READ",
                                         "IRP_MJ_WRITE",
                                         "IRP_MJ_QUERY_INFORMATION",
                                         "IRP_MJ_SET_INFORMATION",
                                         "IRP_MJ_QUERY_EA",
                                         "IRP_MJ_SET_EA",
                                         "IRP_MJ_FLUSH_BUFFERS",
                                         "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                         "IRP_MJ_SET_VOLUME_INFORMATION",
                                         "IRP_MJ_DIRECTORY_CONTROL",
                                         "IRP_MJ_FILE_SYSTEM_CONTROL",
                                         "IRP_MJ_DEVICE_CONTROL",
                                         "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                         "IRP_MJ_SHUTDOWN",
                                         "IRP_MJ_LOCK_CONTROL",
                                         "IRP_MJ_CLEANUP",
                                         "IRP_MJ_CREATE_MAILSLOT",
                                         "IRP_MJ_QUERY_SECURITY",
                                         "IRP_MJ_SET_SECURITY",
                                         "IRP_MJ_POWER",
                                         "IRP_MJ_SYSTEM_CONTROL",
                                         "IRP_MJ_DEVICE_CHANGE",
                                         "IRP_MJ_QUERY_QUOTA",
                                         "IRP_MJ_SET_QUOTA",
                                         "IRP_MJ_PNP"};
    static const char* const pnp[] = {"IRP_MN_START_DEVICE",
                                      "IRP_MN_QUERY_REMOVE_DEVICE",
                                      "IRP_MN_REMOVE_DEVICE",
                                      "IRP_MN_CANCEL_REMOVE_DEVICE",
                                      "IRP_MN_STOP_DEVICE",
                                      "IRP_MN_QUERY_STOP_DEVICE",
                                      "IRP_MN_CANCEL_STOP_DEVICE",
                                      "IRP_MN_QUERY_DEVICE_RELATIONS",
                                      "IRP_MN_QUERY_INTERFACE",
                                      "IRP_MN_QUERY_CAPABILITIES",
                                      "IRP_MN_QUERY_RESOURCES",
                                      "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
                                      "IRP_MN_QUERY_DEVICE_TEXT",
                                      "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                                      "0x0e",
                                      "IRP_MN_READ_CONFIG",
                                      "IRP_MN_WRITE_CONFIG",
                                      "IRP_MN_EJECT",
                                      "IRP_MN_SET_LOCK",
                                      "IRP_MN_QUERY_ID",
                                      "IRP_MN_QUERY_PNP_DEVICE_STATE",
                                      "IRP_MN_QUERY_BUS_INFORMATION",
                                      "IRP_MN_DEVICE_USAGE_NOTIFICATION",
                                      "IRP_MN_SURPRISE_REMOVAL"};
    static const char* const power[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE",
                                        "IRP_MN_SET_POWER", "IRP_MN_QUERY_POWER"};
    if (major > IRP_MJ_MAXIMUM_FUNCTION) return Format("major function 0x%02x", major);
    std::string name = majors[major];
    if (major == IRP_MJ_PNP) {
        name += "/";
        name += minor < sizeof pnp / sizeof *pnp ? pnp[minor] : Format("0x%02x", minor);
    } else if (major == IRP_MJ_POWER) {
        name += "/";
        name += minor < sizeof power / sizeof *power ? power[minor] : Format("0x%02x", minor);
    }
    return name;
}

std::string Describe(PIRP irp, PIO_STACK_LOCATION location) {
    return Format("IRP %p (%s)", static_cast<void*>(irp),
                  IrpName(location->MajorFunction, location->MinorFunction).c_str());
}

std::string TagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; i++) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return "'" + name + "'";
}

bool SameName(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
    for (size_t i = 0; i < a.size(); i++)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace detail
}  // namespace host_kernel
