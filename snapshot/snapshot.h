// tessip, the still-image filter: its device extension and the routines of
// its driver frame and of the snapshot exchange. The records it shares with
// the bridge driver and the application are the public headers'
// (camera_snapshot.h, camera_still_image.h), which they compile against too.
//
// The frame (snapshot_frame.cpp) owns the device object, the Plug and Play
// state and the still-image device interface. The exchange
// (snapshot_exchange.cpp) owns the snapshot buffer's contents, the three
// snapshot flags, the application's events and SNAPSHOT_INTERFACE.
#pragma once

// The kernel headers come first: they define GUID, so the public header's
// GUID objects are GUIDs here (see camera_common.h).
#include "irp_sync.h"
#include "platform.h"

#include "camera_snapshot.h"

// Plug and Play states kept in SNAPSHOT_EXTENSION.PnpState. No state has the
// value 3. The cancel requests read them, and a surprise-removed or deleted
// device serves no new read or control.
enum SNAPSHOT_PNP_STATE : ULONG {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    RemovePending = 4,
    SurpriseRemoved = 5,
    Deleted = 6,
};

// Pool tag of the snapshot buffer ("ParC" as the pool shows it).
#define SNAPSHOT_POOL_TAG 'CraP'

// Device extension of every tessip filter device object; IoCreateDevice hands
// it over zeroed. The fields up to InterfaceName are the device's documented
// state; the two after it exist only to keep the concurrent paths sound.
struct SNAPSHOT_EXTENSION {
    PDEVICE_OBJECT PhysicalDevice;  // the interface is registered on it
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice;  // every request that leaves tessip goes here
    // The state as a current and a previous value, the WDM samples' shape:
    // each query request saves one level, which its cancel restores.
    ULONG PnpState;
    ULONG PreviousPnpState;
    PKEVENT FirstEvent;   // pulsed by trigger reports of nonzero kind
    PKEVENT SecondEvent;  // pulsed by trigger reports of kind 0
    SNAPSHOT_IMAGE_INFO ImageInfo;
    PUCHAR SnapshotBuffer;  // null when the allocation failed
    ULONG SnapshotRequested;
    ULONG EventsDisabled;
    ULONG SnapshotReady;
    UNICODE_STRING InterfaceName;  // Buffer is null while no name is held

    // Even while the snapshot buffer is at rest, odd while a delivery copies
    // into it. A read that sees it move copies again, so it never reports a
    // half-overwritten image; the delivery itself never waits.
    ULONG SnapshotSequence;
    // Bytes the last complete delivery stored, changed only inside the odd
    // window of SnapshotSequence. A read hands out exactly these bytes, never
    // the rest of the buffer, whatever ImageInfo.ByteCount says by then.
    ULONG StoredByteCount;
    // Trigger reports currently signalling one of the events. Releasing an
    // event waits (boundedly) for this to drain before dropping the
    // reference, so a report never signals an event object just freed.
    LONG EventUsers;
    // 1 while a registration or release of the events is under way; a second
    // one meanwhile is refused rather than interleaved with it.
    LONG EventsBusy;
    // The file object through which the pair was registered: when its
    // handle is closed, the application is done with the events (or gone),
    // and the references go with it rather than outlive its process.
    PFILE_OBJECT EventsOwner;
    // Held by every request tessip serves or passes down, for as long as it
    // is inside tessip; removal waits on it before the snapshot buffer and
    // the extension go, so no request runs in memory already freed.
    IO_REMOVE_LOCK RemoveLock;
};

// The driver object DriverEntry was given: the bridge driver's calls act
// only on device objects that belong to it.
// NOLINTNEXTLINE(bugprone-dynamic-static-initializers): a declaration; the definition is null
extern PDRIVER_OBJECT SnapshotDriver;

// Shared words (the flags, the counts, the event pointers, the Plug and Play
// state read by the application's requests): each one aligned machine word,
// touched by tessip only through these. All are sequentially consistent:
// they keep each access single while also ordering it against the
// snapshot's sequence count, which the read's handling of SnapshotReady
// relies on.
template <typename Word>
inline Word LoadWord(const Word* word) {
    return __atomic_load_n(word, __ATOMIC_SEQ_CST);
}

template <typename Word, typename Value>
inline void StoreWord(Word* word, Value value) {
    __atomic_store_n(word, static_cast<Word>(value), __ATOMIC_SEQ_CST);
}

template <typename Word, typename Value>
inline Word ExchangeWord(Word* word, Value value) {
    return __atomic_exchange_n(word, static_cast<Word>(value), __ATOMIC_SEQ_CST);
}

// True, with the word now `desired`, when it held `expected`.
template <typename Word, typename Expected, typename Value>
inline bool CompareExchangeWord(Word* word, Expected expected, Value desired) {
    Word seen = static_cast<Word>(expected);
    return __atomic_compare_exchange_n(word, &seen, static_cast<Word>(desired), false,
                                       __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

template <typename Word, typename Value>
inline void AddToWord(Word* word, Value delta) {
    __atomic_add_fetch(word, static_cast<Word>(delta), __ATOMIC_SEQ_CST);
}

bool SnapshotSameGuid(const GUID* left, const GUID* right);

extern "C" {

// The routines the I/O manager calls are declared by their role types: a
// definition that drifts from the signature it is called with no longer
// compiles.

// Driver frame (snapshot_frame.cpp).
DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE SnapshotAddDevice;
DRIVER_UNLOAD SnapshotUnload;
DRIVER_DISPATCH SnapshotDispatchPnp;
DRIVER_DISPATCH SnapshotDispatchPower;
DRIVER_DISPATCH SnapshotPassThrough;
IO_COMPLETION_ROUTINE SnapshotStartCompletion;

// Snapshot exchange (snapshot_exchange.cpp).
DRIVER_DISPATCH SnapshotDispatchDeviceControl;
DRIVER_DISPATCH SnapshotDispatchRead;
DRIVER_DISPATCH SnapshotDispatchCleanup;
VOID NTAPI SetImageInfo(PDEVICE_OBJECT DeviceObject, const SNAPSHOT_IMAGE_INFO* ImageInfo);
uint32_t NTAPI TakeSnapshotRequest(PDEVICE_OBJECT DeviceObject);
VOID NTAPI SubmitSnapshot(PDEVICE_OBJECT DeviceObject, PVOID Frame, uint32_t TriggerKind);

NTSTATUS UpdateImageInterface(PDEVICE_OBJECT PhysicalDevice, PUNICODE_STRING InterfaceName,
                              BOOLEAN Enable);

}  // extern "C"

// Exchange services for the frame: the add-device defaults of the snapshot
// fields, the answer to the interface query, and what removal must let go of.
VOID SnapshotInitializeExchange(SNAPSHOT_EXTENSION* Extension);
VOID SnapshotFillInterface(SNAPSHOT_INTERFACE* Interface);
VOID SnapshotReleaseEvents(SNAPSHOT_EXTENSION* Extension);

// Frame services for the exchange: sending a request down and completing one
// here, for a caller that holds the remove lock.
NTSTATUS SnapshotSendDown(SNAPSHOT_EXTENSION* Extension, PIRP Irp);
NTSTATUS SnapshotCompleteRequest(PIRP Irp, NTSTATUS Status);

inline SNAPSHOT_EXTENSION* SnapshotExtension(PDEVICE_OBJECT DeviceObject) {
    return static_cast<SNAPSHOT_EXTENSION*>(DeviceObject->DeviceExtension);
}
