// Power requests on the I/O side: PoStartNextPowerIrp, which lets the next
// power IRP go (when a driver owes it is the power rules' business, in
// pnp_rules.cpp), and PoSetPowerState, which records the device power state
// its drivers report. PoCallDriver is part of the call-down path
// (io_call.cpp).
#include "kernel_internal.h"

using namespace host_kernel;
using namespace host_kernel::detail;

extern "C" {

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    std::lock_guard<std::mutex> guard(K().Lock);
    IrpRecord* record = FindIrp(Irp);
    if (!record || record->State == IrpState::Freed) {
        Fault("PoStartNextPowerIrp of %p, which is not a live IRP", static_cast<void*>(Irp));
        return;
    }
    PIO_STACK_LOCATION current = Irp->Tail.Overlay.CurrentStackLocation;
    if (Irp->CurrentLocation <= Irp->StackCount && current->MajorFunction != IRP_MJ_POWER) {
        Fault("PoStartNextPowerIrp with %s, which is not a power IRP",
              Describe(Irp, current).c_str());
        return;
    }
    NotePowerIrpStarted(Irp, record);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
    CheckIrql(DISPATCH_LEVEL, "PoSetPowerState");
    std::lock_guard<std::mutex> guard(K().Lock);
    POWER_STATE old{};
    DeviceRecord* device = FindDevice(DeviceObject);
    if (!device) {
        Fault("PoSetPowerState of %p, which is not a device object",
              static_cast<void*>(DeviceObject));
        return old;
    }
    if (Type == DevicePowerState) {
        old = device->DevicePower;
        device->DevicePower = State;
    }
    return old;
}

}  // extern "C"
