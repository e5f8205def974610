// The I/O manager's user-mode side: open (by interface, device name or
// physical device, with a file name for what follows the device's name),
// close, read, write and device control from a process by handle, refused
// when the handle was not opened for them, turned into IRPs with buffered,
// direct or neither buffering, waited for when the driver pends, and
// finished as Windows finishes them (buffered copy-back of
// IoStatus.Information bytes when the status is not an error, MDLs
// unlocked, system buffer freed).
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

namespace {

constexpr ULONG kFileHandleCreated = 0x00040000;  // FO_HANDLE_CREATED
constexpr ULONG kSystemBufferTag = 'fBoI';
constexpr ULONG kFileNameTag = 'mNoI';

struct Request {
    Process* From = nullptr;
    PFILE_OBJECT File = nullptr;
    UCHAR Major = 0;
    UCHAR Minor = 0;
    std::function<void(PIRP, PIO_STACK_LOCATION)> Build;
    // Buffered output: copied back to CopyBackTo from the system buffer.
    PVOID CopyBackTo = nullptr;
    ULONG CopyBackLength = 0;
};

void Finish(PIRP irp, const Request& request) {
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) &&
        request.CopyBackTo) {
        ULONG_PTR length = information;
        if (information > request.CopyBackLength) {
            Fault(
                "buffer overrun: %s completed with IoStatus.Information %lu, more than the "
                "caller's "
                "%lu-byte buffer",
                IrpName(request.Major, request.Minor).c_str(),
                static_cast<unsigned long>(information),
                static_cast<unsigned long>(request.CopyBackLength));
            length = request.CopyBackLength;
        }
        memcpy(request.CopyBackTo, irp->AssociatedIrp.SystemBuffer, length);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer)
        FreePoolBlock(irp->AssociatedIrp.SystemBuffer);
    for (PMDL mdl = irp->MdlAddress; mdl;) {
        PMDL next = mdl->Next;
        bool ours;
        {
            std::lock_guard<std::mutex> guard(K().Lock);
            auto found = K().Mdls.find(mdl);
            ours = found != K().Mdls.end() && found->second.IoManager;
        }
        if (ours) ReleaseMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
}

IoResult Issue(const Request& request) {
    IoResult result;
    PDEVICE_OBJECT top;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        DeviceRecord* device = FindDevice(request.File->DeviceObject);
        if (!device || device->Deleted) {
            result.Status = result.DispatchStatus = STATUS_NO_SUCH_DEVICE;
            return result;
        }
        top = IoGetAttachedDevice(request.File->DeviceObject);
    }
    PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::User, nullptr);
    irp->RequestorMode = UserMode;
    irp->Flags = IRP_SYNCHRONOUS_API;
    irp->Tail.Overlay.OriginalFileObject = request.File;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    memset(location, 0, sizeof *location);
    location->MajorFunction = request.Major;
    location->MinorFunction = request.Minor;
    location->FileObject = request.File;
    if (request.Build) request.Build(irp, location);
    {
        ProcessScope process(request.From);
        AtIrql passive(PASSIVE_LEVEL);
        result.DispatchStatus = IofCallDriver(top, irp);
    }
    result.Pended = result.DispatchStatus == STATUS_PENDING;
    bool completed = WaitForIrp(irp, result.Pended, [&] {
        return Format("user request %s was pended and not completed",
                      IrpName(request.Major, request.Minor).c_str());
    });
    if (!completed) {
        result.Status = result.DispatchStatus;
        return result;
    }
    result.Status = result.Pended ? irp->IoStatus.Status : result.DispatchStatus;
    result.Information = irp->IoStatus.Information;
    Finish(irp, request);
    ReleaseIrp(irp);
    return result;
}

PVOID SystemBuffer(SIZE_T size) {
    return AllocatePool(NonPagedPool, size, kSystemBufferTag, nullptr, BlockKind::Pool);
}

PMDL LockedMdl(PVOID buffer, ULONG length, bool write) {
    PMDL mdl = AllocateMdl(buffer, length, true, nullptr);
    mdl->MdlFlags |= MDL_PAGES_LOCKED | (write ? MDL_WRITE_OPERATION : 0);
    return mdl;
}

// The file behind one of the caller's handles, if the handle grants
// `needed`: the I/O manager turns a request away before building an IRP
// when the handle was not opened for it.
NTSTATUS FileFor(Process* process, HANDLE handle, ACCESS_MASK needed, PFILE_OBJECT* file) {
    *file = nullptr;
    std::lock_guard<std::mutex> guard(K().Lock);
    ACCESS_MASK granted = 0;
    ObjectHeader* object = ResolveHandle(process, handle, &granted);
    if (!object || object->Type != &FileType) return STATUS_INVALID_HANDLE;
    if ((granted & needed) != needed) return STATUS_ACCESS_DENIED;
    *file = static_cast<PFILE_OBJECT>(object->Body);
    return STATUS_SUCCESS;
}

IoResult Refused(NTSTATUS status) {
    IoResult result;
    result.Status = result.DispatchStatus = status;
    return result;
}

// What a control code's access bits ask of the handle.
ACCESS_MASK ControlAccess(ULONG code) {
    ULONG bits = (code >> 14) & 3;
    return ((bits & FILE_READ_ACCESS) ? FILE_READ_DATA : 0) |
           ((bits & FILE_WRITE_ACCESS) ? FILE_WRITE_DATA : 0);
}

// Generic rights become the file rights they stand for, as the file
// object type's generic mapping makes them.
ACCESS_MASK FileAccess(ACCESS_MASK desired) {
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (desired & GENERIC_READ) granted |= FILE_GENERIC_READ;
    if (desired & GENERIC_WRITE) granted |= FILE_GENERIC_WRITE;
    if (desired & GENERIC_EXECUTE) granted |= FILE_GENERIC_EXECUTE;
    if (desired & GENERIC_ALL) granted |= FILE_ALL_ACCESS;
    return granted;
}

// A new file object for `device` (lock held). An open with nothing after
// the device's name has an empty FileName, as in Windows.
ObjectHeader* CreateFileObject(PDEVICE_OBJECT device) {
    ObjectHeader* object = CreateObject(&FileType, sizeof(FILE_OBJECT));
    object->PointerCount = 1;  // the open's own reference until a handle holds it
    auto file = static_cast<PFILE_OBJECT>(object->Body);
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->Flags = FO_SYNCHRONOUS_IO;
    InitializeEventHeader(&file->Lock, SynchronizationEvent, false);
    InitializeEventHeader(&file->Event, NotificationEvent, false);
    return object;
}

void SetFileName(PFILE_OBJECT file, const std::u16string& name) {
    if (name.empty()) return;
    size_t bytes = (name.size() + 1) * sizeof(WCHAR);
    auto buffer = static_cast<PWSTR>(
        AllocatePool(PagedPool, bytes, kFileNameTag, nullptr, BlockKind::String));
    memcpy(buffer, name.c_str(), bytes);
    file->FileName.Buffer = buffer;
    file->FileName.Length = static_cast<USHORT>(bytes - sizeof(WCHAR));
    file->FileName.MaximumLength = static_cast<USHORT>(bytes);
}

// The name goes with the file object; a buffer that is not the one the I/O
// manager gave it was put there by a driver, which the kernel cannot free.
void FreeFileName(PFILE_OBJECT file) {
    PWSTR buffer = file->FileName.Buffer;
    if (!buffer) return;
    bool ours;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        auto found = K().Pool.find(buffer);
        ours = found != K().Pool.end() && found->second.Tag == kFileNameTag;
    }
    if (!ours) {
        Fault("file object %p: its FileName buffer %p was replaced by a driver",
              static_cast<void*>(file), static_cast<void*>(buffer));
        return;
    }
    FreePoolBlock(buffer);
}

// An open as the I/O manager makes it: a file object for the device the
// name resolved to, IRP_MJ_CREATE to the top of that device's stack, and
// on success a handle granting the access asked for.
NTSTATUS Open(Process* process, PDEVICE_OBJECT device, const std::u16string& fileName,
              ACCESS_MASK desired, HANDLE* handle) {
    *handle = nullptr;
    ObjectHeader* object;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        DeviceRecord* record = FindDevice(device);
        if (!record || record->Deleted) return STATUS_NO_SUCH_DEVICE;
        object = CreateFileObject(device);
        object->Creator = process;
    }
    auto file = static_cast<PFILE_OBJECT>(object->Body);
    SetFileName(file, fileName);
    Request request;
    request.From = process;
    request.File = file;
    request.Major = IRP_MJ_CREATE;
    request.Build = [](PIRP, PIO_STACK_LOCATION location) {
        location->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
        location->Parameters.Create.ShareAccess = 3;     // read and write
    };
    IoResult result = Issue(request);
    if (NT_SUCCESS(result.Status)) {
        std::lock_guard<std::mutex> guard(K().Lock);
        file->Flags |= kFileHandleCreated;
        *handle = InsertHandle(process, object, FileAccess(desired));
    }
    DereferenceObject(object);
    return result.Status;
}

}  // namespace

void CleanupFileObject(PFILE_OBJECT file) {
    if (!(file->Flags & kFileHandleCreated)) return;
    Request request;
    request.File = file;
    request.Major = IRP_MJ_CLEANUP;
    Issue(request);
}

void CloseFileObject(PFILE_OBJECT file) {
    if (file->Flags & kFileHandleCreated) {
        Request request;
        request.File = file;
        request.Major = IRP_MJ_CLOSE;
        Issue(request);
    }
    FreeFileName(file);
}

}  // namespace detail

using namespace detail;

NTSTATUS OpenDevice(Process* process, PDEVICE_OBJECT pdo, HANDLE* handle,
                    ACCESS_MASK desiredAccess) {
    return Open(process, pdo, std::u16string(), desiredAccess, handle);
}

NTSTATUS OpenDevice(Process* process, const std::u16string& symbolicLink, HANDLE* handle,
                    ACCESS_MASK desiredAccess) {
    *handle = nullptr;
    bool enabled = false;
    std::u16string fileName;
    PDEVICE_OBJECT pdo = InterfaceDevice(symbolicLink, &enabled, &fileName);
    if (!pdo || !enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    return Open(process, pdo, fileName, desiredAccess, handle);
}

NTSTATUS OpenDeviceByName(Process* process, const std::u16string& path, HANDLE* handle,
                          ACCESS_MASK desiredAccess) {
    *handle = nullptr;
    const std::u16string directory = u"\\Device\\";
    size_t end = path.find(u'\\', directory.size());
    if (end == std::u16string::npos) end = path.size();
    PDEVICE_OBJECT device = nullptr;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        if (SameName(path.substr(0, directory.size()), directory))
            device = NamedDevice(path.substr(0, end));
    }
    if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
    return Open(process, device, path.substr(end), desiredAccess, handle);
}

IoResult ReadFile(Process* process, HANDLE file, void* buffer, ULONG length, LONGLONG offset) {
    Request request;
    request.From = process;
    NTSTATUS allowed = FileFor(process, file, FILE_READ_DATA, &request.File);
    if (!NT_SUCCESS(allowed)) return Refused(allowed);
    request.Major = IRP_MJ_READ;
    ULONG flags = IoGetAttachedDevice(request.File->DeviceObject)->Flags;
    if ((flags & DO_BUFFERED_IO) && length) {
        request.CopyBackTo = buffer;
        request.CopyBackLength = length;
    }
    request.Build = [&](PIRP irp, PIO_STACK_LOCATION location) {
        location->Parameters.Read.Length = length;
        location->Parameters.Read.ByteOffset.QuadPart = offset;
        if (flags & DO_BUFFERED_IO) {
            irp->Flags |= IRP_BUFFERED_IO | IRP_INPUT_OPERATION;
            if (length) {
                irp->AssociatedIrp.SystemBuffer = SystemBuffer(length);
                irp->UserBuffer = buffer;
                irp->Flags |= IRP_DEALLOCATE_BUFFER;
            }
        } else if (flags & DO_DIRECT_IO) {
            if (length) irp->MdlAddress = LockedMdl(buffer, length, true);
        } else {
            irp->UserBuffer = buffer;
        }
    };
    return Issue(request);
}

IoResult WriteFile(Process* process, HANDLE file, const void* buffer, ULONG length,
                   LONGLONG offset) {
    Request request;
    request.From = process;
    NTSTATUS allowed = FileFor(process, file, FILE_WRITE_DATA, &request.File);
    if (!NT_SUCCESS(allowed)) return Refused(allowed);
    request.Major = IRP_MJ_WRITE;
    ULONG flags = IoGetAttachedDevice(request.File->DeviceObject)->Flags;
    request.Build = [&](PIRP irp, PIO_STACK_LOCATION location) {
        location->Parameters.Write.Length = length;
        location->Parameters.Write.ByteOffset.QuadPart = offset;
        if (flags & DO_BUFFERED_IO) {
            irp->Flags |= IRP_BUFFERED_IO;
            if (length) {
                irp->AssociatedIrp.SystemBuffer = SystemBuffer(length);
                memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
                irp->Flags |= IRP_DEALLOCATE_BUFFER;
            }
        } else if (flags & DO_DIRECT_IO) {
            if (length) irp->MdlAddress = LockedMdl(const_cast<void*>(buffer), length, false);
        } else {
            irp->UserBuffer = const_cast<void*>(buffer);
        }
    };
    return Issue(request);
}

IoResult DeviceIoControl(Process* process, HANDLE file, ULONG code, const void* input,
                         ULONG inputLength, void* output, ULONG outputLength) {
    Request request;
    request.From = process;
    NTSTATUS allowed = FileFor(process, file, ControlAccess(code), &request.File);
    if (!NT_SUCCESS(allowed)) return Refused(allowed);
    request.Major = IRP_MJ_DEVICE_CONTROL;
    ULONG method = METHOD_FROM_CTL_CODE(code);
    if (method == METHOD_BUFFERED && outputLength) {
        request.CopyBackTo = output;
        request.CopyBackLength = outputLength;
    }
    request.Build = [&](PIRP irp, PIO_STACK_LOCATION location) {
        location->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        location->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        location->Parameters.DeviceIoControl.IoControlCode = code;
        irp->UserBuffer = output;
        switch (method) {
        case METHOD_BUFFERED:
            if (inputLength || outputLength) {
                ULONG size = inputLength > outputLength ? inputLength : outputLength;
                irp->AssociatedIrp.SystemBuffer = SystemBuffer(size);
                if (inputLength) memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER |
                              (outputLength ? IRP_INPUT_OPERATION : 0);
            }
            break;
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (inputLength) {
                irp->AssociatedIrp.SystemBuffer = SystemBuffer(inputLength);
                memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            }
            if (outputLength)
                irp->MdlAddress = LockedMdl(output, outputLength, method == METHOD_OUT_DIRECT);
            break;
        default:
            location->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
            break;
        }
    };
    return Issue(request);
}

}  // namespace host_kernel
