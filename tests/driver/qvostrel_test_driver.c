/*
 * QvOstrel test driver: stands in for the protection driver in the setup
 * tool's tests; never shipped. It publishes the directory \Device\QvOstrel,
 * the control device \Device\QvOstrel\System in it and the link
 * \DosDevices\QvOstrel to the directory, so user mode opens
 * \\.\QvOstrel\System (a link straight to a device would not resolve a name
 * below it). With SecondInstance=1 it publishes the same under QvOstrel2.
 *
 * Adding a request or a setting is one function plus one table row:
 *   qv_majors[]  IRP major functions served;
 *   qv_ioctls[]  control codes answered;
 *   qv_params[]  REG_DWORD values read from <service key>\Parameters into
 *                the new handle's QV_CONFIG at every IRP_MJ_CREATE (missing
 *                key or value: the default), and at DriverEntry.
 *
 * Each handle (FILE_OBJECT.FsContext) has a QV_HANDLE: its settings, read
 * counters and at most one pending read, which ends with STATUS_CANCELLED
 * through its cancel routine, IRP_MJ_CLEANUP or IRP_MJ_CLOSE, whichever
 * comes first (Wine sends IRP_MJ_CLOSE, and no IRP_MJ_CLEANUP, while a read
 * is pending). qv.Lock guards the handle list, counters and PendingRead.
 *
 * The build passes the version as QV_DRV_VER_MAJOR/MINOR/BUILD/REV; with
 * QV_DRV_PAD_BYTES the image carries a filler table of that size.
 */
#define POOL_TAGGING 1
#include <ntddk.h>
#include <stddef.h>

#ifndef QV_DRV_VER_MAJOR
#error "QV_DRV_VER_MAJOR/MINOR/BUILD/REV must be defined by the build"
#endif

#define QV_POOL_TAG   0x734f7651u /* "QvOs" in memory */
#define QV_PARAMS_KEY L"\\Parameters"
#define QV_INSTANCES  2

/* Control codes, device type 0x22 (FILE_DEVICE_UNKNOWN), all buffered:
   version query (in USHORT index, out ULONG value), control request (in
   ULONG 0, no output), read request (out the record stream), self-check (in
   the client's executable path, NUL-terminated UTF-16; out ULONG verdict). */
#define IOCTL_QV_QUERY_VERSION CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_QV_CONTROL       CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define IOCTL_QV_READ          CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_QV_SELF_CHECK    CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_BUFFERED, FILE_WRITE_ACCESS)
_Static_assert(IOCTL_QV_QUERY_VERSION == 0x224004 && IOCTL_QV_CONTROL == 0x228008 &&
               IOCTL_QV_READ == 0x22400C && IOCTL_QV_SELF_CHECK == 0x228010, "control codes");

/*
 * Records of the read stream, laid end to end. Offset 0: ULONG size of the
 * record in bytes; 4: ULONG index of the record in this read, from 0; 16:
 * ULONG type, 1 = ordinary (0x1000 would be a reply with a ULONG request id
 * at offset 92; this driver sends none). Every other byte holds the low 8
 * bits of its offset in the record (0x08 ... 0x0F, 0x14 ...). Records are
 * 128 bytes; the last one takes the remainder when fewer than 96 bytes
 * would be left, so records are 96 to 223 bytes long, except that a read of
 * fewer than 96 bytes gives one record of that size with the fields that fit.
 */
#define QV_RECORD_SIZE     128u
#define QV_RECORD_MIN      96u
#define QV_RECORD_ORDINARY 1u

/* Settings of a handle, read from the Parameters key at its open. */
typedef struct QV_CONFIG {
    ULONG InterfaceVersion, FailQueryIndex, SelfCheckVerdict, ControlStatus;
    ULONG FirstReadStatus, MinReadBuffer, ImmediateReads, ImmediateReadBytes;
    ULONG IgnoreCancel, OpenStatus, SecondOpenStatus, SecondInstance;
    ULONG SelfCheckBytes;
} QV_CONFIG;

/* A value under Parameters and its ULONG field; a NULL Name ends the table. */
typedef struct QV_PARAM { PCWSTR Name; SIZE_T Offset; ULONG Default; } QV_PARAM;

#define QV_P(name, def) { L## #name, offsetof(QV_CONFIG, name), def }
static const QV_PARAM qv_params[] = {
    QV_P(InterfaceVersion, 3),   /* answer to query index 1 */
    QV_P(FailQueryIndex, 0),     /* this index fails: STATUS_INVALID_DEVICE_REQUEST */
    QV_P(SelfCheckVerdict, 0),   /* verdict of the self-check */
    QV_P(ControlStatus, 0),      /* status of the control request */
    QV_P(FirstReadStatus, 0),    /* non-zero: the first read fails with it */
    QV_P(MinReadBuffer, 0),      /* smaller read buffers: STATUS_BUFFER_TOO_SMALL */
    QV_P(ImmediateReads, 0),     /* this many reads complete at once... */
    QV_P(ImmediateReadBytes, 0), /* ...with this many bytes of records */
    QV_P(IgnoreCancel, 0),       /* 1: pending reads get no cancel routine */
    QV_P(OpenStatus, 0),         /* an error status: opens of QvOstrel\System fail */
    QV_P(SecondOpenStatus, 0),   /* an error status: opens of QvOstrel2\System fail */
    QV_P(SecondInstance, 0),     /* 1: QvOstrel2 exists too (read at DriverEntry) */
    QV_P(SelfCheckBytes, 4),     /* bytes of the self-check verdict returned (at most 4) */
    { NULL, 0, 0 }
};

/* Names of the two instances. */
static const struct { PCWSTR Directory, Device, Link; } qv_names[QV_INSTANCES] = {
    { L"\\Device\\QvOstrel",  L"\\Device\\QvOstrel\\System",  L"\\DosDevices\\QvOstrel" },
    { L"\\Device\\QvOstrel2", L"\\Device\\QvOstrel2\\System", L"\\DosDevices\\QvOstrel2" },
};

/* Device extension of each System device: 0 for QvOstrel, 1 for QvOstrel2. */
typedef struct QV_DEVICE { ULONG Instance; } QV_DEVICE;

/* State of one open handle; FILE_OBJECT.FsContext points here. */
typedef struct QV_HANDLE {
    LIST_ENTRY Link;          /* in qv.Handles */
    PFILE_OBJECT File;
    QV_CONFIG Config;         /* as read at the open */
    ULONG Reads;              /* read requests received */
    ULONG ImmediateDone;      /* reads completed at once with records */
    PIRP PendingRead;         /* the parked read, or NULL */
    BOOLEAN ReadCancelable;   /* PendingRead was given a cancel routine */
} QV_HANDLE;

/* Driver-wide state; torn down by qv_teardown in reverse order. */
static struct {
    struct { HANDLE Directory; PDEVICE_OBJECT Device; BOOLEAN LinkCreated; } Inst[QV_INSTANCES];
    UNICODE_STRING ParamsPath;
    KSPIN_LOCK Lock;
    LIST_ENTRY Handles;
} qv;

#ifdef QV_DRV_PAD_BYTES
/* Filler that only makes this build's image larger. */
static const UCHAR qv_pad[QV_DRV_PAD_BYTES] = { 'Q', 'v', 'P', 'a', 'd' };
const UCHAR *volatile qv_pad_ref __attribute__((used)) = qv_pad;
#endif

static ULONG qv_read_dword(HANDLE key, PCWSTR name, ULONG def)
{
    UCHAR buf[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)buf;
    UNICODE_STRING uname;
    ULONG len = 0;

    RtlInitUnicodeString(&uname, name);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &uname, KeyValuePartialInformation,
                                    info, sizeof(buf), &len)) ||
        info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
        return def;
    return *(const ULONG *)info->Data;
}

static void qv_load_config(QV_CONFIG *cfg)
{
    OBJECT_ATTRIBUTES oa;
    HANDLE key = NULL;
    const QV_PARAM *p;

    InitializeObjectAttributes(&oa, &qv.ParamsPath,
                               OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_QUERY_VALUE, &oa)))
        key = NULL;
    for (p = qv_params; p->Name; ++p) {
        ULONG *field = (ULONG *)((UCHAR *)cfg + p->Offset);
        *field = key ? qv_read_dword(key, p->Name, p->Default) : p->Default;
    }
    if (key)
        ZwClose(key);
}

/* A configured status as a request's result. STATUS_PENDING would leave
   the request hanging; it is answered as STATUS_UNSUCCESSFUL instead. */
static NTSTATUS qv_status(ULONG value)
{
    return value == (ULONG)STATUS_PENDING ? STATUS_UNSUCCESSFUL : (NTSTATUS)value;
}

static void qv_complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* Completes the handle's pending read, if any, with STATUS_CANCELLED, unless
   its cancel routine has started (that routine completes it then); with
   unlink, also takes the handle out of qv.Handles. */
static void qv_end_read(QV_HANDLE *h, BOOLEAN unlink)
{
    PIRP irp;
    KIRQL irql;

    KeAcquireSpinLock(&qv.Lock, &irql);
    irp = h->PendingRead;
    h->PendingRead = NULL;
    if (irp && h->ReadCancelable && !IoSetCancelRoutine(irp, NULL))
        irp = NULL;
    if (unlink)
        RemoveEntryList(&h->Link);
    KeReleaseSpinLock(&qv.Lock, irql);
    if (irp)
        qv_complete(irp, STATUS_CANCELLED, 0);
}

/* Cancel routine of a pending read. It never touches a QV_HANDLE that a
   close may have freed: it looks for the IRP in the handle list instead. */
static VOID NTAPI qv_cancel_read(PDEVICE_OBJECT device, PIRP irp)
{
    PLIST_ENTRY e;
    KIRQL irql;

    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&qv.Lock, &irql);
    for (e = qv.Handles.Flink; e != &qv.Handles; e = e->Flink) {
        QV_HANDLE *h = CONTAINING_RECORD(e, QV_HANDLE, Link);
        if (h->PendingRead == irp)
            h->PendingRead = NULL;
    }
    KeReleaseSpinLock(&qv.Lock, irql);
    qv_complete(irp, STATUS_CANCELLED, 0);
}

/* Parks a read until it is cancelled or its handle goes away. One pending
   read per handle: a second one gets STATUS_INVALID_DEVICE_STATE (an error;
   STATUS_DEVICE_BUSY is only a warning). */
static NTSTATUS qv_park_read(QV_HANDLE *h, PIRP irp)
{
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql;

    KeAcquireSpinLock(&qv.Lock, &irql);
    if (h->PendingRead) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else {
        h->ReadCancelable = !h->Config.IgnoreCancel;
        if (h->ReadCancelable) {
            IoSetCancelRoutine(irp, qv_cancel_read);
            /* Cancelled before the routine was set, and the routine is
               still ours: end it here. If the routine was already taken,
               it waits for qv.Lock and finds the IRP parked below. */
            if (irp->Cancel && IoSetCancelRoutine(irp, NULL))
                status = STATUS_CANCELLED;
        }
        if (status == STATUS_PENDING) {
            IoMarkIrpPending(irp);
            h->PendingRead = irp;
        }
    }
    KeReleaseSpinLock(&qv.Lock, irql);
    return status;
}

/* The Windows version value in NTDDI form: the major version in bits 24-31,
   the minor version in bits 16-23, service pack and sub-version 0
   (Windows 7: 0x06010000, 8.1: 0x06030000, 10: 0x0A000000). */
static ULONG qv_ntddi_version(void)
{
    RTL_OSVERSIONINFOW v = { .dwOSVersionInfoSize = sizeof(v) };

    return NT_SUCCESS(RtlGetVersion(&v))
               ? (v.dwMajorVersion << 24) | ((v.dwMinorVersion & 0xFF) << 16) : 0;
}

/* Sets irp->IoStatus.Information on success; returns the request's status
   (or STATUS_PENDING after marking the IRP pending). */
typedef NTSTATUS QV_IOCTL_HANDLER(QV_HANDLE *h, PIRP irp, PIO_STACK_LOCATION sp);

#define QV_IN_LEN(sp)  ((sp)->Parameters.DeviceIoControl.InputBufferLength)
#define QV_OUT_LEN(sp) ((sp)->Parameters.DeviceIoControl.OutputBufferLength)

static NTSTATUS qv_ioctl_query_version(QV_HANDLE *h, PIRP irp, PIO_STACK_LOCATION sp)
{
    PVOID buf = irp->AssociatedIrp.SystemBuffer;
    USHORT index;
    ULONG value;

    if (QV_IN_LEN(sp) < sizeof(USHORT))
        return STATUS_INVALID_PARAMETER;
    if (QV_OUT_LEN(sp) < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    index = *(const USHORT *)buf;
    if (h->Config.FailQueryIndex && index == h->Config.FailQueryIndex)
        return STATUS_INVALID_DEVICE_REQUEST;
    switch (index) {
    case 1: value = h->Config.InterfaceVersion; break;
    case 2: value = QV_DRV_VER_MAJOR; break;
    case 3: value = QV_DRV_VER_MINOR; break;
    case 4: value = QV_DRV_VER_BUILD; break;
    case 5: value = QV_DRV_VER_REV; break;
    case 6: value = qv_ntddi_version(); break;
    default: return STATUS_INVALID_PARAMETER;
    }
    *(ULONG *)buf = value;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

/* Input: a ULONG that must be 0. Answers with ControlStatus. */
static NTSTATUS qv_ioctl_control(QV_HANDLE *h, PIRP irp, PIO_STACK_LOCATION sp)
{
    if (QV_IN_LEN(sp) < sizeof(ULONG) || *(const ULONG *)irp->AssociatedIrp.SystemBuffer)
        return STATUS_INVALID_PARAMETER;
    return qv_status(h->Config.ControlStatus);
}

/* Input: the client's path, NUL-terminated UTF-16, at least one character.
   Output: the ULONG verdict SelfCheckVerdict (0 = accepted), of which only
   the first SelfCheckBytes bytes are returned. */
static NTSTATUS qv_ioctl_self_check(QV_HANDLE *h, PIRP irp, PIO_STACK_LOCATION sp)
{
    const WCHAR *path = irp->AssociatedIrp.SystemBuffer;
    ULONG in = QV_IN_LEN(sp);

    if (in < 2 * sizeof(WCHAR) || in % sizeof(WCHAR) || !path[0] ||
        path[in / sizeof(WCHAR) - 1])
        return STATUS_INVALID_PARAMETER;
    if (QV_OUT_LEN(sp) < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    *(ULONG *)irp->AssociatedIrp.SystemBuffer = h->Config.SelfCheckVerdict;
    irp->IoStatus.Information = min(h->Config.SelfCheckBytes, sizeof(ULONG));
    return STATUS_SUCCESS;
}

static void qv_put_ulong(UCHAR *rec, ULONG size, ULONG offset, ULONG value)
{
    if (offset + sizeof(ULONG) <= size)
        RtlCopyMemory(rec + offset, &value, sizeof(ULONG));
}

/* Fills count bytes with records as laid out above. */
static void qv_fill_records(UCHAR *buf, ULONG count)
{
    ULONG index, size, i;

    for (index = 0; count; ++index, buf += size, count -= size) {
        size = count >= QV_RECORD_SIZE + QV_RECORD_MIN ? QV_RECORD_SIZE : count;
        for (i = 0; i < size; ++i)
            buf[i] = (UCHAR)i;
        qv_put_ulong(buf, size, 0, size);
        qv_put_ulong(buf, size, 4, index);
        qv_put_ulong(buf, size, 16, QV_RECORD_ORDINARY);
    }
}

/* The read request. In this order: the first read on a handle fails with
   FirstReadStatus if set; a buffer smaller than MinReadBuffer gets
   STATUS_BUFFER_TOO_SMALL; the first ImmediateReads of the reads that get
   this far complete at once with ImmediateReadBytes of records (capped at
   the buffer size); any other read stays pending. */
static NTSTATUS qv_ioctl_read(QV_HANDLE *h, PIRP irp, PIO_STACK_LOCATION sp)
{
    const QV_CONFIG *cfg = &h->Config;
    ULONG size = QV_OUT_LEN(sp), n;
    BOOLEAN first, immediate = FALSE;
    KIRQL irql;

    KeAcquireSpinLock(&qv.Lock, &irql);
    first = h->Reads++ == 0;
    if (!(first && cfg->FirstReadStatus) && size >= cfg->MinReadBuffer &&
        h->ImmediateDone < cfg->ImmediateReads) {
        h->ImmediateDone++;
        immediate = TRUE;
    }
    KeReleaseSpinLock(&qv.Lock, irql);

    if (first && cfg->FirstReadStatus)
        return qv_status(cfg->FirstReadStatus);
    if (size < cfg->MinReadBuffer)
        return STATUS_BUFFER_TOO_SMALL;
    if (!immediate)
        return qv_park_read(h, irp);
    n = min(cfg->ImmediateReadBytes, size);
    qv_fill_records(irp->AssociatedIrp.SystemBuffer, n);
    irp->IoStatus.Information = n;
    return STATUS_SUCCESS;
}

/* Control codes answered; a NULL handler ends the table. */
static const struct { ULONG Code; QV_IOCTL_HANDLER *Handler; } qv_ioctls[] = {
    { IOCTL_QV_QUERY_VERSION, qv_ioctl_query_version },
    { IOCTL_QV_CONTROL,       qv_ioctl_control },
    { IOCTL_QV_READ,          qv_ioctl_read },
    { IOCTL_QV_SELF_CHECK,    qv_ioctl_self_check },
    { 0, NULL }
};

typedef NTSTATUS QV_MAJOR_HANDLER(QV_DEVICE *dev, PIRP irp, PIO_STACK_LOCATION sp);

static QV_HANDLE *qv_handle_of(PIO_STACK_LOCATION sp)
{
    return sp->FileObject ? (QV_HANDLE *)sp->FileObject->FsContext : NULL;
}

/* Reads the settings for the new handle. OpenStatus (SecondOpenStatus on
   the second instance) refuses the open. Wine's CreateFileW does not wait
   for IRP_MJ_CREATE and opens the handle all the same; the refusal is kept
   in FsContext2 so that every request on such a handle fails with it. */
static NTSTATUS qv_on_create(QV_DEVICE *dev, PIRP irp, PIO_STACK_LOCATION sp)
{
    QV_CONFIG cfg;
    QV_HANDLE *h;
    NTSTATUS refuse;
    KIRQL irql;

    (void)irp;
    if (!sp->FileObject)
        return STATUS_INVALID_PARAMETER;
    qv_load_config(&cfg);
    refuse = (NTSTATUS)(dev->Instance ? cfg.SecondOpenStatus : cfg.OpenStatus);
    if (!NT_SUCCESS(refuse)) {
        sp->FileObject->FsContext2 = (PVOID)(ULONG_PTR)(ULONG)refuse;
        return refuse;
    }
    h = ExAllocatePoolWithTag(NonPagedPool, sizeof(*h), QV_POOL_TAG);
    if (!h)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(h, sizeof(*h));
    h->Config = cfg;
    h->File = sp->FileObject;
    sp->FileObject->FsContext = h;
    KeAcquireSpinLock(&qv.Lock, &irql);
    InsertTailList(&qv.Handles, &h->Link);
    KeReleaseSpinLock(&qv.Lock, irql);
    return STATUS_SUCCESS;
}

/* IRP_MJ_CLEANUP and IRP_MJ_CLOSE end the handle's pending read; the close
   also frees the handle's state. */
static NTSTATUS qv_on_cleanup_close(QV_DEVICE *dev, PIRP irp, PIO_STACK_LOCATION sp)
{
    QV_HANDLE *h = qv_handle_of(sp);
    BOOLEAN close = sp->MajorFunction == IRP_MJ_CLOSE;

    (void)dev; (void)irp;
    if (h) {
        qv_end_read(h, close);
        if (close) {
            sp->FileObject->FsContext = NULL;
            ExFreePoolWithTag(h, QV_POOL_TAG);
        }
    }
    return STATUS_SUCCESS;
}

static NTSTATUS qv_on_device_control(QV_DEVICE *dev, PIRP irp, PIO_STACK_LOCATION sp)
{
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    QV_HANDLE *h = qv_handle_of(sp);
    ULONG i;

    (void)dev;
    if (!h) /* a refused open (under Wine), or no file object */
        return sp->FileObject && sp->FileObject->FsContext2
                   ? (NTSTATUS)(ULONG_PTR)sp->FileObject->FsContext2
                   : STATUS_INVALID_DEVICE_STATE;
    for (i = 0; qv_ioctls[i].Handler; ++i)
        if (qv_ioctls[i].Code == code)
            return qv_ioctls[i].Handler(h, irp, sp);
    return STATUS_INVALID_DEVICE_REQUEST;
}

static QV_MAJOR_HANDLER *const qv_majors[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
    [IRP_MJ_CREATE]         = qv_on_create,
    [IRP_MJ_CLEANUP]        = qv_on_cleanup_close,
    [IRP_MJ_CLOSE]          = qv_on_cleanup_close,
    [IRP_MJ_DEVICE_CONTROL] = qv_on_device_control,
};

static NTSTATUS NTAPI qv_dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;

    irp->IoStatus.Information = 0;
    status = qv_majors[sp->MajorFunction]((QV_DEVICE *)device->DeviceExtension, irp, sp);
    if (status != STATUS_PENDING)
        qv_complete(irp, status, irp->IoStatus.Information);
    return status;
}

/* Ends the reads still pending and forgets the handles still open. Windows
   unloads only after the last handle is closed; this guards the rest. */
static void qv_drop_handles(void)
{
    QV_HANDLE *h;
    KIRQL irql;

    for (;;) {
        KeAcquireSpinLock(&qv.Lock, &irql);
        h = IsListEmpty(&qv.Handles) ? NULL : CONTAINING_RECORD(qv.Handles.Flink, QV_HANDLE, Link);
        if (h)
            h->File->FsContext = NULL;
        KeReleaseSpinLock(&qv.Lock, irql);
        if (!h)
            return;
        qv_end_read(h, TRUE);
        ExFreePoolWithTag(h, QV_POOL_TAG);
    }
}

static void qv_teardown(void)
{
    UNICODE_STRING name;
    int i;

    if (qv.Handles.Flink)
        qv_drop_handles();
    for (i = QV_INSTANCES - 1; i >= 0; --i) {
        if (qv.Inst[i].LinkCreated) {
            RtlInitUnicodeString(&name, qv_names[i].Link);
            IoDeleteSymbolicLink(&name);
        }
        if (qv.Inst[i].Device)
            IoDeleteDevice(qv.Inst[i].Device);
        if (qv.Inst[i].Directory)
            ZwClose(qv.Inst[i].Directory); /* not permanent: the last handle removes it */
    }
    if (qv.ParamsPath.Buffer)
        ExFreePoolWithTag(qv.ParamsPath.Buffer, QV_POOL_TAG);
    RtlZeroMemory(&qv, sizeof(qv));
}

static VOID NTAPI qv_unload(PDRIVER_OBJECT driver)
{
    (void)driver;
    qv_teardown();
    DbgPrint("QvOstrel: unloaded\n");
}

static NTSTATUS qv_save_params_path(PCUNICODE_STRING registry_path)
{
    USHORT size = (USHORT)(registry_path->Length + sizeof(QV_PARAMS_KEY));

    qv.ParamsPath.Buffer = ExAllocatePoolWithTag(PagedPool, size, QV_POOL_TAG);
    if (!qv.ParamsPath.Buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    qv.ParamsPath.Length = 0;
    qv.ParamsPath.MaximumLength = size;
    RtlCopyUnicodeString(&qv.ParamsPath, registry_path);
    return RtlAppendUnicodeToString(&qv.ParamsPath, QV_PARAMS_KEY);
}

/* Creates directory, device and link of instance i. */
static NTSTATUS qv_create_instance(PDRIVER_OBJECT driver, ULONG i)
{
    UNICODE_STRING dir_name, dev_name, link_name;
    OBJECT_ATTRIBUTES oa;
    NTSTATUS status;

    RtlInitUnicodeString(&dir_name, qv_names[i].Directory);
    RtlInitUnicodeString(&dev_name, qv_names[i].Device);
    RtlInitUnicodeString(&link_name, qv_names[i].Link);

    InitializeObjectAttributes(&oa, &dir_name,
                               OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = ZwCreateDirectoryObject(&qv.Inst[i].Directory, DIRECTORY_ALL_ACCESS, &oa);
    if (!NT_SUCCESS(status))
        return status;

    status = IoCreateDevice(driver, sizeof(QV_DEVICE), &dev_name, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &qv.Inst[i].Device);
    if (!NT_SUCCESS(status))
        return status;
    ((QV_DEVICE *)qv.Inst[i].Device->DeviceExtension)->Instance = i;

    status = IoCreateSymbolicLink(&link_name, &dir_name);
    if (!NT_SUCCESS(status))
        return status;
    qv.Inst[i].LinkCreated = TRUE;
    qv.Inst[i].Device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    QV_CONFIG cfg;
    NTSTATUS status;
    ULONG i;

    RtlZeroMemory(&qv, sizeof(qv));
    KeInitializeSpinLock(&qv.Lock);
    InitializeListHead(&qv.Handles);

    status = qv_save_params_path(registry_path);
    if (!NT_SUCCESS(status))
        goto fail;
    qv_load_config(&cfg);

    /* Served before the first link appears. */
    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        if (qv_majors[i])
            driver->MajorFunction[i] = qv_dispatch;
    driver->DriverUnload = qv_unload;

    for (i = 0; i < (cfg.SecondInstance == 1 ? 2u : 1u); ++i) {
        status = qv_create_instance(driver, i);
        if (!NT_SUCCESS(status))
            goto fail;
    }

    DbgPrint("QvOstrel: loaded, version %u.%u.%u.%u, %lu instance(s)\n", QV_DRV_VER_MAJOR,
             QV_DRV_VER_MINOR, QV_DRV_VER_BUILD, QV_DRV_VER_REV, (unsigned long)i);
    return STATUS_SUCCESS;

fail:
    DbgPrint("QvOstrel: load failed, status 0x%08lx\n", (unsigned long)status);
    qv_teardown();
    return status;
}
