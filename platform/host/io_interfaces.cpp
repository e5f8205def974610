// Device interfaces: registration on a physical device object, returning a
// symbolic link name the caller owns (pool, freed with
// RtlFreeUnicodeString), enabling and disabling, and the user-mode view
// that enumerates the enabled interfaces of a class.
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

namespace {

std::u16string GuidText(const GUID& guid) {
    char text[40];
    snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
             static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
             guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + strlen(text));
}

// A device interface's symbolic link name as Windows forms it: the device
// instance ID with '#' for its separators, the interface class and the
// reference string, if any.
std::u16string LinkName(const std::string& deviceInstanceId, const GUID& interfaceClass,
                        const std::u16string& reference) {
    std::u16string name = u"\\??\\";
    for (char c : deviceInstanceId) name += c == '\\' ? u'#' : static_cast<char16_t>(c);
    name += u"#" + GuidText(interfaceClass);
    if (!reference.empty()) name += u"\\" + reference;
    return name;
}

std::u16string FromUnicode(PCUNICODE_STRING text) {
    if (!text || !text->Buffer) return {};
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

InterfaceRecord* FindInterface(const std::u16string& name) {
    for (auto& record : K().Interfaces)
        if (SameName(record->Name, name)) return record.get();
    return nullptr;
}

}  // namespace

void DisableInterfacesOf(PDEVICE_OBJECT physical) {
    std::lock_guard<std::mutex> guard(K().Lock);
    for (auto& record : K().Interfaces)
        if (record->Physical == physical) record->Enabled = false;
}

// The longest interface name the path starts with (up to a backslash)
// names the device, as the object manager stops at the symbolic link and
// hands the rest to the device: a reference string is part of that rest.
PDEVICE_OBJECT InterfaceDevice(const std::u16string& path, bool* enabled,
                               std::u16string* fileName) {
    std::lock_guard<std::mutex> guard(K().Lock);
    InterfaceRecord* found = nullptr;
    for (auto& record : K().Interfaces) {
        size_t length = record->Name.size();
        if (path.size() < length || (path.size() > length && path[length] != u'\\')) continue;
        if (!SameName(record->Name, path.substr(0, length))) continue;
        if (!found || length > found->Name.size()) found = record.get();
    }
    if (!found) return nullptr;
    *enabled = found->Enabled;
    *fileName = found->Reference.empty() ? std::u16string() : u"\\" + found->Reference;
    *fileName += path.substr(found->Name.size());
    return found->Physical;
}

}  // namespace detail

using namespace detail;

std::vector<std::u16string> EnumerateDeviceInterfaces(const GUID& interfaceClass) {
    std::lock_guard<std::mutex> guard(K().Lock);
    std::vector<std::u16string> names;
    for (auto& record : K().Interfaces)
        if (record->Enabled && IsEqualGUID(&record->Class, &interfaceClass))
            names.push_back(record->Name);
    return names;
}

bool DeviceInterfaceEnabled(const std::u16string& symbolicLink) {
    std::lock_guard<std::mutex> guard(K().Lock);
    InterfaceRecord* record = FindInterface(symbolicLink);
    return record && record->Enabled;
}

}  // namespace host_kernel

using namespace host_kernel;
using namespace host_kernel::detail;

extern "C" {

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         CONST GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
    CheckIrql(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    NTSTATUS injected = STATUS_INSUFFICIENT_RESOURCES;
    if (ShouldFail(Call::IoRegisterDeviceInterface, &injected)) return injected;
    std::u16string name;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        DeviceRecord* device = FindDevice(PhysicalDeviceObject);
        if (!device || !device->Physical || device->Deleted) {
            Fault("IoRegisterDeviceInterface on %s, which is not a physical device object",
                  DeviceName(PhysicalDeviceObject).c_str());
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        std::u16string reference = FromUnicode(ReferenceString);
        name = LinkName(device->DeviceInstanceId, *InterfaceClassGuid, reference);
        if (!FindInterface(name)) {
            auto record = std::make_unique<InterfaceRecord>();
            record->Class = *InterfaceClassGuid;
            record->Name = name;
            record->Reference = reference;
            record->Physical = PhysicalDeviceObject;
            K().Interfaces.push_back(std::move(record));
        }
    }
    size_t bytes = (name.size() + 1) * sizeof(WCHAR);
    auto buffer = static_cast<PWSTR>(
        AllocatePool(PagedPool, bytes, 'rtSU', CurrentDriver(), BlockKind::String));
    memcpy(buffer, name.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    CheckIrql(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    NTSTATUS injected = STATUS_INSUFFICIENT_RESOURCES;
    if (ShouldFail(Call::IoSetDeviceInterfaceState, &injected)) return injected;
    std::lock_guard<std::mutex> guard(K().Lock);
    InterfaceRecord* record = FindInterface(FromUnicode(SymbolicLinkName));
    if (!record) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable && record->Enabled) return STATUS_OBJECT_NAME_EXISTS;
    record->Enabled = Enable != FALSE;
    return STATUS_SUCCESS;
}

}  // extern "C"
