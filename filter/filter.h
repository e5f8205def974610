// orvane's driver frame: the entry routine, the per-camera filter device with
// its extension, the pass-through with its count of requests in flight, and
// the Plug and Play and power handling that sits on top of it.
//
// The frame owns FILTER_EXTENSION and nothing else. It never touches the
// sensor logic or its driver-wide tuning record; its one link to them is the
// answer to the bridge driver's interface query.
//
// Placement: DriverEntry is discarded after loading (INIT); add-device, unload,
// the Plug and Play handlers, the capabilities query and the synchronous
// forwarding are pageable (PAGE) and run only at PASSIVE_LEVEL; everything a
// power or I/O request or a completion can reach at DISPATCH_LEVEL is
// resident.
#pragma once

#include "irp_sync.h"
#include "platform.h"

// Device state, kept in FILTER_EXTENSION.State. There is no value 0.
enum FILTER_STATE : ULONG {
    FilterNotStarted = 1,       // set by add-device; no start request seen yet
    FilterStartPending = 2,     // start going down, or the capabilities query running
    FilterStarted = 3,          // started and in the working power state
    FilterStartFailed = 4,      // start failed below, or the capabilities query did
    FilterStopped = 5,          // stopped while started
    FilterPoweredDown = 6,      // set to D1..D3 while started
    FilterSurpriseRemoved = 7,  // surprise-removed: only close, PnP and power still go down
    FilterRemoved = 8,          // removed: the device object is going or gone
};

// "Fltr" in memory order.
constexpr ULONG FILTER_SIGNATURE = 0x72746C46;

// The device extension of every filter device object; lives and dies with it.
struct FILTER_EXTENSION {
    ULONG Signature;
    ULONG State;  // a FILTER_STATE; use GetFilterState / SetFilterState
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT PhysicalDevice;
    PDEVICE_OBJECT LowerDevice;  // what the attach returned; target of every forwarded request
    DEVICE_CAPABILITIES Capabilities;
    // Requests inside the dispatch paths: orvane's own count and event, the
    // classic filter's shape, where tessip and the bridge driver hold the
    // platform's remove lock. It rests at 0 instead of carrying a remove
    // lock's starting bias of 1: the remove request is never counted, so its
    // one decrement plays the part of releasing the bias, and -1 means
    // "removal has begun and the last request has left". That is enough
    // without the remove lock's refusal of late arrivals: a request that
    // comes while removal waits is counted, so the wait outlasts it, and
    // nothing comes after the wait, since the remove request is the last one
    // a device object is sent.
    volatile LONG OutstandingIo;
    KEVENT RemoveEvent;  // notification event, signalled when OutstandingIo drops below 0
};

// State is written by the Plug and Play path, the power path and the power
// completion, which can run on different processors, without a lock. The
// Plug and Play requests come one at a time and store their state outright.
// The power path moves the state only away from the one state it applies
// to, in a single compare-and-exchange: a test followed by a store would
// overwrite a surprise removal or removal landing in between, and the
// removed device would go on passing requests down. The relaxed load and
// store compile to plain moves; they only tell the compiler (and the host
// build's race detector) that the word is shared.
inline ULONG GetFilterState(const FILTER_EXTENSION* extension) {
    return __atomic_load_n(&extension->State, __ATOMIC_RELAXED);
}

inline void SetFilterState(FILTER_EXTENSION* extension, FILTER_STATE state) {
    __atomic_store_n(&extension->State, static_cast<ULONG>(state), __ATOMIC_RELAXED);
}

// Moves State from `from` to `to` if it is still `from`; true if it moved.
inline bool MoveFilterState(FILTER_EXTENSION* extension, FILTER_STATE from, FILTER_STATE to) {
    volatile LONG* state = reinterpret_cast<volatile LONG*>(&extension->State);
    return InterlockedCompareExchange(state, static_cast<LONG>(to), static_cast<LONG>(from)) ==
           static_cast<LONG>(from);
}

inline FILTER_EXTENSION* FilterExtension(PDEVICE_OBJECT deviceObject) {
    return static_cast<FILTER_EXTENSION*>(deviceObject->DeviceExtension);
}

// C names, as the I/O manager and the image checks know them.
extern "C" {

// --- Given to the I/O manager ---------------------------------------------------
// Declared by their role types: a definition that drifts from the signature
// the I/O manager calls it with no longer compiles.
DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE FilterAddDevice;
DRIVER_UNLOAD FilterUnload;
DRIVER_DISPATCH FilterDispatch;
IO_COMPLETION_ROUTINE PowerCompletion;

// --- Counting and forwarding ------------------------------------------------------
void IncrementOutstandingIo(FILTER_EXTENSION* Extension);
void DecrementOutstandingIo(FILTER_EXTENSION* Extension);
NTSTATUS ForwardIrp(FILTER_EXTENSION* Extension, PIRP Irp);
NTSTATUS ForwardIrpSynchronously(FILTER_EXTENSION* Extension, PIRP Irp);

// --- Plug and Play: a handler for each minor code that needs more than a line ----
NTSTATUS FilterDispatchPnp(FILTER_EXTENSION* Extension, PIRP Irp);
NTSTATUS FilterStartDevice(FILTER_EXTENSION* Extension, PIRP Irp);
NTSTATUS FilterRemoveDevice(FILTER_EXTENSION* Extension, PIRP Irp);
NTSTATUS FilterStopDevice(FILTER_EXTENSION* Extension, PIRP Irp);
NTSTATUS FilterQueryStopDevice(FILTER_EXTENSION* Extension, PIRP Irp);
NTSTATUS FilterQueryInterface(FILTER_EXTENSION* Extension, PIRP Irp);
NTSTATUS QueryLowerCapabilities(FILTER_EXTENSION* Extension);

// --- Power -------------------------------------------------------------------------
NTSTATUS FilterDispatchPower(FILTER_EXTENSION* Extension, PIRP Irp);

}  // extern "C"
