// A small filter driver written against the WDM names the way driver code
// is, whose forwarding can be bent by the test: how the next stack location
// is prepared, which completion routine flags are used, what the routine
// returns and whether it propagates the pending mark. Tests of the
// kernel's completion rules and its checks put it over the test driver.
#pragma once

#include "host_kernel.h"
#include "platform.h"

struct ProbeConfig {
    enum class Forward { Copy, Skip, Unset } How = Forward::Copy;
    bool SetRoutine = true;
    UCHAR InvokeFlags = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    NTSTATUS RoutineResult = STATUS_SUCCESS;
    bool PropagatePending = true;  // IoMarkIrpPending when PendingReturned
    bool SetCancel = false;        // set Irp->Cancel before passing down

    // Seen by the completion routine.
    int Invoked = 0;
    bool SawPendingReturned = false;
    PDEVICE_OBJECT RoutineDevice = nullptr;
    NTSTATUS SeenStatus = 0;
    PIRP HeldIrp = nullptr;  // the IRP when the routine stopped completion
};

extern ProbeConfig g_probe;

struct ProbeExtension {
    PDEVICE_OBJECT Lower;
};

inline NTSTATUS NTAPI ProbeCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)context;
    g_probe.Invoked++;
    g_probe.SawPendingReturned = irp->PendingReturned != FALSE;
    g_probe.RoutineDevice = device;
    g_probe.SeenStatus = irp->IoStatus.Status;
    if (g_probe.RoutineResult == STATUS_MORE_PROCESSING_REQUIRED) {
        g_probe.HeldIrp = irp;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (irp->PendingReturned && g_probe.PropagatePending) IoMarkIrpPending(irp);
    return g_probe.RoutineResult;
}

inline NTSTATUS NTAPI ProbeDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<ProbeExtension*>(device->DeviceExtension);
    switch (g_probe.How) {
    case ProbeConfig::Forward::Copy:
        IoCopyCurrentIrpStackLocationToNext(irp);
        break;
    case ProbeConfig::Forward::Skip:
        IoSkipCurrentIrpStackLocation(irp);
        break;
    case ProbeConfig::Forward::Unset:
        break;
    }
    if (g_probe.SetRoutine && g_probe.How != ProbeConfig::Forward::Skip) {
        IoSetCompletionRoutine(irp, ProbeCompletion, nullptr,
                               (g_probe.InvokeFlags & SL_INVOKE_ON_SUCCESS) != 0,
                               (g_probe.InvokeFlags & SL_INVOKE_ON_ERROR) != 0,
                               (g_probe.InvokeFlags & SL_INVOKE_ON_CANCEL) != 0);
    }
    if (g_probe.SetCancel) irp->Cancel = TRUE;
    return IoCallDriver(extension->Lower, irp);
}

inline NTSTATUS NTAPI ProbeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(ProbeExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* extension = static_cast<ProbeExtension*>(device->DeviceExtension);
    extension->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!extension->Lower) {
        IoDeleteDevice(device);
        return STATUS_UNSUCCESSFUL;
    }
    device->Flags |= extension->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Plug and Play goes straight down whatever the configuration; removal
// detaches and deletes.
inline NTSTATUS NTAPI ProbePnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<ProbeExtension*>(device->DeviceExtension);
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE)
        return IoCallDriver(extension->Lower, irp);
    NTSTATUS status = IoCallDriver(extension->Lower, irp);
    IoDetachDevice(extension->Lower);
    IoDeleteDevice(device);
    return status;
}

inline VOID NTAPI ProbeUnload(PDRIVER_OBJECT) {}

// Power requests go down the way power requests must.
inline NTSTATUS NTAPI ProbePower(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<ProbeExtension*>(device->DeviceExtension);
    PoStartNextPowerIrp(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    return PoCallDriver(extension->Lower, irp);
}

inline NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& dispatch : driver->MajorFunction) dispatch = ProbeDispatch;
    driver->MajorFunction[IRP_MJ_PNP] = ProbePnp;
    driver->MajorFunction[IRP_MJ_POWER] = ProbePower;
    driver->DriverExtension->AddDevice = ProbeAddDevice;
    driver->DriverUnload = ProbeUnload;
    return STATUS_SUCCESS;
}
