// The private I/O controls of bridge_control.h: a test program streams
// frames, presses the camera's button, sets the light, the scene and the
// anti-flicker mode, and asks what the bridge driver saw. Each is completed before its routine
// returns.
//
// Buffered only: input and output share the system buffer, so each control
// reads all of its input before it writes any output. Every length is
// checked before anything happens.
#include "bridge.h"

namespace {

struct ControlBuffers {
    PVOID Buffer;
    ULONG InputLength;
    ULONG OutputLength;
};

NTSTATUS NotReadyOrGone(BRIDGE_EXTENSION* extension) {
    return BridgeGone(GetBridgeState(extension)) ? STATUS_DELETE_PENDING : STATUS_DEVICE_NOT_READY;
}

/*
 * Stream
 *
 * Frames are streamed while the camera stays started: a stop, surprise
 * removal or removal arriving meanwhile ends the stream at the next frame,
 * and the request fails with what ended it. The camera lock is held for the
 * whole stream, so its frames are consecutive.
 */
NTSTATUS Stream(BRIDGE_EXTENSION* extension, const ControlBuffers& io, ULONG_PTR* information) {
    if (io.InputLength != sizeof(BRIDGE_STREAM_REQUEST)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (io.OutputLength != 0 && io.OutputLength < sizeof(BRIDGE_STREAM_RESULT)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const ULONG frames = static_cast<const BRIDGE_STREAM_REQUEST*>(io.Buffer)->Frames;
    if (frames == 0 || frames > BRIDGE_STREAM_MAX_FRAMES) {
        return STATUS_INVALID_PARAMETER;
    }

    BRIDGE_STREAM_RESULT result;
    RtlZeroMemory(&result, sizeof(result));
    NTSTATUS status = STATUS_SUCCESS;
    BridgeLockCamera(extension);
    while (result.Frames < frames) {
        if (GetBridgeState(extension) != BridgeStarted) {
            status = NotReadyOrGone(extension);
            break;
        }
        BridgeStreamFrame(extension, &result.Last);
        result.Frames++;
        result.Snapshots += result.Last.SnapshotDelivered;
    }
    BridgeUnlockCamera(extension);

    if (NT_SUCCESS(status) && io.OutputLength != 0) {
        RtlCopyMemory(io.Buffer, &result, sizeof(result));
        *information = sizeof(result);
    }
    return status;
}

NTSTATUS Press(BRIDGE_EXTENSION* extension, const ControlBuffers& io) {
    if (io.InputLength != sizeof(BRIDGE_PRESS_REQUEST) || io.OutputLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG kind = static_cast<const BRIDGE_PRESS_REQUEST*>(io.Buffer)->TriggerKind;
    NTSTATUS status = STATUS_SUCCESS;
    BridgeLockCamera(extension);
    if (GetBridgeState(extension) == BridgeStarted) {
        BridgePressButton(extension, kind);
    } else {
        status = NotReadyOrGone(extension);
    }
    BridgeUnlockCamera(extension);
    return status;
}

/*
 * SetScene
 *
 * The bounds keep the camera's arithmetic inside 64 bits; the light may
 * change whether or not the camera streams.
 */
NTSTATUS SetScene(BRIDGE_EXTENSION* extension, const ControlBuffers& io) {
    if (io.InputLength != sizeof(BRIDGE_SCENE) || io.OutputLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const BRIDGE_SCENE scene = *static_cast<const BRIDGE_SCENE*>(io.Buffer);
    if (scene.Brightness > BRIDGE_SCENE_MAX_BRIGHTNESS || scene.Red > BRIDGE_SCENE_MAX_COLOUR ||
        scene.Green > BRIDGE_SCENE_MAX_COLOUR || scene.Blue > BRIDGE_SCENE_MAX_COLOUR) {
        return STATUS_INVALID_PARAMETER;
    }
    BridgeLockCamera(extension);
    CAMERA_LIGHT& light = extension->Camera.Light;
    light.Brightness = scene.Brightness;
    light.Red = scene.Red;
    light.Green = scene.Green;
    light.Blue = scene.Blue;
    BridgeUnlockCamera(extension);
    return STATUS_SUCCESS;
}

/*
 * SetLight
 *
 * The whole light, with the mains that drives it: 0 is a steady light.
 */
NTSTATUS SetLight(BRIDGE_EXTENSION* extension, const ControlBuffers& io) {
    if (io.InputLength != sizeof(BRIDGE_LIGHT) || io.OutputLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const BRIDGE_LIGHT light = *static_cast<const BRIDGE_LIGHT*>(io.Buffer);
    if (light.Brightness > BRIDGE_SCENE_MAX_BRIGHTNESS || light.Red > BRIDGE_SCENE_MAX_COLOUR ||
        light.Green > BRIDGE_SCENE_MAX_COLOUR || light.Blue > BRIDGE_SCENE_MAX_COLOUR ||
        (light.MainsHz != 0 && light.MainsHz != 50 && light.MainsHz != 60) ||
        light.FlickerDepth > 100) {
        return STATUS_INVALID_PARAMETER;
    }
    BridgeLockCamera(extension);
    extension->Camera.Light = CAMERA_LIGHT{light.Brightness, light.Red,     light.Green,
                                           light.Blue,       light.MainsHz, light.FlickerDepth};
    BridgeUnlockCamera(extension);
    return STATUS_SUCCESS;
}

/*
 * SetSceneImage
 *
 * The length must be the header and exactly its pixels, so that a size and
 * a buffer that disagree are refused rather than read past; 0 by 0 brings
 * the chart back. The image is copied into the camera under the lock.
 */
NTSTATUS SetSceneImage(BRIDGE_EXTENSION* extension, const ControlBuffers& io) {
    if (io.InputLength < sizeof(BRIDGE_SCENE_IMAGE) || io.OutputLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const BRIDGE_SCENE_IMAGE header = *static_cast<const BRIDGE_SCENE_IMAGE*>(io.Buffer);
    if (header.Width > BRIDGE_SCENE_IMAGE_MAX_WIDTH ||
        header.Height > BRIDGE_SCENE_IMAGE_MAX_HEIGHT ||
        (header.Width == 0) != (header.Height == 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG pixels = header.Width * header.Height * 3;
    if (io.InputLength != sizeof(BRIDGE_SCENE_IMAGE) + pixels) {
        return STATUS_INVALID_PARAMETER;
    }
    const uint8_t* rgb = static_cast<const uint8_t*>(io.Buffer) + sizeof(BRIDGE_SCENE_IMAGE);
    BridgeLockCamera(extension);
    CameraSetScene(&extension->Camera, header.Width, header.Height, rgb);
    BridgeUnlockCamera(extension);
    return STATUS_SUCCESS;
}

/*
 * SetFlicker
 *
 * orvane's timing may change only while the camera runs: its commands need
 * the bring-up's clock, and a new start sets the configured mode again.
 */
NTSTATUS SetFlicker(BRIDGE_EXTENSION* extension, const ControlBuffers& io) {
    if (io.InputLength != sizeof(BRIDGE_FLICKER_REQUEST) || io.OutputLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG mode = static_cast<const BRIDGE_FLICKER_REQUEST*>(io.Buffer)->Mode;
    if (mode > 3) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    BridgeLockCamera(extension);
    if (GetBridgeState(extension) == BridgeStarted) {
        BridgeSetFlickerMode(extension, mode);
    } else {
        status = NotReadyOrGone(extension);
    }
    BridgeUnlockCamera(extension);
    return status;
}

/*
 * Query
 *
 * Copies what the bridge driver saw, with the frame ring unrolled oldest
 * first, under the camera lock so that a stream cannot change it halfway.
 */
NTSTATUS Query(BRIDGE_EXTENSION* extension, const ControlBuffers& io, ULONG_PTR* information) {
    if (io.InputLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (io.OutputLength < sizeof(BRIDGE_QUERY_RESULT)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    BRIDGE_QUERY_RESULT* out = static_cast<BRIDGE_QUERY_RESULT*>(io.Buffer);
    BridgeLockCamera(extension);
    const BRIDGE_QUERY_RESULT& seen = extension->Seen;
    RtlCopyMemory(out, &seen, FIELD_OFFSET(BRIDGE_QUERY_RESULT, Frames));
    const ULONG count =
        seen.FramesStreamed < BRIDGE_FRAME_RING ? seen.FramesStreamed : BRIDGE_FRAME_RING;
    const ULONG first = seen.FramesStreamed - count;  // frames before the oldest kept
    for (ULONG i = 0; i < count; ++i) {
        out->Frames[i] = seen.Frames[(first + i) % BRIDGE_FRAME_RING];
    }
    RtlZeroMemory(&out->Frames[count], (BRIDGE_FRAME_RING - count) * sizeof(BRIDGE_FRAME_RECORD));
    out->FrameCount = count;
    BridgeUnlockCamera(extension);
    *information = sizeof(BRIDGE_QUERY_RESULT);
    return STATUS_SUCCESS;
}

}  // namespace

/*
 * BridgeControl
 *
 * Information is the number of bytes returned, 0 for every failure.
 */
NTSTATUS BridgeControl(BRIDGE_EXTENSION* Extension, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ControlBuffers io = {Irp->AssociatedIrp.SystemBuffer,
                               stack->Parameters.DeviceIoControl.InputBufferLength,
                               stack->Parameters.DeviceIoControl.OutputBufferLength};
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_BRIDGE_STREAM:
        status = Stream(Extension, io, &information);
        break;
    case IOCTL_BRIDGE_PRESS:
        status = Press(Extension, io);
        break;
    case IOCTL_BRIDGE_SET_SCENE:
        status = SetScene(Extension, io);
        break;
    case IOCTL_BRIDGE_SET_LIGHT:
        status = SetLight(Extension, io);
        break;
    case IOCTL_BRIDGE_SET_SCENE_IMAGE:
        status = SetSceneImage(Extension, io);
        break;
    case IOCTL_BRIDGE_SET_FLICKER:
        status = SetFlicker(Extension, io);
        break;
    case IOCTL_BRIDGE_QUERY:
        status = Query(Extension, io, &information);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return BridgeComplete(Irp, status, NT_SUCCESS(status) ? information : 0);
}
