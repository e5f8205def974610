// The snapshot exchange: SNAPSHOT_INTERFACE for the bridge driver, and the
// I/O controls and the read request for the application.
//
// Two threads meet here without a lock: the bridge driver's, delivering
// frames and trigger reports (it must never wait), and the application's,
// sending controls and reads. The flags are single 32-bit words; the buffer
// is guarded by a sequence count that a read checks around its copy; the
// event pointers by a count of trigger reports that are signalling.
#include "snapshot.h"

// How often a read tries for a copy that no delivery overlapped before it
// gives up with STATUS_DEVICE_BUSY. A frame takes well under a millisecond
// to copy and frames arrive tens of milliseconds apart, so a second attempt
// practically always succeeds.
constexpr ULONG kReadAttempts = 8;

// How often releasing the events looks for trigger reports still signalling
// them before it gives up with STATUS_DEVICE_BUSY. A report holds an event
// only for one KeSetEvent and one KeClearEvent.
constexpr ULONG kReleaseAttempts = 8;
// How many times in a row each of those attempts looks at the count.
constexpr ULONG kReleaseLooks = 1024;

// The pause between two attempts, in 100 ns units (negative: relative). The
// waiting thread gives up the processor, so a delivery or a trigger report
// preempted on the same processor gets to finish.
constexpr LONGLONG kRetryInterval = -10000;  // 1 ms

#if defined(__SANITIZE_THREAD__)
// A read copies while a delivery may be overwriting the buffer; the sequence
// count, not the copy, decides whether the result is kept. ThreadSanitizer
// cannot see that, so it is told to look away from that one copy. Host
// builds under ThreadSanitizer only.
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
#define SNAPSHOT_RACY_COPY_BEGIN() AnnotateIgnoreReadsBegin(__FILE__, __LINE__)
#define SNAPSHOT_RACY_COPY_END() AnnotateIgnoreReadsEnd(__FILE__, __LINE__)
#else
#define SNAPSHOT_RACY_COPY_BEGIN() ((void)0)
#define SNAPSHOT_RACY_COPY_END() ((void)0)
#endif

/*
 * PauseBeforeRetry
 *
 * Bounds every wait in tessip: each caller counts its attempts, and between
 * two of them the thread sleeps for kRetryInterval where it may (the
 * application's requests arrive at PASSIVE_LEVEL). A kernel-mode requester
 * at DISPATCH_LEVEL gets its attempts back to back instead.
 */
static void PauseBeforeRetry() {
    if (KeGetCurrentIrql() > APC_LEVEL) {
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = kRetryInterval;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Keeps the compiler from moving the buffer copy across the sequence count's
// loads and stores. The processor needs nothing more: both images are x86,
// which keeps loads in order with loads and stores with stores, and the
// count's own accesses are sequentially consistent.
static inline void CopyBarrier() {
    __asm__ __volatile__("" ::: "memory");
}

bool SnapshotSameGuid(const GUID* left, const GUID* right) {
    if (left->Data1 != right->Data1 || left->Data2 != right->Data2 || left->Data3 != right->Data3) {
        return false;
    }
    for (ULONG i = 0; i < sizeof(left->Data4); i++) {
        if (left->Data4[i] != right->Data4[i]) {
            return false;
        }
    }
    return true;
}

VOID SnapshotInitializeExchange(SNAPSHOT_EXTENSION* Extension) {
    Extension->SnapshotRequested = 0;
    Extension->SnapshotReady = 0;
    Extension->EventsDisabled = 1;
    Extension->SnapshotSequence = 0;
    Extension->StoredByteCount = 0;
    Extension->EventUsers = 0;
    Extension->EventsBusy = 0;
    Extension->EventsOwner = nullptr;
}

VOID SnapshotFillInterface(SNAPSHOT_INTERFACE* Interface) {
    Interface->Size = sizeof(SNAPSHOT_INTERFACE);
    Interface->Version = SNAPSHOT_INTERFACE_VERSION;
    Interface->SetImageInfo = SetImageInfo;
    Interface->TakeSnapshotRequest = TakeSnapshotRequest;
    Interface->SubmitSnapshot = SubmitSnapshot;
}

// --- The application's events ------------------------------------------------

/*
 * BeginEventUpdate / EndEventUpdate
 *
 * Registrations and releases of the pair run one at a time. Two at once
 * would each empty the fields and each store a pair, and the references of
 * the pair overwritten would be lost for good; the second one is refused
 * instead, and the application may simply send it again.
 */
static bool BeginEventUpdate(SNAPSHOT_EXTENSION* Extension) {
    return CompareExchangeWord(&Extension->EventsBusy, 0, 1);
}

static void EndEventUpdate(SNAPSHOT_EXTENSION* Extension) {
    StoreWord(&Extension->EventsBusy, 0);
}

/*
 * WaitForEventUsers
 *
 * True once no trigger report holds an event any more. Reports that start
 * after the fields were emptied find them empty and leave at once, so under
 * a storm of reports the count still touches zero often: each attempt looks
 * many times in a row before it pauses. A report preempted mid-pulse is
 * given a few pauses, not forever.
 */
static bool WaitForEventUsers(SNAPSHOT_EXTENSION* Extension) {
    for (ULONG attempt = 0; attempt < kReleaseAttempts; attempt++) {
        if (attempt != 0) {
            PauseBeforeRetry();
        }
        for (ULONG look = 0; look < kReleaseLooks; look++) {
            if (LoadWord(&Extension->EventUsers) == 0) {
                return true;
            }
            __builtin_ia32_pause();
        }
    }
    return false;
}

/*
 * ReleaseEventPair
 *
 * Empties both fields first, so no new trigger report can pick an event up,
 * then lets any report that already holds one finish before the references
 * go: the application may have closed its handles, and these references
 * may be the events' last. If a report does not finish within the bound,
 * the pair is put back as it was and the release fails: a reference kept
 * is better than an event freed under a report. Called with the update
 * begun, so nothing else stores into the fields meanwhile.
 */
static NTSTATUS ReleaseEventPair(SNAPSHOT_EXTENSION* Extension) {
    PKEVENT first = ExchangeWord(&Extension->FirstEvent, nullptr);
    PKEVENT second = ExchangeWord(&Extension->SecondEvent, nullptr);
    if (first == nullptr && second == nullptr) {
        return STATUS_SUCCESS;
    }
    if (!WaitForEventUsers(Extension)) {
        StoreWord(&Extension->FirstEvent, first);
        StoreWord(&Extension->SecondEvent, second);
        return STATUS_DEVICE_BUSY;
    }
    StoreWord(&Extension->EventsOwner, nullptr);
    if (first != nullptr) {
        ObDereferenceObject(first);
    }
    if (second != nullptr) {
        ObDereferenceObject(second);
    }
    return STATUS_SUCCESS;
}

/*
 * SnapshotReleaseEvents
 *
 * Removal's release. By then the bridge driver has finished its own
 * removal and the application has closed the device, so neither a report
 * nor a registration should be under way; if one still is, the references
 * stay held rather than be dropped under it.
 */
VOID SnapshotReleaseEvents(SNAPSHOT_EXTENSION* Extension) {
    if (BeginEventUpdate(Extension)) {
        ReleaseEventPair(Extension);
        EndEventUpdate(Extension);
    }
}

/*
 * ReferenceEvent
 *
 * A trigger report sets and clears the event, so the handle must carry the
 * right to do that: a process holding only SYNCHRONIZE on another's event
 * must not be able to have it pulsed on demand.
 */
static NTSTATUS ReferenceEvent(HANDLE Handle, PKEVENT* Event) {
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(
        Handle, EVENT_MODIFY_STATE, PlatformEventObjectType(), UserMode, &object, nullptr);
    *Event = NT_SUCCESS(status) ? static_cast<PKEVENT>(object) : nullptr;
    return status;
}

/*
 * RegisterEvents
 *
 * All or nothing: a pair of which one handle failed is useless to the
 * application, which would wait on an event that is never pulsed while the
 * request reported success. The old pair goes first in every case; if it
 * cannot go yet, nothing changes.
 */
static NTSTATUS RegisterEvents(SNAPSHOT_EXTENSION* Extension, HANDLE First, HANDLE Second,
                               PFILE_OBJECT Owner) {
    NTSTATUS status = ReleaseEventPair(Extension);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PKEVENT first;
    status = ReferenceEvent(First, &first);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PKEVENT second;
    status = ReferenceEvent(Second, &second);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(first);
        return status;
    }

    StoreWord(&Extension->EventsOwner, Owner);
    StoreWord(&Extension->FirstEvent, first);
    StoreWord(&Extension->SecondEvent, second);
    return STATUS_SUCCESS;
}

/*
 * PulseEvent
 *
 * Set then clear at once: a thread already waiting is released, one that
 * starts waiting later sees nothing. The count of users keeps the event
 * object alive across the two calls (see ReleaseEventPair).
 */
static void PulseEvent(SNAPSHOT_EXTENSION* Extension, PKEVENT* Field) {
    AddToWord(&Extension->EventUsers, 1);
    PKEVENT event = LoadWord(Field);
    if (event != nullptr) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        KeClearEvent(event);
    }
    AddToWord(&Extension->EventUsers, -1);
}

// --- SNAPSHOT_INTERFACE -------------------------------------------------------

/*
 * InterfaceExtension
 *
 * The bridge driver names the device with every call, and a bridge driver
 * that took the top of its stack for tessip's device would name another
 * driver's whenever a filter sits above tessip. Its extension is not a
 * SNAPSHOT_EXTENSION: only a device object of tessip's own driver is acted
 * on, any other call does nothing.
 */
static SNAPSHOT_EXTENSION* InterfaceExtension(PDEVICE_OBJECT DeviceObject) {
    if (DeviceObject == nullptr || SnapshotDriver == nullptr ||
        DeviceObject->DriverObject != SnapshotDriver) {
        return nullptr;
    }
    return SnapshotExtension(DeviceObject);
}

VOID NTAPI SetImageInfo(PDEVICE_OBJECT DeviceObject, const SNAPSHOT_IMAGE_INFO* ImageInfo) {
    SNAPSHOT_EXTENSION* extension = InterfaceExtension(DeviceObject);
    if (extension != nullptr) {
        RtlCopyMemory(&extension->ImageInfo, ImageInfo, sizeof(SNAPSHOT_IMAGE_INFO));
    }
}

/*
 * TakeSnapshotRequest
 *
 * One exchange rather than a load and a store: a request the application
 * makes between the two would otherwise be cleared without being reported.
 */
uint32_t NTAPI TakeSnapshotRequest(PDEVICE_OBJECT DeviceObject) {
    SNAPSHOT_EXTENSION* extension = InterfaceExtension(DeviceObject);
    if (extension == nullptr) {
        return 0;
    }
    return ExchangeWord(&extension->SnapshotRequested, 0);
}

static ULONG SnapshotByteCount(SNAPSHOT_EXTENSION* Extension) {
    return LoadWord(&Extension->ImageInfo.ByteCount);
}

/*
 * DeliverFrame
 *
 * A frame that cannot be stored whole is not stored at all: with no buffer,
 * or a ByteCount beyond it, the previous snapshot and the flags stay as they
 * were. The sequence goes odd for the length of the copy and of the
 * stored count, so that a read in progress knows to copy again; a second
 * delivery overlapping this one is dropped rather than waited for.
 */
static void DeliverFrame(SNAPSHOT_EXTENSION* Extension, const void* Frame) {
    ULONG byteCount = SnapshotByteCount(Extension);
    if (Extension->SnapshotBuffer == nullptr || byteCount > SNAPSHOT_BUFFER_SIZE) {
        return;
    }

    ULONG sequence = LoadWord(&Extension->SnapshotSequence);
    if ((sequence & 1) != 0 ||
        !CompareExchangeWord(&Extension->SnapshotSequence, sequence, sequence + 1)) {
        return;
    }
    CopyBarrier();
    RtlCopyMemory(Extension->SnapshotBuffer, Frame, byteCount);
    StoreWord(&Extension->StoredByteCount, byteCount);
    CopyBarrier();
    StoreWord(&Extension->SnapshotSequence, sequence + 2);

    StoreWord(&Extension->SnapshotRequested, 0);
    StoreWord(&Extension->SnapshotReady, 1);
}

/*
 * ReportTrigger
 *
 * The camera asked for a snapshot. The request stands whether or not the
 * application listens; the event only tells it one is coming.
 */
static void ReportTrigger(SNAPSHOT_EXTENSION* Extension, ULONG TriggerKind) {
    StoreWord(&Extension->SnapshotRequested, 1);
    if (LoadWord(&Extension->EventsDisabled) != 0) {
        return;
    }
    PulseEvent(Extension, TriggerKind != 0 ? &Extension->FirstEvent : &Extension->SecondEvent);
}

VOID NTAPI SubmitSnapshot(PDEVICE_OBJECT DeviceObject, PVOID Frame, uint32_t TriggerKind) {
    SNAPSHOT_EXTENSION* extension = InterfaceExtension(DeviceObject);
    if (extension == nullptr) {
        return;
    }
    if (Frame != nullptr) {
        DeliverFrame(extension, Frame);
    } else {
        ReportTrigger(extension, TriggerKind);
    }
}

// --- I/O controls -------------------------------------------------------------

/*
 * BeginRequest / EndRequest
 *
 * A read or control is served under the remove lock, so removal waits for
 * it before the buffer and the extension go. A camera that is gone, or
 * going, serves nothing new: a surprise-removed device is refused too, so
 * that no new reference is taken on the way out (closes still go down).
 * False: the request has been completed with STATUS_DELETE_PENDING.
 */
static bool BeginRequest(SNAPSHOT_EXTENSION* Extension, PIRP Irp) {
    if (NT_SUCCESS(IoAcquireRemoveLock(&Extension->RemoveLock, Irp))) {
        const ULONG state = LoadWord(&Extension->PnpState);
        if (state != SurpriseRemoved && state != Deleted) {
            return true;
        }
        IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    }
    Irp->IoStatus.Information = 0;
    SnapshotCompleteRequest(Irp, STATUS_DELETE_PENDING);
    return false;
}

static void EndRequest(SNAPSHOT_EXTENSION* Extension, PIRP Irp) {
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
}

static NTSTATUS GetImageInfo(SNAPSHOT_EXTENSION* Extension, PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SNAPSHOT_IMAGE_INFO)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Extension->ImageInfo,
                  sizeof(SNAPSHOT_IMAGE_INFO));
    Irp->IoStatus.Information = sizeof(SNAPSHOT_IMAGE_INFO);
    return STATUS_SUCCESS;
}

/*
 * SetEvents
 *
 * A first handle of nullptr releases the pair; anything else registers a new
 * one. Input too short to hold two handles changes nothing, and so does a
 * request that finds another registration or release under way.
 */
static NTSTATUS SetEvents(SNAPSHOT_EXTENSION* Extension, PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.DeviceIoControl.InputBufferLength < SNAPSHOT_SET_EVENTS_INPUT_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    HANDLE handles[2];
    RtlCopyMemory(handles, Irp->AssociatedIrp.SystemBuffer, sizeof(handles));

    if (!BeginEventUpdate(Extension)) {
        return STATUS_DEVICE_BUSY;
    }
    NTSTATUS status = handles[0] == nullptr
                          ? ReleaseEventPair(Extension)
                          : RegisterEvents(Extension, handles[0], handles[1], Stack->FileObject);
    EndEventUpdate(Extension);
    return status;
}

static NTSTATUS SnapshotControl(SNAPSHOT_EXTENSION* Extension, PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG code;
    RtlCopyMemory(&code, Irp->AssociatedIrp.SystemBuffer, sizeof(code));

    switch (code) {
    case SNAPSHOT_CONTROL_REQUEST:
        StoreWord(&Extension->SnapshotRequested, 1);
        break;
    case SNAPSHOT_CONTROL_EVENTS_OFF:
        StoreWord(&Extension->EventsDisabled, 1);
        StoreWord(&Extension->SnapshotReady, 0);
        break;
    case SNAPSHOT_CONTROL_EVENTS_ON:
        StoreWord(&Extension->EventsDisabled, 0);
        StoreWord(&Extension->SnapshotReady, 0);
        break;
    case SNAPSHOT_CONTROL_QUERY_READY: {
        if (Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        ULONG ready = LoadWord(&Extension->SnapshotReady);
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &ready, sizeof(ready));
        Irp->IoStatus.Information = sizeof(ready);
        break;
    }
    default:
        break;
    }
    return STATUS_SUCCESS;
}

/*
 * SnapshotDispatchDeviceControl
 *
 * The three snapshot controls are completed here, at once; every other code
 * belongs to the drivers below. The status block is reset for all codes,
 * those passed down included.
 */
NTSTATUS NTAPI SnapshotDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SNAPSHOT_EXTENSION* extension = SnapshotExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    if (!BeginRequest(extension, Irp)) {
        return STATUS_DELETE_PENDING;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SNAPSHOT_GET_IMAGE_INFO:
        status = GetImageInfo(extension, Irp, stack);
        break;
    case IOCTL_SNAPSHOT_SET_EVENTS:
        status = SetEvents(extension, Irp, stack);
        break;
    case IOCTL_SNAPSHOT_CONTROL:
        status = SnapshotControl(extension, Irp, stack);
        break;
    default:
        status = SnapshotSendDown(extension, Irp);
        EndRequest(extension, Irp);
        return status;
    }

    SnapshotCompleteRequest(Irp, status);
    EndRequest(extension, Irp);
    return status;
}

/*
 * SnapshotDispatchCleanup
 *
 * The last handle of a file object is closed. If the application
 * registered its events through it, it can no longer release them, and its
 * process may be ending: the references go now, not at the camera's
 * removal. A cleanup is never refused; it goes on down in every case.
 */
NTSTATUS NTAPI SnapshotDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SNAPSHOT_EXTENSION* extension = SnapshotExtension(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return SnapshotCompleteRequest(Irp, status);
    }
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (file != nullptr && LoadWord(&extension->EventsOwner) == file) {
        SnapshotReleaseEvents(extension);
    }
    status = SnapshotSendDown(extension, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

// --- The read -------------------------------------------------------------------

// Where a read puts the snapshot, and how many bytes fit there.
struct SNAPSHOT_DESTINATION {
    PUCHAR Address;
    SIZE_T Capacity;
    bool RawUserAddress;  // a user-mode caller's own address, unvalidated
};

/*
 * IsBufferedRead
 *
 * Whether the request's system buffer is the read's memory. Windows' I/O
 * manager marks such a request IRP_BUFFERED_IO; an I/O manager that does
 * not (Wine's builds the request with the system buffer alone) still hands
 * a device that does buffered I/O a request without an MDL, so that form
 * counts too, unless the request is an associated one, whose field holds
 * its master IRP.
 */
static bool IsBufferedRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if ((Irp->Flags & IRP_BUFFERED_IO) != 0) {
        return true;
    }
    return Irp->MdlAddress == nullptr && (DeviceObject->Flags & DO_BUFFERED_IO) != 0 &&
           (Irp->Flags & IRP_ASSOCIATED_IRP) == 0;
}

/*
 * ChooseReadDestination
 *
 * Only memory the I/O manager prepared is written: the MDL of a direct
 * request (locked, with its byte count), or the system buffer of a
 * buffered one (allocated for the request's Length). The system buffer
 * field means something else on other requests (nothing on a direct one,
 * the master IRP on an associated one), so it stands in for an MDL that
 * cannot be mapped only when the request is marked buffered. The caller's
 * own address counts only on a device that does neither buffered nor direct
 * I/O. A request of Length 0 may bring no address at all.
 */
static SNAPSHOT_DESTINATION ChooseReadDestination(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                  PIO_STACK_LOCATION Stack) {
    ULONG length = Stack->Parameters.Read.Length;
    bool buffered = IsBufferedRead(DeviceObject, Irp);

    if (Irp->MdlAddress != nullptr) {
        PUCHAR mapped =
            static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, HighPagePriority));
        if (mapped != nullptr || !buffered) {
            return {mapped, MmGetMdlByteCount(Irp->MdlAddress), false};
        }
    }
    if (buffered) {
        return {static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer), length, false};
    }
    if ((DeviceObject->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO)) != 0) {
        return {nullptr, length, false};
    }
    return {static_cast<PUCHAR>(Irp->UserBuffer), length, Irp->RequestorMode != KernelMode};
}

/*
 * CopySnapshotOut
 *
 * Copies the last complete delivery, and only its bytes, in one attempt
 * that no delivery overlapped; hands back how many bytes and the sequence
 * of the snapshot it got. A delivery never waits for a read, so the read is
 * the one that tries again, a bounded number of times: under a camera that
 * never pauses it fails with STATUS_DEVICE_BUSY rather than hold its caller.
 */
// What a read got: how many bytes, and the sequence of the snapshot.
struct SNAPSHOT_COPY {
    ULONG ByteCount;
    ULONG Sequence;
};

static NTSTATUS CopySnapshotOut(SNAPSHOT_EXTENSION* Extension,
                                const SNAPSHOT_DESTINATION& Destination, SNAPSHOT_COPY* Copy) {
    for (ULONG attempt = 0; attempt < kReadAttempts; attempt++) {
        if (attempt != 0) {
            PauseBeforeRetry();
        }
        ULONG before = LoadWord(&Extension->SnapshotSequence);
        if ((before & 1) != 0) {
            continue;
        }
        ULONG byteCount = LoadWord(&Extension->StoredByteCount);
        if (byteCount > Destination.Capacity) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (Destination.Address == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }

        CopyBarrier();
        SNAPSHOT_RACY_COPY_BEGIN();
        RtlCopyMemory(Destination.Address, Extension->SnapshotBuffer, byteCount);
        SNAPSHOT_RACY_COPY_END();
        CopyBarrier();

        if (LoadWord(&Extension->SnapshotSequence) == before) {
            Copy->ByteCount = byteCount;
            Copy->Sequence = before;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_DEVICE_BUSY;
}

/*
 * ClearReadyAfterRead
 *
 * The snapshot that was read is no longer ready, but one delivered since the
 * copy must not be hidden by that: if the sequence has moved, the flag is
 * set again (a delivery still copying sets it itself when done).
 */
static void ClearReadyAfterRead(SNAPSHOT_EXTENSION* Extension, ULONG Sequence) {
    StoreWord(&Extension->SnapshotReady, 0);
    if (LoadWord(&Extension->SnapshotSequence) != Sequence) {
        StoreWord(&Extension->SnapshotReady, 1);
    }
}

/*
 * SnapshotDispatchRead
 *
 * Hands the application the last delivery whole, or nothing at all, and
 * reports in Information the bytes it handed over, so that the I/O manager
 * copies a buffered read's system buffer back and the caller learns the
 * size of the image it got. That is the stored delivery's size, which a
 * later SetImageInfo does not change: no byte a delivery did not write
 * leaves the buffer. A read that cannot be served whole copies nothing and
 * leaves SnapshotReady alone, so the snapshot is still there for a proper
 * read.
 *
 * A user-mode request that brings only its own raw address (a lower device
 * with neither buffered nor direct I/O) is refused: without structured
 * exception handling a copy to an address the caller can unmap or page out
 * at any moment could not be recovered from, and locking the range against
 * unmapping does not stop an in-page error. Kernel-mode requesters vouch
 * for their addresses and are served.
 */
NTSTATUS NTAPI SnapshotDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SNAPSHOT_EXTENSION* extension = SnapshotExtension(DeviceObject);
    if (!BeginRequest(extension, Irp)) {
        return STATUS_DELETE_PENDING;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    SNAPSHOT_DESTINATION destination = ChooseReadDestination(DeviceObject, Irp, stack);
    SNAPSHOT_COPY copy = {0, 0};
    NTSTATUS status;

    if (extension->SnapshotBuffer == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (destination.RawUserAddress) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        status = CopySnapshotOut(extension, destination, &copy);
    }

    Irp->IoStatus.Information = NT_SUCCESS(status) ? copy.ByteCount : 0;
    SnapshotCompleteRequest(Irp, status);

    if (NT_SUCCESS(status)) {
        ClearReadyAfterRead(extension, copy.Sequence);
    }
    EndRequest(extension, Irp);
    return status;
}
