// The object manager: typed objects with reference and handle counts,
// per-process handle tables, ObReferenceObjectByHandle's type, access and
// handle-kind checks (and Driver Verifier's security checks on how a driver
// asks), and the user-mode side of events and handles.
#include "kernel_internal.h"

#include <cstdlib>

namespace host_kernel {
namespace detail {

_OBJECT_TYPE EventType = {"Event"};
_OBJECT_TYPE FileType = {"File"};

namespace {
POBJECT_TYPE g_eventType = &EventType;
POBJECT_TYPE g_fileType = &FileType;

// Kernel handles have the top bit set (negative as a pointer-sized integer),
// as in Windows, and live in the system process's table.
constexpr uintptr_t kKernelHandleBit = 0x80000000u;
bool IsKernelHandle(HANDLE handle) {
    return reinterpret_cast<intptr_t>(handle) < 0;
}
uintptr_t HandleKey(HANDLE handle) {
    return reinterpret_cast<uintptr_t>(handle) & (kKernelHandleBit - 1);
}
}  // namespace

Process* SystemProcessLocked() {
    for (auto& process : K().Processes)
        if (process->System) return process.get();
    auto process = std::make_unique<Process>();
    process->Name = "System";
    process->System = true;
    K().Processes.push_back(std::move(process));
    return K().Processes.back().get();
}

ObjectHeader* CreateObject(POBJECT_TYPE type, SIZE_T bodySize) {
    auto object = std::make_unique<ObjectHeader>();
    object->Type = type;
    object->Body = calloc(1, bodySize);
    ObjectHeader* raw = object.get();
    K().Objects[raw->Body] = std::move(object);
    return raw;
}

ObjectHeader* FindObject(PVOID body) {
    auto found = K().Objects.find(body);
    return found == K().Objects.end() ? nullptr : found->second.get();
}

HANDLE InsertHandle(Process* process, ObjectHeader* object, ACCESS_MASK access) {
    uintptr_t key = process->NextHandle;
    process->NextHandle += 4;
    process->Handles[key] = Process::Entry{object, access};
    object->HandleCount++;
    object->PointerCount++;
    if (process->System)
        return reinterpret_cast<HANDLE>(
            static_cast<intptr_t>(static_cast<int32_t>(key | kKernelHandleBit)));
    return reinterpret_cast<HANDLE>(key);
}

void DereferenceObject(ObjectHeader* object) {
    std::unique_ptr<ObjectHeader> dead;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        if (--object->PointerCount > 0) return;
        auto found = K().Objects.find(object->Body);
        dead = std::move(found->second);
        K().Objects.erase(found);
    }
    if (dead->Type == &FileType) CloseFileObject(static_cast<PFILE_OBJECT>(dead->Body));
    if (dead->Type == &EventType) {
        std::lock_guard<std::mutex> guard(K().Lock);
        if (K().WaitLists.count(&static_cast<PKEVENT>(dead->Body)->Header))
            Fault("event object %p deleted while threads wait on it", dead->Body);
    }
    free(dead->Body);
}

namespace {

struct Resolved {
    NTSTATUS Status = STATUS_INVALID_HANDLE;
    ObjectHeader* Object = nullptr;
    ACCESS_MASK Access = 0;
};

// Lock held.
Resolved Resolve(Process* process, HANDLE handle) {
    Resolved result;
    Process* table = IsKernelHandle(handle) ? SystemProcessLocked() : process;
    auto found = table->Handles.find(HandleKey(handle));
    if (handle == nullptr || found == table->Handles.end()) return result;
    result.Status = STATUS_SUCCESS;
    result.Object = found->second.Object;
    result.Access = found->second.Access;
    return result;
}

void TakeKernelReference(ObjectHeader* object) {
    object->PointerCount++;
    object->KernelReferences[CurrentDriver()]++;
}

void DropKernelReference(ObjectHeader* object) {
    auto& references = object->KernelReferences;
    auto mine = references.find(CurrentDriver());
    if (mine != references.end() && mine->second > 0) {
        mine->second--;
        return;
    }
    for (auto& [owner, count] : references) {
        if (count > 0) {
            count--;
            return;
        }
    }
}

}  // namespace

ObjectHeader* ResolveHandle(Process* process, HANDLE handle, ACCESS_MASK* granted) {
    Resolved resolved = Resolve(process, handle);
    *granted = resolved.Access;
    return resolved.Object;
}

}  // namespace detail

using namespace detail;

Process* SystemProcess() {
    std::lock_guard<std::mutex> guard(K().Lock);
    return SystemProcessLocked();
}

Process* CreateProcess(const char* name) {
    std::lock_guard<std::mutex> guard(K().Lock);
    SystemProcessLocked();
    auto process = std::make_unique<Process>();
    process->Name = name;
    K().Processes.push_back(std::move(process));
    return K().Processes.back().get();
}

void TerminateProcess(Process* process) {
    std::vector<HANDLE> handles;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        for (auto& [key, entry] : process->Handles)
            handles.push_back(reinterpret_cast<HANDLE>(key));
        process->Terminated = true;
    }
    for (HANDLE handle : handles) CloseHandle(process, handle);
    CheckReferencesOutlive(process);
}

void RunInProcess(Process* process, const std::function<void()>& work) {
    ProcessScope scope(process);
    AtIrql passive(PASSIVE_LEVEL);
    work();
}

HANDLE CreateEvent(Process* process, EVENT_TYPE type, bool signalled, ACCESS_MASK access) {
    std::lock_guard<std::mutex> guard(K().Lock);
    ObjectHeader* object = CreateObject(&EventType, sizeof(KEVENT));
    object->Creator = process;
    InitializeEventHeader(static_cast<PKEVENT>(object->Body), type, signalled);
    return InsertHandle(process, object, access);
}

namespace {

PKEVENT EventOf(Process* process, HANDLE handle) {
    Resolved resolved = Resolve(process, handle);
    if (!NT_SUCCESS(resolved.Status) || resolved.Object->Type != &EventType) return nullptr;
    return static_cast<PKEVENT>(resolved.Object->Body);
}

}  // namespace

NTSTATUS SetEvent(Process* process, HANDLE event) {
    std::lock_guard<std::mutex> guard(K().Lock);
    PKEVENT object = EventOf(process, event);
    if (!object) return STATUS_INVALID_HANDLE;
    SignalEvent(object);
    return STATUS_SUCCESS;
}

NTSTATUS ResetEvent(Process* process, HANDLE event) {
    std::lock_guard<std::mutex> guard(K().Lock);
    PKEVENT object = EventOf(process, event);
    if (!object) return STATUS_INVALID_HANDLE;
    object->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

NTSTATUS WaitForEvent(Process* process, HANDLE event, std::chrono::milliseconds timeout) {
    ObjectHeader* object;
    NTSTATUS status;
    {
        std::unique_lock<std::mutex> lock(K().Lock);
        PKEVENT target = EventOf(process, event);
        if (!target) return STATUS_INVALID_HANDLE;
        object = FindObject(target);
        object->PointerCount++;  // keeps the event while this thread sleeps on it
        auto deadline = std::chrono::steady_clock::now() + timeout;
        status = WaitOnEvent(lock, target, &deadline);
    }
    DereferenceObject(object);
    return status;
}

NTSTATUS WaitForAnyEvent(Process* process, const std::vector<HANDLE>& events,
                         std::chrono::milliseconds timeout) {
    std::vector<PRKEVENT> targets;
    std::vector<ObjectHeader*> objects;
    NTSTATUS status = STATUS_INVALID_HANDLE;
    {
        std::unique_lock<std::mutex> lock(K().Lock);
        for (HANDLE event : events) {
            PKEVENT target = EventOf(process, event);
            if (!target) break;
            targets.push_back(target);
            objects.push_back(FindObject(target));
            objects.back()->PointerCount++;  // as in WaitForEvent
        }
        if (!targets.empty() && targets.size() == events.size()) {
            auto deadline = std::chrono::steady_clock::now() + timeout;
            status = WaitOnEvents(lock, targets.data(), targets.size(), &deadline);
        }
    }
    for (ObjectHeader* object : objects) DereferenceObject(object);
    return status;
}

LONG EventState(Process* process, HANDLE event) {
    std::lock_guard<std::mutex> guard(K().Lock);
    PKEVENT object = EventOf(process, event);
    return object ? object->Header.SignalState : -1;
}

NTSTATUS CloseHandle(Process* process, HANDLE handle) {
    ObjectHeader* object;
    bool lastFileHandle;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        Process* table = IsKernelHandle(handle) ? SystemProcessLocked() : process;
        auto found = table->Handles.find(HandleKey(handle));
        if (handle == nullptr || found == table->Handles.end()) return STATUS_INVALID_HANDLE;
        object = found->second.Object;
        table->Handles.erase(found);
        lastFileHandle = --object->HandleCount == 0 && object->Type == &FileType;
    }
    if (lastFileHandle) CleanupFileObject(static_cast<PFILE_OBJECT>(object->Body));
    DereferenceObject(object);
    return STATUS_SUCCESS;
}

PVOID ObjectFromHandle(Process* process, HANDLE handle) {
    std::lock_guard<std::mutex> guard(K().Lock);
    Resolved resolved = Resolve(process, handle);
    return resolved.Object ? resolved.Object->Body : nullptr;
}

LONG_PTR ReferenceCount(PVOID object) {
    std::lock_guard<std::mutex> guard(K().Lock);
    ObjectHeader* header = FindObject(object);
    return header ? header->PointerCount : 0;
}

HANDLE UnusedHandle() {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFC));
}

}  // namespace host_kernel

using namespace host_kernel;
using namespace host_kernel::detail;

namespace {

/*
 * How a driver asks for a handle's object, as Driver Verifier's security
 * checks see it (lock held). A handle that came from a user-mode process
 * is referenced with UserMode: with KernelMode its access and its kind go
 * unchecked, so the process could pass a kernel handle or a handle opened
 * for less than it gets. A UserMode reference that asks for no access
 * checks nothing either.
 */
void CheckHandleUse(HANDLE handle, ACCESS_MASK desiredAccess, KPROCESSOR_MODE accessMode) {
    Process* process = CurrentProcess();
    if (accessMode == UserMode && desiredAccess == 0)
        Fault(
            "handle check: %s referenced handle %p with UserMode and DesiredAccess 0; name the "
            "access the object will be used with, so the handle's granted access is checked",
            DriverName(CurrentDriver()).c_str(), handle);
    if (accessMode == KernelMode && handle && !IsKernelHandle(handle) && !process->System)
        Fault(
            "handle check: %s referenced handle %p of process %s with KernelMode; a user-mode "
            "handle is referenced with UserMode (the request's RequestorMode)",
            DriverName(CurrentDriver()).c_str(), handle, process->Name.c_str());
}

}  // namespace

extern "C" {

POBJECT_TYPE* ExEventObjectType = &g_eventType;
POBJECT_TYPE* IoFileObjectType = &g_fileType;

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
    CheckIrql(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    if (Object) *Object = nullptr;
    NTSTATUS injected = STATUS_INVALID_HANDLE;
    if (ShouldFail(Call::ObReferenceObjectByHandle, &injected)) return injected;
    if (!Object) {
        Fault("ObReferenceObjectByHandle without an Object pointer");
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectType && ObjectType != &EventType && ObjectType != &FileType) {
        Fault(
            "ObReferenceObjectByHandle with object type %p, which is not an object type (the "
            "address of ExEventObjectType instead of its value?)",
            static_cast<void*>(ObjectType));
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::lock_guard<std::mutex> guard(K().Lock);
    CheckHandleUse(Handle, DesiredAccess, AccessMode);
    if (AccessMode == UserMode && IsKernelHandle(Handle)) return STATUS_INVALID_HANDLE;
    Resolved resolved = Resolve(CurrentProcess(), Handle);
    if (!NT_SUCCESS(resolved.Status)) return resolved.Status;
    if (ObjectType && resolved.Object->Type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    if (AccessMode == UserMode && (DesiredAccess & ~resolved.Access) != 0)
        return STATUS_ACCESS_DENIED;
    TakeKernelReference(resolved.Object);
    *Object = resolved.Object->Body;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = resolved.Access;
    }
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    CheckIrql(DISPATCH_LEVEL, "ObfReferenceObject");
    std::lock_guard<std::mutex> guard(K().Lock);
    if (DeviceRecord* device = FindDevice(static_cast<PDEVICE_OBJECT>(Object))) {
        return ++device->Object->ReferenceCount;
    }
    ObjectHeader* object = FindObject(Object);
    if (!object) {
        Fault("ObfReferenceObject of %p, which is not an object", Object);
        return 0;
    }
    TakeKernelReference(object);
    return object->PointerCount;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    CheckIrql(DISPATCH_LEVEL, "ObfDereferenceObject");
    ObjectHeader* object;
    LONG_PTR left;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        if (DeviceRecord* device = FindDevice(static_cast<PDEVICE_OBJECT>(Object))) {
            if (device->Object->ReferenceCount <= 0) {
                Fault("ObfDereferenceObject of %s, which holds no reference",
                      DeviceName(device->Object).c_str());
                return 0;
            }
            return --device->Object->ReferenceCount;
        }
        object = FindObject(Object);
        if (!object) {
            Fault("ObfDereferenceObject of %p, which is not an object (or was already deleted)",
                  Object);
            return 0;
        }
        if (object->PointerCount - 1 < object->HandleCount) {
            Fault(
                "ObfDereferenceObject of %s object %p releases a reference nobody took (only its "
                "%ld "
                "handle(s) hold it)",
                object->Type->Name, Object, static_cast<long>(object->HandleCount));
            return object->PointerCount;
        }
        DropKernelReference(object);
        left = object->PointerCount - 1;
    }
    DereferenceObject(object);
    return left;
}

}  // extern "C"
