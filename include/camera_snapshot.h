/*
 * The snapshot interface between the bridge driver and tessip, the
 * still-image filter: the record tessip fills on IRP_MN_QUERY_INTERFACE and
 * the three functions in it, through which the bridge driver describes the
 * image, learns whether a snapshot is wanted and delivers frames or trigger
 * reports.
 *
 * A bridge driver includes this header after its DDK headers (see
 * camera_common.h); it brings camera_still_image.h along for the image
 * description, which the bridge driver writes and the application reads.
 */
#ifndef CAMERA_SNAPSHOT_H
#define CAMERA_SNAPSHOT_H

#include "camera_common.h"
#include "camera_still_image.h"

/* {53A4763D-3B76-4772-8EDA-D7C435542856}; a query matches on all 16 bytes. */
#define GUID_SNAPSHOT_INTERFACE_INIT                       \
    {                                                      \
        0x53A4763D, 0x3B76, 0x4772, {                      \
            0x8E, 0xDA, 0xD7, 0xC4, 0x35, 0x54, 0x28, 0x56 \
        }                                                  \
    }
static const CAMERA_GUID GUID_SNAPSHOT_INTERFACE = GUID_SNAPSHOT_INTERFACE_INIT;

#define SNAPSHOT_INTERFACE_VERSION 100

/*
 * The WDM device object, by its structure tag: a pointer to it is the DDK's
 * PDEVICE_OBJECT, so the functions below take tessip's filter device object
 * without this header needing any kernel header.
 */
struct _DEVICE_OBJECT;

/* Replaces the image description; its ByteCount governs every later copy. */
typedef void(CAMERA_NTAPI* PSNAPSHOT_SET_IMAGE_INFO)(struct _DEVICE_OBJECT* DeviceObject,
                                                     const SNAPSHOT_IMAGE_INFO* ImageInfo);
/* Returns 1 once per snapshot asked for since the last call, else 0. */
typedef uint32_t(CAMERA_NTAPI* PSNAPSHOT_TAKE_REQUEST)(struct _DEVICE_OBJECT* DeviceObject);
/*
 * With a Frame: copies ByteCount bytes of it as the new snapshot. Without
 * (NULL): a trigger report, which asks for a snapshot and, with the
 * application's events switched on, pulses its first event for a nonzero
 * TriggerKind and its second for 0. Never waits.
 */
typedef void(CAMERA_NTAPI* PSNAPSHOT_SUBMIT)(struct _DEVICE_OBJECT* DeviceObject, void* Frame,
                                             uint32_t TriggerKind);

typedef void(CAMERA_NTAPI* SNAPSHOT_INTERFACE_REFERENCE)(void* Context);

/*
 * The record the bridge driver passes with IRP_MN_QUERY_INTERFACE: the
 * platform's INTERFACE header followed by three function pointers. tessip
 * writes Size, Version and the functions; Context and the two reference
 * routines keep what the bridge driver put there.
 *
 * For bridge-driver authors:
 *  - tessip fills the whole record whatever Size and Version the query asks
 *    for, so the query's buffer must be a whole SNAPSHOT_INTERFACE.
 *  - The functions take tessip's own filter device object, which the record
 *    does not carry, and do nothing for any other device object
 *    (TakeSnapshotRequest answers 0). The top of the camera's stack is
 *    tessip's device only while no other filter sits above it; class upper
 *    filters and other packages' device filters may. Send the query to each
 *    device above your own in turn, from the one just above upwards (during
 *    start the stack's AttachedDevice links stay put): a query travels down
 *    from where it is sent, so the first device whose query comes back
 *    filled is tessip's.
 */
typedef struct SNAPSHOT_INTERFACE {
    uint16_t Size;
    uint16_t Version;
    void* Context;
    SNAPSHOT_INTERFACE_REFERENCE InterfaceReference;
    SNAPSHOT_INTERFACE_REFERENCE InterfaceDereference;
    PSNAPSHOT_SET_IMAGE_INFO SetImageInfo;
    PSNAPSHOT_TAKE_REQUEST TakeSnapshotRequest;
    PSNAPSHOT_SUBMIT SubmitSnapshot;
} SNAPSHOT_INTERFACE;

CAMERA_STATIC_ASSERT(sizeof(SNAPSHOT_INTERFACE) == CAMERA_PTR_OFFSET(0x38, 0x1C),
                     "SNAPSHOT_INTERFACE size");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_INTERFACE, Version) == 2, "INTERFACE header");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_INTERFACE, Context) == CAMERA_PTR_OFFSET(0x08, 0x04),
                     "SNAPSHOT_INTERFACE layout");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_INTERFACE, InterfaceReference) ==
                         CAMERA_PTR_OFFSET(0x10, 0x08),
                     "SNAPSHOT_INTERFACE layout");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_INTERFACE, InterfaceDereference) ==
                         CAMERA_PTR_OFFSET(0x18, 0x0C),
                     "SNAPSHOT_INTERFACE layout");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_INTERFACE, SetImageInfo) == CAMERA_PTR_OFFSET(0x20, 0x10),
                     "SNAPSHOT_INTERFACE layout");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_INTERFACE, TakeSnapshotRequest) ==
                         CAMERA_PTR_OFFSET(0x28, 0x14),
                     "SNAPSHOT_INTERFACE layout");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_INTERFACE, SubmitSnapshot) == CAMERA_PTR_OFFSET(0x30, 0x18),
                     "SNAPSHOT_INTERFACE layout");

#endif /* CAMERA_SNAPSHOT_H */
