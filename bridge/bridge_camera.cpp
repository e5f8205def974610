// The camera's life between start and removal: its frame buffer and both
// interface records, the probe and the sensor's bring-up through orvane,
// streamed frames with their loop steps and snapshots, and the button.
//
// Every routine that calls into orvane or tessip or touches the camera runs
// with the camera lock held (BridgeLockCamera), taken by its caller.
#include "bridge.h"

// The user balance controls start centred; orvane reads the offsets back.
constexpr int32_t kBalanceCentre = 32;

/*
 * AllocateFrameBuffer
 *
 * One buffer for the camera's life, taken at the first start: a snapshot is
 * rendered into it and handed to tessip, which copies it out during the
 * call. Its size is what the bridge driver tells tessip, so it must fit
 * tessip's snapshot buffer.
 */
static NTSTATUS AllocateFrameBuffer(BRIDGE_EXTENSION* Extension) {
    const ULONGLONG bytes = ULONGLONG(Extension->Configuration.SnapshotWidth) *
                            Extension->Configuration.SnapshotHeight * 3;
    if (bytes == 0 || bytes > SNAPSHOT_BUFFER_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Extension->FrameBuffer != nullptr) {
        return STATUS_SUCCESS;
    }
    Extension->FrameBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, SIZE_T(bytes), BRIDGE_POOL_TAG));
    if (Extension->FrameBuffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Extension->FrameBytes = ULONG(bytes);
    return STATUS_SUCCESS;
}

void BridgeFreeFrameBuffer(BRIDGE_EXTENSION* Extension) {
    if (Extension->FrameBuffer != nullptr) {
        ExFreePool(Extension->FrameBuffer);
        Extension->FrameBuffer = nullptr;
        Extension->FrameBytes = 0;
    }
}

/*
 * QuerySensorInterface
 *
 * orvane sits below the bridge driver, so the query goes to the top of the
 * stack (taken with a reference, so the top device cannot go while the
 * request is on it) and reaches orvane wherever other filters sit.
 */
static NTSTATUS QuerySensorInterface(BRIDGE_EXTENSION* Extension) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Extension->Self);
    NTSTATUS status =
        BridgeQueryInterface(top, reinterpret_cast<const GUID*>(&GUID_SENSOR_CONTROL_INTERFACE),
                             reinterpret_cast<PINTERFACE>(&Extension->Sensor),
                             sizeof(Extension->Sensor), SENSOR_CONTROL_INTERFACE_VERSION);
    ObDereferenceObject(top);
    if (NT_SUCCESS(status) &&
        (Extension->Sensor.Probe0 == nullptr || Extension->Sensor.Command0 == nullptr)) {
        status = STATUS_NOT_SUPPORTED;
    }
    return status;
}

/*
 * SnapshotAnswered
 *
 * A stack that answers without filling the record counts as not answering.
 */
static bool SnapshotAnswered(NTSTATUS Status, const SNAPSHOT_INTERFACE& Record) {
    return NT_SUCCESS(Status) && Record.SetImageInfo != nullptr &&
           Record.TakeSnapshotRequest != nullptr && Record.SubmitSnapshot != nullptr;
}

/*
 * QuerySnapshotInterface
 *
 * tessip's functions take tessip's own device object, which tessip does not
 * put in the record. The top of the stack is that device only while nothing
 * sits above tessip; class upper filters and other packages' device filters
 * load above it. So each device above the bridge driver's is asked on its
 * own, from the one just above upwards: a query travels down from the device
 * it is sent to, so the first device that answers is tessip's, and every
 * device above it would only have passed the query on. The walk reads the
 * stack's links, which stay put during start: every add-device of the stack
 * has run, and the Plug and Play manager sends nothing else meanwhile. Each
 * device is held by a reference while it is asked; tessip's stays attached
 * until after the bridge driver's removal.
 */
static NTSTATUS QuerySnapshotInterface(BRIDGE_EXTENSION* Extension) {
    SNAPSHOT_INTERFACE record;
    for (PDEVICE_OBJECT device = Extension->Self->AttachedDevice; device != nullptr;
         device = device->AttachedDevice) {
        ObReferenceObject(device);
        const NTSTATUS answer = BridgeQueryInterface(
            device, reinterpret_cast<const GUID*>(&GUID_SNAPSHOT_INTERFACE),
            reinterpret_cast<PINTERFACE>(&record), sizeof(record), SNAPSHOT_INTERFACE_VERSION);
        ObDereferenceObject(device);
        if (SnapshotAnswered(answer, record)) {
            Extension->Snapshot = record;
            Extension->SnapshotDevice = device;
            return STATUS_SUCCESS;
        }
        if (answer == STATUS_INSUFFICIENT_RESOURCES) {
            // This device might be tessip's: an answer from above it would
            // name the wrong device.
            return answer;
        }
    }
    return STATUS_NOT_SUPPORTED;
}

/*
 * ConnectInterfaces
 *
 * Both records must be answered with their entry points: without orvane
 * there is no sensor control, without tessip no snapshot, and the package
 * installs both.
 */
static NTSTATUS ConnectInterfaces(BRIDGE_EXTENSION* Extension) {
    NTSTATUS status = QuerySensorInterface(Extension);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Extension->Seen.Flags |= BRIDGE_FLAG_SENSOR_INTERFACE;

    status = QuerySnapshotInterface(Extension);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Extension->Seen.Flags |= BRIDGE_FLAG_SNAPSHOT_INTERFACE;
    return STATUS_SUCCESS;
}

/*
 * BridgeReleaseInterfaces
 *
 * The requester of an interface gives it back when done with it; neither
 * filter counts references, so the routines are usually absent.
 */
void BridgeReleaseInterfaces(BRIDGE_EXTENSION* Extension) {
    if (Extension->Sensor.InterfaceDereference != nullptr) {
        Extension->Sensor.InterfaceDereference(Extension->Sensor.Context);
    }
    if (Extension->Snapshot.InterfaceDereference != nullptr) {
        Extension->Snapshot.InterfaceDereference(Extension->Snapshot.Context);
    }
    RtlZeroMemory(&Extension->Sensor, sizeof(Extension->Sensor));
    RtlZeroMemory(&Extension->Snapshot, sizeof(Extension->Snapshot));
    Extension->SnapshotDevice = nullptr;
}

/*
 * ProbeCameraSensor
 *
 * orvane identifies the sensor through the probe's own bus table; only the
 * sensor type it serves makes a camera.
 */
static NTSTATUS ProbeCameraSensor(BRIDGE_EXTENSION* Extension) {
    uint32_t type = 0;
    uint32_t configuration = 0;
    Extension->LoggedCommand = BRIDGE_COMMAND_PROBE;
    BridgeLockSensor();
    const uint32_t found =
        Extension->Sensor.Probe0(Extension, &type, &configuration, &Extension->ProbeServices);
    BridgeUnlockSensor();
    Extension->Seen.SensorType = static_cast<int32_t>(type);
    if (found == 0 || type != static_cast<uint32_t>(SENSOR_TYPE_DRIVEN)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    Extension->Device.SensorType = static_cast<int32_t>(type);
    Extension->Device.SensorAddress = found & 0xFF;
    Extension->Seen.SensorAddress = Extension->Device.SensorAddress;
    Extension->Seen.Flags |= BRIDGE_FLAG_SENSOR_FOUND;
    return STATUS_SUCCESS;
}

/*
 * PrepareDeviceRecord
 *
 * A fresh device record for every bring-up, with what the configuration
 * says about the camera; orvane fills in the rest.
 */
static void PrepareDeviceRecord(BRIDGE_EXTENSION* Extension) {
    SENSOR_DEVICE* device = &Extension->Device;
    RtlZeroMemory(device, sizeof(*device));
    device->RateLevel = Extension->Configuration.RateLevel;
    device->TimingFlag = Extension->Configuration.TimingFlag;
    device->Flags = Extension->Configuration.EepromPresets ? SENSOR_DEVICE_FLAG_EEPROM_PRESETS : 0;
    device->RedOffset = kBalanceCentre;
    device->BlueOffset = kBalanceCentre;
}

/*
 * BringUpCameraSensor
 *
 * The order in which the sensor comes up: calibration and frame sizes
 * (command 2, for the snapshot width), clock and divider (0, which the
 * bridge then feeds the sensor), the start-up
 * sequence with the anti-flicker mode and preset (3), the rate values (5),
 * the exposure range (7), the balance controls (16), and the exposure index
 * the bridge driver holds (10). The commands report no failure that would
 * change this order.
 */
static void BringUpCameraSensor(BRIDGE_EXTENSION* Extension) {
    const BRIDGE_CONFIGURATION& configuration = Extension->Configuration;
    BridgeCommand(Extension, SENSOR_CMD_LOAD_CALIBRATION, configuration.SnapshotWidth,
                  reinterpret_cast<uintptr_t>(&Extension->FrameSizes));
    // The bridge feeds the sensor the clock orvane chose.
    SENSOR_COMMAND clock;
    BridgeRunCommand(Extension, SENSOR_CMD_SELECT_CLOCK, 0, 0, &clock);
    CameraSetClock(&Extension->Camera, static_cast<uint32_t>(clock.Value),
                   static_cast<uint32_t>(clock.Value2));
    BridgeCommand(Extension, SENSOR_CMD_START_SENSOR, configuration.FlickerMode,
                  configuration.Preset);
    BridgeCommand(Extension, SENSOR_CMD_QUERY_RATE_VALUES, 0, 0);
    BridgeCommand(Extension, SENSOR_CMD_LIMIT_EXPOSURE, 0, 0);
    BridgeCommand(Extension, SENSOR_CMD_LOAD_BALANCE_CONTROLS, 1, 0);
    const int32_t index = CameraGetControl(&Extension->Camera, BRIDGE_CONTROL_EXPOSURE_INDEX);
    BridgeCommand(Extension, SENSOR_CMD_APPLY_EXPOSURE_INDEX, static_cast<uintptr_t>(index), 0);

    BRIDGE_QUERY_RESULT* seen = &Extension->Seen;
    seen->SensorWidth = Extension->FrameSizes.SensorWidth;
    seen->SensorHeight = Extension->FrameSizes.SensorHeight;
    seen->PreviewWidth = Extension->FrameSizes.PreviewWidth;
    seen->PreviewHeight = Extension->FrameSizes.PreviewHeight;
    seen->Flags |= BRIDGE_FLAG_SENSOR_STARTED;
    if ((Extension->Self->Flags & DO_DIRECT_IO) != 0) {
        seen->Flags |= BRIDGE_FLAG_DIRECT_IO;
    }
}

/*
 * BridgeBringUp
 *
 * Runs at start, after the drivers below have started. The frame buffer
 * comes first, so that a camera short of memory fails before it has called
 * anything; the records of an earlier start are given back before they are
 * asked for again. Every service call from the probe to the last command is
 * logged. Last, tessip learns how big the snapshots are, and the
 * application what picture they hold.
 */
CODE_SEG("PAGE")
NTSTATUS BridgeBringUp(BRIDGE_EXTENSION* Extension) {
    PAGED_CODE();

    BridgeLockCamera(Extension);
    RtlZeroMemory(&Extension->Seen, sizeof(Extension->Seen));
    Extension->Seen.SnapshotWidth = Extension->Configuration.SnapshotWidth;
    Extension->Seen.SnapshotHeight = Extension->Configuration.SnapshotHeight;
    BridgeReleaseInterfaces(Extension);
    PrepareDeviceRecord(Extension);

    NTSTATUS status = AllocateFrameBuffer(Extension);
    if (NT_SUCCESS(status)) {
        status = ConnectInterfaces(Extension);
    }
    if (NT_SUCCESS(status)) {
        Extension->Logging = TRUE;
        status = ProbeCameraSensor(Extension);
        if (NT_SUCCESS(status)) {
            BringUpCameraSensor(Extension);
        }
        Extension->Logging = FALSE;
    }
    if (NT_SUCCESS(status)) {
        // The picture CameraRenderFrame draws into the frame buffer: rows
        // packed one after another, so the buffer's size is the byte count.
        SNAPSHOT_IMAGE_INFO info;
        RtlZeroMemory(&info, sizeof(info));
        info.Version = SNAPSHOT_IMAGE_INFO_VERSION_1;
        info.Width = Extension->Configuration.SnapshotWidth;
        info.Height = Extension->Configuration.SnapshotHeight;
        info.Stride = Extension->Configuration.SnapshotWidth * 3;
        info.PixelFormat = SNAPSHOT_PIXEL_FORMAT_RGB24_TOP_DOWN;
        info.ByteCount = Extension->FrameBytes;
        Extension->Snapshot.SetImageInfo(Extension->SnapshotDevice, &info);
    }
    BridgeUnlockCamera(Extension);
    return status;
}

/*
 * BridgeRunCommand
 *
 * One command block per command, owned by the caller: orvane reads and
 * writes it only during the call, and the caller reads orvane's answer
 * from it afterwards.
 */
void BridgeRunCommand(BRIDGE_EXTENSION* Extension, int32_t Code, uintptr_t Value, uintptr_t Value2,
                      SENSOR_COMMAND* Command) {
    RtlZeroMemory(Command, sizeof(*Command));
    Command->Code = Code;
    Command->Value = Value;
    Command->Value2 = Value2;
    Command->Bridge = &Extension->Services;
    Command->BridgeContext = Extension;
    Command->Device = &Extension->Device;
    Extension->LoggedCommand = static_cast<ULONG>(Code);
    BridgeLockSensor();
    Extension->Sensor.Command0(Command);
    BridgeUnlockSensor();
}

SENSOR_STATUS BridgeCommand(BRIDGE_EXTENSION* Extension, int32_t Code, uintptr_t Value,
                            uintptr_t Value2) {
    SENSOR_COMMAND command;
    BridgeRunCommand(Extension, Code, Value, Value2, &command);
    return command.Status;
}

/*
 * BridgeSetFlickerMode
 *
 * orvane converts the exposure index held now to the nearest one under the
 * new mode's timing (command 6 with the mode and the index); the bridge
 * keeps the converted index and has it programmed (command 10), so the
 * next frame integrates for about as long as before, in the new steps.
 */
void BridgeSetFlickerMode(BRIDGE_EXTENSION* Extension, ULONG Mode) {
    CAMERA* camera = &Extension->Camera;
    const int32_t index = CameraGetControl(camera, BRIDGE_CONTROL_EXPOSURE_INDEX);
    SENSOR_COMMAND command;
    BridgeRunCommand(Extension, SENSOR_CMD_SET_FLICKER_TIMING, Mode, static_cast<uint32_t>(index),
                     &command);
    const int32_t converted = static_cast<int32_t>(static_cast<uint32_t>(command.Value));
    CameraSetControl(camera, BRIDGE_CONTROL_EXPOSURE_INDEX, converted);
    BridgeCommand(Extension, SENSOR_CMD_APPLY_EXPOSURE_INDEX, static_cast<uint32_t>(converted), 0);
}

/*
 * BridgePeekStatistics
 *
 * What the bridge chip measures when asked between frames: the frame the
 * sensor would deliver next, not yet captured.
 */
ULONG BridgePeekStatistics(BRIDGE_EXTENSION* Extension) {
    const CAMERA* camera = &Extension->Camera;
    return CameraPackStatistics(CameraFrameStatistics(camera, CameraPeek(camera),
                                                      Extension->Configuration.SnapshotWidth,
                                                      Extension->Configuration.SnapshotHeight));
}

/*
 * ServeSnapshot
 *
 * tessip reports a wanted snapshot once; the answer is the frame just
 * streamed, rendered in full only now (the statistics needed a fraction of
 * its pixels) from the same capture, so it is the frame the loops measured.
 */
static void ServeSnapshot(BRIDGE_EXTENSION* Extension, BRIDGE_FRAME_RECORD* Record) {
    PDEVICE_OBJECT snapshotDevice = Extension->SnapshotDevice;
    if (Extension->Snapshot.TakeSnapshotRequest(snapshotDevice) == 0) {
        return;
    }
    const ULONG width = Extension->Configuration.SnapshotWidth;
    const ULONG height = Extension->Configuration.SnapshotHeight;
    CameraRenderFrame(&Extension->Camera, Extension->Frame, width, height, Extension->FrameBuffer);
    Extension->Snapshot.SubmitSnapshot(snapshotDevice, Extension->FrameBuffer, 0);
    Record->SnapshotDelivered = 1;
    Record->SnapshotChecksum = BridgeFrameChecksum(Extension->FrameBuffer, Extension->FrameBytes);
    Extension->Seen.SnapshotsDelivered++;
}

/*
 * BridgeStreamFrame
 *
 * One frame: its statistics are fixed when it is captured, and both loop
 * steps read the same ones (ReadFrameStats hands out the latched value).
 * The record keeps what the steps left on the sensor and the bridge chip.
 */
void BridgeStreamFrame(BRIDGE_EXTENSION* Extension, BRIDGE_FRAME_RECORD* Record) {
    CAMERA* camera = &Extension->Camera;
    RtlZeroMemory(Record, sizeof(*Record));
    Extension->Frame = CameraCapture(camera);
    Record->Statistics = CameraPackStatistics(
        CameraFrameStatistics(camera, Extension->Frame, Extension->Configuration.SnapshotWidth,
                              Extension->Configuration.SnapshotHeight));
    Record->ExposureMicroseconds = Extension->Frame.ExposureMicroseconds;

    Extension->FrameStatistics = Record->Statistics;
    Extension->FrameLatched = TRUE;
    BridgeCommand(Extension, SENSOR_CMD_AUTO_EXPOSURE_STEP, 0, 0);
    BridgeCommand(Extension, SENSOR_CMD_AUTO_WHITE_BALANCE_STEP, 0, 0);
    Extension->FrameLatched = FALSE;

    BRIDGE_QUERY_RESULT* seen = &Extension->Seen;
    Record->Frame = ++seen->FramesStreamed;
    Record->ExposureIndex = CameraGetControl(camera, BRIDGE_CONTROL_EXPOSURE_INDEX);
    Record->ShutterRows = camera->Sensor[CAMERA_SHUTTER_REGISTER];
    Record->GainCode = camera->Sensor[CAMERA_GAIN_REGISTER];
    Record->RedGain = camera->Bridge[CAMERA_RED_GAIN_REGISTER];
    Record->GreenGain = camera->Bridge[CAMERA_GREEN_GAIN_REGISTER];
    Record->BlueGain = camera->Bridge[CAMERA_BLUE_GAIN_REGISTER];
    ServeSnapshot(Extension, Record);

    seen->Frames[(Record->Frame - 1) % BRIDGE_FRAME_RING] = *Record;
}

/*
 * BridgePressButton
 *
 * The camera's button is a trigger report without a frame: tessip asks for
 * a snapshot (served with a later frame) and pulses the application's event.
 */
void BridgePressButton(BRIDGE_EXTENSION* Extension, ULONG TriggerKind) {
    Extension->Snapshot.SubmitSnapshot(Extension->SnapshotDevice, nullptr, TriggerKind);
    Extension->Seen.TriggersReported++;
}
