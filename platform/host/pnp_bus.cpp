// The test bus: the bus driver that owns the physical device objects, its
// answers to the requests that reach them (start and power outcomes as each
// device's options say, the device capabilities, pending answers given later
// from a kernel thread), and the creation and deletion of the physical
// devices themselves.
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

namespace {

// The test bus's name as the enumerator of its devices' instance IDs.
constexpr char kEnumerator[] = "HOSTBUS";

void FillCapabilities(PDEVICE_CAPABILITIES caps, const PhysicalDeviceOptions& options) {
    caps->Removable = 1;
    caps->SurpriseRemovalOK = 1;
    caps->Address = options.Address;
    caps->UINumber = options.UINumber;
    for (int state = 0; state < PowerSystemMaximum; state++)
        caps->DeviceState[state] = PowerDeviceD3;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
}

/*
 * A bus whose hardware takes its time: the request is marked pending and
 * its answer, already decided, is given later from a kernel thread at
 * DISPATCH_LEVEL, the way a bus driver completes from its DPC. The drivers
 * above meet their completion routines on another thread, after their
 * dispatch routines have returned.
 */
NTSTATUS PendAnswer(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status) {
    IoMarkIrpPending(irp);
    PDRIVER_OBJECT bus = device->DriverObject;
    StartThread([bus, irp, status] {
        DriverScope scope(bus);
        AtIrql dispatch(DISPATCH_LEVEL);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
}

// The bus driver's part of each request that reaches a physical device.
NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    PhysicalDeviceOptions options;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        options = FindDevice(device)->Options;
    }
    NTSTATUS status = irp->IoStatus.Status;
    switch (location->MajorFunction) {
    case IRP_MJ_PNP:
        switch (location->MinorFunction) {
        case IRP_MN_START_DEVICE:
            status = options.StartStatus;
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
            if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
                status = STATUS_UNSUCCESSFUL;
            } else {
                FillCapabilities(caps, options);
                status = STATUS_SUCCESS;
            }
            break;
        }
        default:
            break;  // a bus leaves what it does not handle as it came
        }
        break;
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        if (location->MinorFunction == IRP_MN_SET_POWER) {
            if (location->Parameters.Power.Type == DevicePowerState &&
                NT_SUCCESS(options.PowerStatus))
                PoSetPowerState(device, DevicePowerState, location->Parameters.Power.State);
            status = options.PowerStatus;
        } else if (location->MinorFunction == IRP_MN_QUERY_POWER) {
            status = options.PowerStatus;
        } else if (location->MinorFunction == IRP_MN_WAIT_WAKE) {
            status = STATUS_NOT_SUPPORTED;
        }
        break;
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    if (options.PendRequests &&
        (location->MajorFunction == IRP_MJ_PNP || location->MajorFunction == IRP_MJ_POWER))
        return PendAnswer(device, irp, status);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI BusUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& dispatch : driver->MajorFunction) dispatch = BusDispatch;
    driver->DriverUnload = BusUnload;
    return STATUS_SUCCESS;
}

}  // namespace

DeviceRecord* PhysicalRecord(PDEVICE_OBJECT pdo) {
    DeviceRecord* record = FindDevice(pdo);
    return record && record->Physical ? record : nullptr;
}

PDRIVER_OBJECT BusDriver() {
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        for (auto& driver : K().Drivers)
            if (driver->Loaded && driver->Bus) return driver->Object;
    }
    PDRIVER_OBJECT bus = LoadDriver("HostBus", BusEntry);
    MarkTestDouble(bus);
    std::lock_guard<std::mutex> guard(K().Lock);
    FindDriverRecord(bus)->Bus = true;
    return bus;
}

}  // namespace detail

using namespace detail;

PDEVICE_OBJECT CreatePhysicalDevice(const PhysicalDeviceOptions& options) {
    PDRIVER_OBJECT bus = BusDriver();
    PDEVICE_OBJECT pdo = nullptr;
    {
        DriverScope scope(bus);
        AtIrql passive(PASSIVE_LEVEL);
        IoCreateDevice(bus, 0, nullptr, options.DeviceType, options.Characteristics, FALSE, &pdo);
    }
    std::lock_guard<std::mutex> guard(K().Lock);
    DeviceRecord* record = FindDevice(pdo);
    record->Physical = true;
    record->Role = StackRole::Bus;
    record->Options = options;
    std::string instance =
        options.InstanceId ? options.InstanceId : Format("%04u", K().NextInstance++);
    record->DeviceInstanceId = std::string(kEnumerator) + "\\" + options.DeviceId + "\\" + instance;
    pdo->Flags = ((options.Flags | DO_BUS_ENUMERATED_DEVICE) & ~DO_DEVICE_INITIALIZING) |
                 (pdo->Flags & DO_DEVICE_HAS_NAME);
    K().PhysicalDevices.push_back(pdo);
    return pdo;
}

void DeletePhysicalDevice(PDEVICE_OBJECT pdo) {
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        DeviceRecord* record = PhysicalRecord(pdo);
        if (!record || record->Deleted) {
            Fault("DeletePhysicalDevice of %p, which is not a physical device object",
                  static_cast<void*>(pdo));
            return;
        }
        if (pdo->AttachedDevice)
            Fault("DeletePhysicalDevice of %s while %s is still attached", DeviceName(pdo).c_str(),
                  DeviceName(pdo->AttachedDevice).c_str());
    }
    DisableInterfacesOf(pdo);
    DriverScope scope(pdo->DriverObject);
    AtIrql passive(PASSIVE_LEVEL);
    IoDeleteDevice(pdo);
}

}  // namespace host_kernel
