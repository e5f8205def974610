// The Plug and Play and power rules: one planted misuse per row, committed
// by a test driver in a camera-like stack (the test bus, a function driver
// "fn", an upper filter "top"), and the fault it must produce, alone.
#include "fixtures.h"

using namespace host_kernel;

namespace {

// The stack a row runs in.
struct Stack {
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Fn = nullptr;   // the function driver's device, on the bus's
    PDEVICE_OBJECT Top = nullptr;  // the upper filter's, on top
};

NTSTATUS NTAPI SignalBack(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an IRP whose next location is set up to `target` and gets it back.
void SendAndWait(PDEVICE_OBJECT target, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalBack, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(target, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

// Passes the request down, waits for it, then completes it with `status`.
Behavior ForwardThenComplete(PDEVICE_OBJECT below, NTSTATUS status) {
    return Behavior::Handler([below, status](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SendAndWait(below, irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
}

// Its own part of a request, then what a test driver does with it anyway.
Behavior Then(std::function<void(PIRP)> part) {
    return Behavior::Handler([part](PDEVICE_OBJECT device, PIRP irp) {
        part(irp);
        return TestDriver::ServeDefault(device, irp);
    });
}

struct Row {
    const char* Name;
    bool OnFilter;  // top misbehaves, else fn
    UCHAR Major;
    UCHAR Minor;
    Behavior (*Misbehave)(const Stack&);  // NULL: the test is the one at fault
    void (*Send)(const Stack&);
    const char* Fault;
};

class PnpRulesTest : public StackTest {
  protected:
    // pdo <- fn (function driver) <- top (upper filter).
    Stack BuildRowStack(const PhysicalDeviceOptions& physical = {}) {
        fn_ = std::make_unique<TestDriver>("fn");
        TestDriverOptions filter;
        filter.Filter = true;
        top_ = std::make_unique<TestDriver>("top", filter);
        Stack stack;
        stack.Pdo = CreatePhysicalDevice(physical);
        StackSpec layout;
        layout.Function = fn_->Driver();
        layout.UpperFilters = {top_->Driver()};
        EXPECT_EQ(STATUS_SUCCESS, BuildDeviceStack(stack.Pdo, layout));
        stack.Fn = fn_->Device(stack.Pdo);
        stack.Top = top_->Device(stack.Pdo);
        return stack;
    }

    // One row: the misbehaving driver is given its behaviour, the request is
    // sent, and exactly one fault with the row's text must follow, no other.
    void Run(const Row& row, const Stack& stack) {
        SCOPED_TRACE(row.Name);
        if (row.Misbehave) {
            TestDriver& who = row.OnFilter ? *top_ : *fn_;
            who.On(row.Major, row.Minor, row.Misbehave(stack));
        }
        row.Send(stack);
        EXPECT_EQ(1u, ExpectFault(row.Fault));
        ReportFaults();
    }

    std::unique_ptr<TestDriver> fn_, top_;
};

// --------------------------------------------------------- Plug and Play --

const Row kPnpMisuse[] = {
    {"function driver fails a stop", false, IRP_MJ_PNP, IRP_MN_STOP_DEVICE,
     [](const Stack& s) { return ForwardThenComplete(s.Pdo, STATUS_UNSUCCESSFUL); },
     [](const Stack& s) { StopDevice(s.Pdo); },
     "PnP request failed: fn (function driver) completed"},
    {"filter fails a surprise removal after passing it down", true, IRP_MJ_PNP,
     IRP_MN_SURPRISE_REMOVAL,
     [](const Stack& s) { return ForwardThenComplete(s.Fn, STATUS_DEVICE_BUSY); },
     [](const Stack& s) { SurpriseRemoveDevice(s.Pdo); },
     "PnP request failed: top (upper filter) completed"},
    {"filter completes a cancel-remove itself", true, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE,
     [](const Stack&) { return Behavior::Complete(STATUS_SUCCESS); },
     [](const Stack& s) { SendPnp(s.Pdo, IRP_MN_CANCEL_REMOVE_DEVICE); },
     "PnP request not passed down: top (upper filter) completed"},
    {"function driver keeps a cancel-stop from the bus", false, IRP_MJ_PNP,
     IRP_MN_CANCEL_STOP_DEVICE, [](const Stack&) { return Behavior::Complete(STATUS_SUCCESS); },
     [](const Stack& s) { SendPnp(s.Pdo, IRP_MN_CANCEL_STOP_DEVICE); },
     "PnP request not passed down: fn (function driver) completed"},
    {"stop sent without its query", false, IRP_MJ_PNP, IRP_MN_STOP_DEVICE, nullptr,
     [](const Stack& s) { SendPnp(s.Pdo, IRP_MN_STOP_DEVICE); },
     "stop without agreement: IRP_MN_STOP_DEVICE sent"},
    {"device deleted while handling a surprise removal", false, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL,
     [](const Stack& s) {
         PDEVICE_OBJECT spare;
         IoCreateDevice(s.Fn->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &spare);
         return Then([spare](PIRP) { IoDeleteDevice(spare); });
     },
     [](const Stack& s) { SurpriseRemoveDevice(s.Pdo); },
     "PnpSurpriseRemove: fn called IoDeleteDevice"},
    {"own Plug and Play request sent without STATUS_NOT_SUPPORTED", false, IRP_MJ_DEVICE_CONTROL, 0,
     [](const Stack& s) {
         return Then([pdo = s.Pdo](PIRP) {
             DEVICE_CAPABILITIES caps{};
             PIRP own = IoAllocateIrp(pdo->StackSize, FALSE);
             PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own);
             next->MajorFunction = IRP_MJ_PNP;
             next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
             next->Parameters.DeviceCapabilities.Capabilities = &caps;
             own->IoStatus.Status = STATUS_SUCCESS;
             SendAndWait(pdo, own);
             IoFreeIrp(own);
         });
     },
     [](const Stack& s) { SendIrp(s.Top, IRP_MJ_DEVICE_CONTROL, 0); },
     "PnP IRP status: fn sent IRP"},
    {"Plug and Play request passed on at DISPATCH_LEVEL", false, IRP_MJ_PNP,
     IRP_MN_QUERY_CAPABILITIES,
     [](const Stack& s) {
         return Behavior::Handler([pdo = s.Pdo](PDEVICE_OBJECT, PIRP irp) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             IoSkipCurrentIrpStackLocation(irp);
             NTSTATUS status = IoCallDriver(pdo, irp);
             KeLowerIrql(old);
             return status;
         });
     },
     [](const Stack& s) {
         DEVICE_CAPABILITIES caps;
         QueryCapabilities(s.Pdo, &caps);
     },
     "IRQL check: fn passed IRP"},
};

TEST_F(PnpRulesTest, EachPlugAndPlayMisuseIsReportedByName) {
    for (const Row& row : kPnpMisuse) {
        Reset();
        Stack stack = BuildRowStack();
        ASSERT_EQ(STATUS_SUCCESS, StartDevice(stack.Pdo));
        Run(row, stack);
    }
}

// ------------------------------------------------------------------ power --

NTSTATUS SetPowerTo(const Stack& s) {
    return SetDevicePower(s.Pdo, PowerDeviceD2).Status;
}

const Row kPowerMisuse[] = {
    {"passed with IoCallDriver", false, IRP_MJ_POWER, IRP_MN_SET_POWER,
     [](const Stack& s) {
         return Behavior::Handler([pdo = s.Pdo](PDEVICE_OBJECT, PIRP irp) {
             PoStartNextPowerIrp(irp);
             IoCopyCurrentIrpStackLocationToNext(irp);
             return IoCallDriver(pdo, irp);
         });
     },
     [](const Stack& s) { SetPowerTo(s); }, "power IRP passed with IoCallDriver: fn passed"},
    {"passed down without PoStartNextPowerIrp", false, IRP_MJ_POWER, IRP_MN_SET_POWER,
     [](const Stack& s) {
         return Behavior::Handler([pdo = s.Pdo](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             return PoCallDriver(pdo, irp);
         });
     },
     [](const Stack& s) { SetPowerTo(s); }, "PoStartNextPowerIrp missing: fn let IRP"},
    {"completed without PoStartNextPowerIrp", false, IRP_MJ_POWER, IRP_MN_QUERY_POWER,
     [](const Stack&) {
         return Behavior::Handler([](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
     },
     [](const Stack& s) { QueryDevicePower(s.Pdo, PowerDeviceD2); },
     "PoStartNextPowerIrp missing: fn let IRP"},
    {"set-power failed by the function driver", false, IRP_MJ_POWER, IRP_MN_SET_POWER,
     [](const Stack&) { return Behavior::Complete(STATUS_UNSUCCESSFUL); },
     [](const Stack& s) { SetPowerTo(s); }, "power request failed: fn (function driver) completed"},
    {"PASSIVE_LEVEL routine while setting power", false, IRP_MJ_POWER, IRP_MN_SET_POWER,
     [](const Stack&) {
         return Then([](PIRP) {
             PVOID object;
             ObReferenceObjectByHandle(nullptr, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr);
         });
     },
     [](const Stack& s) { SetPowerTo(s); },
     "PowerIrpDDis: fn called ObReferenceObjectByHandle while handling IRP"},
    {"pageable code while setting power", false, IRP_MJ_POWER, IRP_MN_SET_POWER,
     [](const Stack&) { return Then([](PIRP) { PAGED_CODE(); }); },
     [](const Stack& s) { SetPowerTo(s); }, "PagedCodeAtPowerTrans: fn ran pageable routine"},
};

TEST_F(PnpRulesTest, EachPowerMisuseIsReportedByName) {
    for (const Row& row : kPowerMisuse) {
        Reset();
        Stack stack = BuildRowStack();
        Run(row, stack);
    }
}

// A device without DO_POWER_PAGABLE may get its power requests at
// DISPATCH_LEVEL: its power dispatch must not block even when, as here,
// one reaches it at PASSIVE_LEVEL.
TEST_F(PnpRulesTest, BlockingInTheDispatchOfANonPageableDeviceIsReported) {
    PhysicalDeviceOptions physical;
    physical.Flags = DO_BUFFERED_IO;
    Stack stack = BuildRowStack(physical);
    fn_->On(IRP_MJ_POWER, Then([](PIRP) {
                KEVENT ready;
                KeInitializeEvent(&ready, NotificationEvent, TRUE);
                LARGE_INTEGER aMoment;
                aMoment.QuadPart = -10000;
                KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, &aMoment);
            }));
    SendIrp(stack.Fn, IRP_MJ_POWER, IRP_MN_QUERY_POWER, {}, STATUS_NOT_SUPPORTED, PASSIVE_LEVEL);
    EXPECT_EQ(1u, ExpectFault("power dispatch blocks: fn called KeWaitForSingleObject"));
}

// ---------------------------------------------------- add-device and names --

struct StackShape {
    const char* Name;
    ULONG PdoFlags;
    DEVICE_TYPE PdoType;
    TestDriverOptions Fn;
    enum { NoFilter, TestFilter, ProbeFilter } Above;
    TestDriverOptions Filter;  // the test filter's, Filter set
    const char* Fault;         // NULL: a stack built right
};

TestDriverOptions Options(ULONG set, ULONG clear = 0) {
    TestDriverOptions options;
    options.SetFlags = set;
    options.ClearFlags = clear;
    return options;
}

TestDriverOptions FilterOptions(ULONG set, ULONG clear = 0) {
    TestDriverOptions options = Options(set, clear);
    options.Filter = true;
    return options;
}

TestDriverOptions Secured(TestDriverOptions options, DEVICE_TYPE type = FILE_DEVICE_UNKNOWN) {
    options.Characteristics |= FILE_DEVICE_SECURE_OPEN;
    options.DeviceType = type;
    return options;
}

TestDriverOptions Named(TestDriverOptions options) {
    options.Characteristics |= FILE_AUTOGENERATED_DEVICE_NAME;
    return options;
}

constexpr ULONG kPagedBuffered = DO_BUFFERED_IO | DO_POWER_PAGABLE;

const StackShape kStackShapes[] = {
    {"filter takes everything from below",
     kPagedBuffered,
     FILE_DEVICE_UNKNOWN,
     {},
     StackShape::TestFilter,
     FilterOptions(0),
     nullptr},
    {"... under a camera bus's device type", kPagedBuffered, FILE_DEVICE_KS,
     Secured({}, FILE_DEVICE_KS), StackShape::TestFilter, FilterOptions(0), nullptr},
    {"function driver chooses its buffering", DO_POWER_PAGABLE, FILE_DEVICE_KS,
     Options(DO_DIRECT_IO), StackShape::TestFilter, FilterOptions(0), nullptr},
    {"filter with buffering of its own",
     kPagedBuffered,
     FILE_DEVICE_UNKNOWN,
     {},
     StackShape::TestFilter,
     FilterOptions(DO_DIRECT_IO, DO_BUFFERED_IO),
     "(upper filter) has buffering flags 0x10"},
    {"both bufferings",
     kPagedBuffered,
     FILE_DEVICE_UNKNOWN,
     Options(DO_DIRECT_IO),
     StackShape::NoFilter,
     {},
     "has both DO_BUFFERED_IO and DO_DIRECT_IO"},
    {"function driver not pageable over a pageable bus",
     kPagedBuffered,
     FILE_DEVICE_KS,
     Options(0, DO_POWER_PAGABLE),
     StackShape::NoFilter,
     {},
     "(function driver) lacks DO_POWER_PAGABLE"},
    {"pageable over an inrush device",
     DO_BUFFERED_IO | DO_POWER_INRUSH,
     FILE_DEVICE_UNKNOWN,
     Options(DO_POWER_PAGABLE),
     StackShape::NoFilter,
     {},
     "which has DO_POWER_INRUSH"},
    {"filter of its own type", kPagedBuffered, FILE_DEVICE_KS, Secured({}, FILE_DEVICE_KS),
     StackShape::TestFilter, Secured(FilterOptions(0)), "add-device type: top device"},
    {"filter dropping FILE_DEVICE_SECURE_OPEN",
     kPagedBuffered,
     FILE_DEVICE_UNKNOWN,
     Secured({}),
     StackShape::ProbeFilter,
     {},
     "add-device characteristics: probe device"},
    {"named filter device on an open top",
     kPagedBuffered,
     FILE_DEVICE_UNKNOWN,
     {},
     StackShape::TestFilter,
     Named(FilterOptions(0)),
     "named device in a Plug and Play stack"},
    {"named filter device under FILE_DEVICE_SECURE_OPEN", kPagedBuffered, FILE_DEVICE_UNKNOWN,
     Secured({}), StackShape::TestFilter, Named(FilterOptions(0)), nullptr},
};

TEST_F(PnpRulesTest, EachDeviceTakesWhatItMustFromBelow) {
    for (const StackShape& shape : kStackShapes) {
        SCOPED_TRACE(shape.Name);
        Reset();
        g_probe = ProbeConfig{};
        PhysicalDeviceOptions physical;
        physical.Flags = shape.PdoFlags;
        physical.DeviceType = shape.PdoType;
        PDEVICE_OBJECT pdo = CreatePhysicalDevice(physical);
        TestDriver fn("fn", shape.Fn);
        StackSpec layout;
        layout.Function = fn.Driver();
        std::unique_ptr<TestDriver> filter;
        if (shape.Above == StackShape::TestFilter) {
            filter = std::make_unique<TestDriver>("top", shape.Filter);
            layout.UpperFilters = {filter->Driver()};
        } else if (shape.Above == StackShape::ProbeFilter) {
            layout.UpperFilters = {LoadDriver("probe", ProbeEntry)};
        }
        EXPECT_EQ(STATUS_SUCCESS, BuildDeviceStack(pdo, layout));
        if (shape.Fault) {
            EXPECT_EQ(1u, ExpectFault(shape.Fault));
        }
        ReportFaults();
        Shutdown();
        ReportFaults();
    }
}

// ------------------------------------------------------ surprise removal --

struct AfterSurprise {
    const char* Name;
    const char* Driver;  // the function driver's name
    bool PassesDown;     // a filter-like function driver: everything goes to the bus
    UCHAR Major;         // its behaviour for this request...
    NTSTATUS Status;     // ... completes it with this status (0: default handling)
    enum { Open, Read, Close } Then;
    const char* Fault;  // NULL: allowed
};

const AfterSurprise kAfterSurprise[] = {
    {"open succeeded", "fn", false, IRP_MJ_CREATE, 0, AfterSurprise::Open,
     "after surprise removal: fn completed IRP"},
    {"open refused", "fn", false, IRP_MJ_CREATE, STATUS_DELETE_PENDING, AfterSurprise::Open,
     nullptr},
    {"read passed to the bus", "fn", true, IRP_MJ_READ, 0, AfterSurprise::Read,
     "reached the physical device object"},
    {"close refused", "fn", false, IRP_MJ_CLOSE, STATUS_DELETE_PENDING, AfterSurprise::Close,
     "after surprise removal: fn failed IRP"},
    {"cleanup refused", "fn", false, IRP_MJ_CLEANUP, STATUS_DELETE_PENDING, AfterSurprise::Close,
     "after surprise removal: fn failed IRP"},
    {"cleanup refused by orvane, as it documents", "orvane", false, IRP_MJ_CLEANUP,
     STATUS_DELETE_PENDING, AfterSurprise::Close, nullptr},
};

TEST_F(PnpRulesTest, AfterSurpriseRemovalNothingNewSucceedsAndHandlesClose) {
    for (const AfterSurprise& row : kAfterSurprise) {
        SCOPED_TRACE(row.Name);
        Reset();
        TestDriverOptions options;
        options.Filter = row.PassesDown;
        TestDriver fn(row.Driver, options);
        PDEVICE_OBJECT pdo = CreatePhysicalDevice();
        StackSpec layout;
        layout.Function = fn.Driver();
        ASSERT_EQ(STATUS_SUCCESS, BuildDeviceStack(pdo, layout));
        ASSERT_EQ(STATUS_SUCCESS, StartDevice(pdo));
        Process* app = CreateProcess("app");
        HANDLE file;
        ASSERT_EQ(STATUS_SUCCESS, OpenDevice(app, pdo, &file));
        ASSERT_EQ(STATUS_SUCCESS, SurpriseRemoveDevice(pdo));
        if (row.Status) fn.On(row.Major, Behavior::Complete(row.Status));
        UCHAR buffer[4];
        HANDLE another;
        switch (row.Then) {
        case AfterSurprise::Open:
            OpenDevice(app, pdo, &another);
            break;
        case AfterSurprise::Read:
            ReadFile(app, file, buffer, sizeof buffer);
            break;
        case AfterSurprise::Close:
            CloseHandle(app, file);
            break;
        }
        if (row.Fault) {
            EXPECT_EQ(1u, ExpectFault(row.Fault));
        }
        ReportFaults();
        fn.Clear();
        Shutdown();
        ReportFaults();
    }
}

}  // namespace
