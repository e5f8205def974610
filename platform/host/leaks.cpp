// Leak checks: what a driver still owns when it is unloaded, what anyone
// still owns at shutdown (pool blocks, object references, IRPs, MDLs), and
// the references a driver keeps on a process's objects after the process
// has ended, each reported once as a fault naming the owner.
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

void CheckLeaksOf(DriverRecord* driver) {
    std::lock_guard<std::mutex> guard(K().Lock);
    auto mine = [driver](DriverRecord* owner) { return driver == nullptr || owner == driver; };
    std::map<DriverRecord*, std::pair<size_t, std::string>> pool;
    for (auto& [block, info] : K().Pool) {
        if (info.Reported || !mine(info.Owner)) continue;
        info.Reported = true;
        auto& entry = pool[info.Owner];
        entry.first++;
        if (entry.first <= 4)
            entry.second +=
                Format(" %s%s %zu bytes at %p;", info.Kind == BlockKind::String ? "string " : "",
                       TagName(info.Tag).c_str(), static_cast<size_t>(info.Size), block);
    }
    for (auto& [owner, entry] : pool)
        Fault("pool leak: %s left %zu pool block(s) allocated:%s", DriverName(owner).c_str(),
              entry.first, entry.second.c_str());
    for (auto& [body, object] : K().Objects) {
        if (object->Reported) continue;
        for (auto& [owner, count] : object->KernelReferences) {
            if (count <= 0 || !mine(owner)) continue;
            object->Reported = true;
            Fault(
                "object reference leak: %s holds %ld reference(s) to %s object %p it never "
                "released",
                DriverName(owner).c_str(), static_cast<long>(count), object->Type->Name, body);
        }
    }
    for (auto& [irp, record] : K().Irps) {
        if (record->State == IrpState::Freed || !mine(record->Allocator)) continue;
        if (record->Origin == IrpOrigin::Driver) {
            Fault("IRP leak: %s allocated IRP %p with IoAllocateIrp and never freed it",
                  DriverName(record->Allocator).c_str(), static_cast<void*>(irp));
            record->State = IrpState::Freed;
        } else if (driver == nullptr) {
            Fault("IRP leak: IRP %p sent by the %s was never completed", static_cast<void*>(irp),
                  record->Origin == IrpOrigin::User ? "I/O manager" : "kernel");
            record->State = IrpState::Freed;
        }
    }
    for (auto& [mdl, record] : K().Mdls) {
        if (record.Reported || record.IoManager || !mine(record.Owner)) continue;
        record.Reported = true;
        Fault("MDL leak: %s allocated MDL %p with IoAllocateMdl and never freed it",
              DriverName(record.Owner).c_str(), static_cast<void*>(mdl));
    }
}

/*
 * When a process ends, its handles are closed; a reference a driver took
 * on one of its objects and still holds now keeps an object alive that
 * nothing can reach or signal for any purpose of that process. It is
 * reported then, against the driver, once (the leak checks skip it later).
 */
void CheckReferencesOutlive(Process* process) {
    std::lock_guard<std::mutex> guard(K().Lock);
    for (auto& [body, object] : K().Objects) {
        if (object->Creator != process || object->Reported) continue;
        for (auto& [owner, count] : object->KernelReferences) {
            if (count <= 0 || !owner) continue;
            object->Reported = true;
            Fault(
                "object reference outlives its process: %s holds %ld reference(s) to %s object %p "
                "of process %s, which has ended",
                DriverName(owner).c_str(), static_cast<long>(count), object->Type->Name, body,
                process->Name.c_str());
        }
    }
}

}  // namespace detail

void CheckLeaks() {
    detail::CheckLeaksOf(nullptr);
}

}  // namespace host_kernel
