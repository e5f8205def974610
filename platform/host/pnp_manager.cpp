// The Plug and Play and power managers: building a device stack by calling
// AddDevice in Windows' order, and sending the start, stop, removal, query
// and power requests to the top of the stack the way Windows sequences
// them, down to the removal of every stack at shutdown. The rules the
// drivers are held to on the way live in pnp_rules.cpp; the bus below the
// stacks in pnp_bus.cpp.
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

namespace {

// The devices above the physical one, bottom first.
std::vector<PDEVICE_OBJECT> Above(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> devices;
    std::lock_guard<std::mutex> guard(K().Lock);
    for (PDEVICE_OBJECT device = pdo->AttachedDevice; device; device = device->AttachedDevice)
        devices.push_back(device);
    return devices;
}

PDEVICE_OBJECT Top(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(K().Lock);
    return IoGetAttachedDevice(pdo);
}

// IRP_MN_REMOVE_DEVICE to the stack, then what Windows expects afterwards.
NTSTATUS RemoveNow(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> stack = Above(pdo);
    IrpResult result = SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        for (PDEVICE_OBJECT device : stack) {
            DeviceRecord* record = FindDevice(device);
            if (!record->Deleted)
                Fault("removal: %s was not deleted at IRP_MN_REMOVE_DEVICE",
                      DeviceName(device).c_str());
            else if (record->AttachedTo)
                Fault("removal: %s is still attached after IRP_MN_REMOVE_DEVICE",
                      DeviceName(device).c_str());
        }
        if (DeviceRecord* record = PhysicalRecord(pdo)) record->SurpriseRemoved = false;
    }
    DisableInterfacesOf(pdo);
    return result.Status;
}

IrpResult SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                    POWER_ACTION action) {
    PDEVICE_OBJECT top = Top(pdo);
    KIRQL irql = (top->Flags & DO_POWER_PAGABLE) ? PASSIVE_LEVEL : DISPATCH_LEVEL;
    return SendIrp(
        top, IRP_MJ_POWER, minor,
        [&](PIRP, PIO_STACK_LOCATION location) {
            location->Parameters.Power.SystemContext = 0;
            location->Parameters.Power.Type = type;
            location->Parameters.Power.State = state;
            location->Parameters.Power.ShutdownType = action;
        },
        STATUS_NOT_SUPPORTED, irql);
}

}  // namespace

void RemoveAllStacks() {
    std::vector<PDEVICE_OBJECT> pdos;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        for (PDEVICE_OBJECT pdo : K().PhysicalDevices)
            if (!FindDevice(pdo)->Deleted) pdos.push_back(pdo);
    }
    for (PDEVICE_OBJECT pdo : pdos) {
        bool surprise;
        {
            std::lock_guard<std::mutex> guard(K().Lock);
            surprise = FindDevice(pdo)->SurpriseRemoved;
        }
        // RemoveDevice already skips the query after a surprise removal; a
        // vetoed removal at shutdown goes through anyway, as if unplugged.
        if (pdo->AttachedDevice && !NT_SUCCESS(RemoveDevice(pdo)) && !surprise) {
            SurpriseRemoveDevice(pdo);
            RemoveNow(pdo);
        }
        DeletePhysicalDevice(pdo);
    }
}

}  // namespace detail

using namespace detail;

NTSTATUS BuildDeviceStack(PDEVICE_OBJECT pdo, const StackSpec& layout) {
    std::vector<std::pair<PDRIVER_OBJECT, StackRole>> order;
    for (PDRIVER_OBJECT driver : layout.LowerFilters)
        order.emplace_back(driver, StackRole::LowerFilter);
    if (layout.Function) order.emplace_back(layout.Function, StackRole::Function);
    for (PDRIVER_OBJECT driver : layout.UpperFilters)
        order.emplace_back(driver, StackRole::UpperFilter);
    for (auto [driver, role] : order) {
        PDEVICE_OBJECT before = Top(pdo);
        NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
        PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
        if (!addDevice) {
            Fault("BuildDeviceStack: %s has no AddDevice routine",
                  Narrow(std::u16string(driver->DriverName.Buffer,
                                        driver->DriverName.Length / sizeof(WCHAR)))
                      .c_str());
        } else {
            ProcessScope system(SystemProcess());
            AtIrql passive(PASSIVE_LEVEL);
            DriverScope scope(driver);
            status = addDevice(driver, pdo);
            if (ThreadIrql() != PASSIVE_LEVEL)
                Fault("IRQL check: AddDevice returned at IRQL %d", ThreadIrql());
        }
        {
            std::lock_guard<std::mutex> guard(K().Lock);
            for (PDEVICE_OBJECT device = before->AttachedDevice; device;
                 device = device->AttachedDevice) {
                if (device->Flags & DO_DEVICE_INITIALIZING) {
                    Fault("AddDevice returned with DO_DEVICE_INITIALIZING still set on %s",
                          DeviceName(device).c_str());
                    device->Flags &= ~DO_DEVICE_INITIALIZING;
                }
            }
            CheckAddedDevices(before, role);
        }
        if (!NT_SUCCESS(status)) {
            if (pdo->AttachedDevice) RemoveNow(pdo);
            return status;
        }
    }
    std::lock_guard<std::mutex> guard(K().Lock);
    CheckStackNames(pdo);
    return STATUS_SUCCESS;
}

std::vector<PDEVICE_OBJECT> DeviceStack(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> devices{pdo};
    std::vector<PDEVICE_OBJECT> above = Above(pdo);
    devices.insert(devices.end(), above.begin(), above.end());
    return devices;
}

PDEVICE_OBJECT DeviceOf(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver) {
    for (PDEVICE_OBJECT device : DeviceStack(pdo))
        if (device->DriverObject == driver) return device;
    return nullptr;
}

IrpResult SendIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                  const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                  NTSTATUS initialStatus, KIRQL irql) {
    IrpResult result;
    PIRP irp = AllocateIrp(target->StackSize, IrpOrigin::Kernel, nullptr);
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    memset(location, 0, sizeof *location);
    location->MajorFunction = major;
    location->MinorFunction = minor;
    irp->IoStatus.Status = initialStatus;
    irp->RequestorMode = KernelMode;
    if (setup) setup(irp, location);
    {
        ProcessScope system(SystemProcess());
        AtIrql level(irql);
        result.Returned =
            major == IRP_MJ_POWER ? PoCallDriver(target, irp) : IofCallDriver(target, irp);
    }
    result.Completed = WaitForIrp(irp, result.Returned == STATUS_PENDING, [&] {
        return Format("%s sent to %s was not completed", IrpName(major, minor).c_str(),
                      DeviceName(target).c_str());
    });
    if (!result.Completed) return result;
    result.Status = irp->IoStatus.Status;
    result.Information = irp->IoStatus.Information;
    result.PendingReturned = irp->PendingReturned != FALSE;
    ReleaseIrp(irp);
    return result;
}

IrpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& setup) {
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        CheckPnpSequence(pdo, minor);
    }
    IrpResult result = SendIrp(
        Top(pdo), IRP_MJ_PNP, minor,
        [&](PIRP, PIO_STACK_LOCATION location) {
            if (setup) setup(location);
        },
        STATUS_NOT_SUPPORTED, PASSIVE_LEVEL);
    std::lock_guard<std::mutex> guard(K().Lock);
    NotePnpOutcome(pdo, minor, result);
    return result;
}

NTSTATUS StartDevice(PDEVICE_OBJECT pdo) {
    return SendPnp(pdo, IRP_MN_START_DEVICE).Status;
}

NTSTATUS StopDevice(PDEVICE_OBJECT pdo) {
    IrpResult query = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query.Status)) {
        SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return query.Status;
    }
    return SendPnp(pdo, IRP_MN_STOP_DEVICE).Status;
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo) {
    bool surprise;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        DeviceRecord* record = PhysicalRecord(pdo);
        if (!record) {
            Fault("RemoveDevice of %p, which is not a physical device object",
                  static_cast<void*>(pdo));
            return STATUS_INVALID_PARAMETER;
        }
        surprise = record->SurpriseRemoved;
    }
    if (!surprise) {
        IrpResult query = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(query.Status)) {
            SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
            return query.Status;
        }
    }
    return RemoveNow(pdo);
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo) {
    IrpResult result = SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
    std::lock_guard<std::mutex> guard(K().Lock);
    if (DeviceRecord* record = PhysicalRecord(pdo)) record->SurpriseRemoved = true;
    return result.Status;
}

IrpResult QueryInterface(PDEVICE_OBJECT pdo, const GUID& type, PINTERFACE iface, USHORT size,
                         USHORT version) {
    return SendPnp(pdo, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION location) {
        location->Parameters.QueryInterface.InterfaceType = &type;
        location->Parameters.QueryInterface.Size = size;
        location->Parameters.QueryInterface.Version = version;
        location->Parameters.QueryInterface.Interface = iface;
        location->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    });
}

IrpResult QueryCapabilities(PDEVICE_OBJECT pdo, PDEVICE_CAPABILITIES caps) {
    memset(caps, 0, sizeof *caps);
    caps->Size = sizeof *caps;
    caps->Version = 1;
    caps->Address = caps->UINumber = 0xFFFFFFFF;
    return SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION location) {
        location->Parameters.DeviceCapabilities.Capabilities = caps;
    });
}

IrpResult SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    POWER_STATE power;
    power.DeviceState = state;
    return SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, power, PowerActionNone);
}

IrpResult SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    POWER_STATE power;
    power.SystemState = state;
    return SendPower(pdo, IRP_MN_SET_POWER, SystemPowerState, power, action);
}

IrpResult QueryDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    POWER_STATE power;
    power.DeviceState = state;
    return SendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState, power, PowerActionNone);
}

IrpResult QuerySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    POWER_STATE power;
    power.SystemState = state;
    return SendPower(pdo, IRP_MN_QUERY_POWER, SystemPowerState, power, action);
}

}  // namespace host_kernel
