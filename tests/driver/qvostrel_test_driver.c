/*
 * QvOstrel test driver: stands in for the protection driver in the setup
 * tool's tests; never shipped. It publishes the directory \Device\QvOstrel,
 * the control device \Device\QvOstrel\System in it and the link
 * \DosDevices\QvOstrel to the directory, so user mode opens
 * \\.\QvOstrel\System (a link straight to a device would not resolve a name
 * below it).
 *
 * Behaviours are REG_DWORD values under <service key>\Parameters, read at
 * every open (see qv_params). Each handle keeps its settings and at most one
 * pending read, which ends with STATUS_CANCELLED through its cancel routine
 * or the handle's cleanup or close (Wine sends IRP_MJ_CLOSE, and no
 * IRP_MJ_CLEANUP, while a read is pending).
 *
 * With ReadAnswer set, a handle's first read is answered at once, and with
 * QV_READ_SECOND also its second, through STATUS_PENDING (completed before
 * the dispatch returns, so the answer arrives as a completion); later reads
 * are parked. What a
 * handle's reads met is written to Parameters\ReadsSeen (REG_BINARY, ULONGs):
 * each read's output length, 0 when a parked read is cancelled, 1 when it
 * ends with its handle.
 *
 * The build passes the version as QV_DRV_VER_MAJOR/MINOR/BUILD/REV; with
 * QV_DRV_PAD_BYTES the image carries a filler table of that size.
 */
#define POOL_TAGGING 1
#include <ntddk.h>
#include <stddef.h>

#define QV_POOL_TAG 0x734f7651u /* "QvOs" in memory */

#ifdef QV_DRV_TLS_INDEX
/* Zig's linker always asks for the C runtime's TLS index; no TLS here. */
ULONG _tls_index = 0;
#endif

/* Version query (in USHORT index, out ULONG), control request (in ULONG 0),
   read (out the record stream), self-check (in the client's path, out the
   ULONG verdict). */
#define IOCTL_QV_QUERY_VERSION CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_QV_CONTROL       CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define IOCTL_QV_READ          CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_QV_SELF_CHECK    CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_BUFFERED, FILE_WRITE_ACCESS)

typedef struct QV_CONFIG {
    ULONG InterfaceVersion, SelfCheckVerdict, SelfCheckBytes, OpenStatus, IgnoreCancel, ReadAnswer, AnswerLater;
} QV_CONFIG;

/* The answers of ReadAnswer. */
enum { QV_READ_PARK, QV_READ_RECORDS, QV_READ_OVERRUN, QV_READ_REPLY, QV_READ_TOO_SMALL, QV_READ_MORE_DATA };
#define QV_READ_SECOND 0x100
#define QV_REPLY_TYPE 0x1000
#define QV_SEEN_MAX 8

static const struct { PCWSTR Name; SIZE_T Offset; ULONG Default; } qv_params[] = {
    { L"InterfaceVersion", offsetof(QV_CONFIG, InterfaceVersion), 3 }, /* answer to query index 1 */
    { L"SelfCheckVerdict", offsetof(QV_CONFIG, SelfCheckVerdict), 0 }, /* verdict of the self-check */
    { L"SelfCheckBytes", offsetof(QV_CONFIG, SelfCheckBytes), 4 },     /* bytes of that answer */
    { L"OpenStatus", offsetof(QV_CONFIG, OpenStatus), 0 },             /* an error: opens fail */
    { L"IgnoreCancel", offsetof(QV_CONFIG, IgnoreCancel), 0 },         /* 1: reads are not cancelled */
    { L"ReadAnswer", offsetof(QV_CONFIG, ReadAnswer), QV_READ_PARK },  /* how the first two reads end */
    { L"AnswerLater", offsetof(QV_CONFIG, AnswerLater), 0 },           /* 1: other requests end pending */
};

typedef struct QV_HANDLE {
    QV_CONFIG Config;
    PIRP PendingRead;
    ULONG Reads, SeenCount, Seen[QV_SEEN_MAX];
} QV_HANDLE;

static struct {
    HANDLE Directory;
    PDEVICE_OBJECT Device;
    BOOLEAN LinkCreated;
    UNICODE_STRING ParamsPath;
    KSPIN_LOCK Lock; /* guards every QV_HANDLE.PendingRead */
} qv;

static UNICODE_STRING qv_dir = RTL_CONSTANT_STRING(L"\\Device\\QvOstrel");
static UNICODE_STRING qv_dev = RTL_CONSTANT_STRING(L"\\Device\\QvOstrel\\System");
static UNICODE_STRING qv_link = RTL_CONSTANT_STRING(L"\\DosDevices\\QvOstrel");

#ifdef QV_DRV_PAD_BYTES
/* Filler that only makes this build's image larger. */
static const UCHAR qv_pad[QV_DRV_PAD_BYTES] = { 'Q', 'v', 'P', 'a', 'd' };
const UCHAR *volatile qv_pad_ref __attribute__((used)) = qv_pad;
#endif

static void qv_load_config(QV_CONFIG *cfg)
{
    UCHAR buf[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)buf;
    OBJECT_ATTRIBUTES oa;
    UNICODE_STRING name;
    HANDLE key = NULL;
    ULONG i, len;

    InitializeObjectAttributes(&oa, &qv.ParamsPath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_QUERY_VALUE, &oa)))
        key = NULL;
    for (i = 0; i < sizeof(qv_params) / sizeof(qv_params[0]); ++i) {
        ULONG *field = (ULONG *)((UCHAR *)cfg + qv_params[i].Offset);
        RtlInitUnicodeString(&name, qv_params[i].Name);
        *field = key && NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof(buf), &len)) &&
                         info->Type == REG_DWORD && info->DataLength == sizeof(ULONG)
                     ? *(const ULONG *)info->Data
                     : qv_params[i].Default;
    }
    if (key)
        ZwClose(key);
}

/* Adds one event to the handle's ReadsSeen value. */
static void qv_note(QV_HANDLE *h, ULONG event)
{
    ULONG seen[QV_SEEN_MAX], count;
    OBJECT_ATTRIBUTES oa;
    UNICODE_STRING name;
    HANDLE key;
    KIRQL irql;

    KeAcquireSpinLock(&qv.Lock, &irql);
    if (h->SeenCount < QV_SEEN_MAX)
        h->Seen[h->SeenCount++] = event;
    count = h->SeenCount;
    RtlCopyMemory(seen, h->Seen, sizeof(seen));
    KeReleaseSpinLock(&qv.Lock, irql);
    RtlInitUnicodeString(&name, L"ReadsSeen");
    InitializeObjectAttributes(&oa, &qv.ParamsPath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (NT_SUCCESS(ZwOpenKey(&key, KEY_SET_VALUE, &oa))) {
        ZwSetValueKey(key, &name, 0, REG_BINARY, seen, count * sizeof(ULONG));
        ZwClose(key);
    }
}

static void qv_complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* Takes the handle's pending read unless its cancel routine has it already. */
static PIRP qv_take_read(QV_HANDLE *h)
{
    KIRQL irql;
    PIRP irp;

    KeAcquireSpinLock(&qv.Lock, &irql);
    irp = h->PendingRead;
    h->PendingRead = NULL;
    if (irp && !h->Config.IgnoreCancel && !IoSetCancelRoutine(irp, NULL))
        irp = NULL;
    KeReleaseSpinLock(&qv.Lock, irql);
    return irp;
}

static VOID NTAPI qv_cancel_read(PDEVICE_OBJECT device, PIRP irp)
{
    QV_HANDLE *h = irp->Tail.Overlay.DriverContext[0];
    KIRQL irql;

    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&qv.Lock, &irql);
    if (h->PendingRead == irp)
        h->PendingRead = NULL;
    KeReleaseSpinLock(&qv.Lock, irql);
    qv_complete(irp, STATUS_CANCELLED, 0);
    qv_note(h, 0);
}

/* Parks a read until it is cancelled or its handle goes away. */
static NTSTATUS qv_park_read(QV_HANDLE *h, PIRP irp)
{
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql;

    KeAcquireSpinLock(&qv.Lock, &irql);
    if (h->PendingRead) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else {
        irp->Tail.Overlay.DriverContext[0] = h;
        if (!h->Config.IgnoreCancel)
            IoSetCancelRoutine(irp, qv_cancel_read);
        if (!h->Config.IgnoreCancel && irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
            status = STATUS_CANCELLED;
        } else {
            IoMarkIrpPending(irp);
            h->PendingRead = irp;
        }
    }
    KeReleaseSpinLock(&qv.Lock, irql);
    return status;
}

static NTSTATUS qv_query_version(QV_HANDLE *h, PIRP irp, PIO_STACK_LOCATION sp)
{
    ULONG *buf = irp->AssociatedIrp.SystemBuffer;
    RTL_OSVERSIONINFOW v = { .dwOSVersionInfoSize = sizeof(v) };
    const ULONG answers[] = { 0, h->Config.InterfaceVersion, QV_DRV_VER_MAJOR, QV_DRV_VER_MINOR,
                              QV_DRV_VER_BUILD, QV_DRV_VER_REV, 0 };
    USHORT index;

    if (sp->Parameters.DeviceIoControl.InputBufferLength < sizeof(USHORT) ||
        sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    index = *(const USHORT *)buf;
    if (index < 1 || index > 6)
        return STATUS_INVALID_PARAMETER;
    /* Index 6: the Windows version in NTDDI form (10: 0x0A000000). */
    *buf = index == 6 && NT_SUCCESS(RtlGetVersion(&v))
               ? (v.dwMajorVersion << 24) | ((v.dwMinorVersion & 0xFF) << 16) : answers[index];
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

/* Lays a record of `size` bytes and `type` at `at`; a reply carries its
   request id 7 at offset 92. Returns the offset after it. */
static ULONG qv_record(UCHAR *buf, ULONG at, ULONG size, ULONG type)
{
    RtlZeroMemory(buf + at, size);
    *(ULONG *)(buf + at) = size;
    *(ULONG *)(buf + at + 16) = type;
    if (type == QV_REPLY_TYPE)
        *(ULONG *)(buf + at + 92) = 7;
    return at + size;
}

/* The answer of the handle's read number n (0 or 1) when it is not parked:
   its status and the bytes returned. */
static NTSTATUS qv_answer_read(ULONG answer, ULONG n, UCHAR *buf, ULONG size, ULONG_PTR *returned)
{
    ULONG at = 0;

    if (answer == QV_READ_TOO_SMALL && size < 3 * 4096)
        return STATUS_BUFFER_TOO_SMALL;
    if (size < 3 * 4096 && answer == QV_READ_MORE_DATA) {
        /* Records of 128 bytes in the first answer, 256 in the second. */
        while (at + (128 << n) <= size)
            at = qv_record(buf, at, 128 << n, 1);
        *returned = at;
        return STATUS_BUFFER_OVERFLOW; /* whole records, and more waiting */
    }
    if (answer == QV_READ_RECORDS) {
        at = qv_record(buf, qv_record(buf, qv_record(buf, 0, 120, 1), 96, 2), 200, 3);
    } else if (answer == QV_READ_OVERRUN) {
        /* A reply whose size (96) runs past the 40 bytes returned of it. */
        at = qv_record(buf, 0, 120, 1) + 40;
        qv_record(buf, 120, 40, QV_REPLY_TYPE);
        *(ULONG *)(buf + 120) = 96;
    } else if (answer == QV_READ_REPLY) {
        at = qv_record(buf, qv_record(buf, 0, 96, QV_REPLY_TYPE), 120, 1);
    }
    *returned = at;
    return STATUS_SUCCESS;
}

static NTSTATUS qv_read(QV_HANDLE *h, PIRP irp, PIO_STACK_LOCATION sp)
{
    const ULONG size = sp->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG n = h->Reads++, answer = h->Config.ReadAnswer & 0xFF;
    ULONG_PTR returned = 0;
    NTSTATUS status;

    qv_note(h, size);
    if (answer == QV_READ_PARK || n >= ((h->Config.ReadAnswer & QV_READ_SECOND) ? 2 : 1) ||
        (size >= 3 * 4096 && answer >= QV_READ_TOO_SMALL))
        return qv_park_read(h, irp);
    if (size < 512)
        return STATUS_BUFFER_TOO_SMALL;
    status = qv_answer_read(answer, n, irp->AssociatedIrp.SystemBuffer, size, &returned);
    if (n == 0) {
        irp->IoStatus.Information = returned;
        return status;
    }
    IoMarkIrpPending(irp);
    qv_complete(irp, status, returned);
    return STATUS_PENDING;
}

static NTSTATUS qv_device_control(QV_HANDLE *h, PIRP irp, PIO_STACK_LOCATION sp)
{
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_QV_QUERY_VERSION:
        return qv_query_version(h, irp, sp);
    case IOCTL_QV_CONTROL:
        return STATUS_SUCCESS;
    case IOCTL_QV_READ:
        return qv_read(h, irp, sp);
    case IOCTL_QV_SELF_CHECK:
        if (sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        *(ULONG *)irp->AssociatedIrp.SystemBuffer = h->Config.SelfCheckVerdict;
        irp->IoStatus.Information = min(h->Config.SelfCheckBytes, sizeof(ULONG));
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

static NTSTATUS NTAPI qv_dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    QV_HANDLE *h = file ? file->FsContext : NULL;
    NTSTATUS status = STATUS_SUCCESS;
    PIRP read;

    (void)device;
    irp->IoStatus.Information = 0;
    if (sp->MajorFunction == IRP_MJ_CREATE && file) {
        QV_CONFIG cfg;
        qv_load_config(&cfg);
        /* Wine opens the handle whatever IRP_MJ_CREATE answers: a refusal is
           kept in FsContext2 and every request on the handle fails with it. */
        status = (NTSTATUS)cfg.OpenStatus;
        file->FsContext2 = (PVOID)(ULONG_PTR)cfg.OpenStatus;
        if (NT_SUCCESS(status) && (h = ExAllocatePoolWithTag(NonPagedPool, sizeof(*h), QV_POOL_TAG))) {
            RtlZeroMemory(h, sizeof(*h));
            h->Config = cfg;
            file->FsContext = h;
        } else if (NT_SUCCESS(status)) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    } else if (sp->MajorFunction == IRP_MJ_CLEANUP || sp->MajorFunction == IRP_MJ_CLOSE) {
        if (h && (read = qv_take_read(h))) {
            qv_complete(read, STATUS_CANCELLED, 0);
            qv_note(h, 1);
        }
        if (h && sp->MajorFunction == IRP_MJ_CLOSE) {
            file->FsContext = NULL;
            ExFreePoolWithTag(h, QV_POOL_TAG);
        }
    } else if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        status = h ? qv_device_control(h, irp, sp)
                   : file && file->FsContext2 ? (NTSTATUS)(ULONG_PTR)file->FsContext2 : STATUS_INVALID_DEVICE_STATE;
        if (h && h->Config.AnswerLater && status != STATUS_PENDING) {
            IoMarkIrpPending(irp); /* the answer arrives after the call returned */
            qv_complete(irp, status, irp->IoStatus.Information);
            return STATUS_PENDING;
        }
    }
    if (status != STATUS_PENDING)
        qv_complete(irp, status, irp->IoStatus.Information);
    return status;
}

static VOID NTAPI qv_unload(PDRIVER_OBJECT driver)
{
    (void)driver;
    if (qv.LinkCreated)
        IoDeleteSymbolicLink(&qv_link);
    if (qv.Device)
        IoDeleteDevice(qv.Device);
    if (qv.Directory)
        ZwClose(qv.Directory);
    if (qv.ParamsPath.Buffer)
        ExFreePoolWithTag(qv.ParamsPath.Buffer, QV_POOL_TAG);
    RtlZeroMemory(&qv, sizeof(qv));
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    OBJECT_ATTRIBUTES oa;
    NTSTATUS status;

    RtlZeroMemory(&qv, sizeof(qv));
    KeInitializeSpinLock(&qv.Lock);
    qv.ParamsPath.MaximumLength = registry_path->Length + sizeof(L"\\Parameters");
    qv.ParamsPath.Buffer = ExAllocatePoolWithTag(PagedPool, qv.ParamsPath.MaximumLength, QV_POOL_TAG);
    if (!qv.ParamsPath.Buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyUnicodeString(&qv.ParamsPath, registry_path);
    RtlAppendUnicodeToString(&qv.ParamsPath, L"\\Parameters");
    driver->MajorFunction[IRP_MJ_CREATE] = driver->MajorFunction[IRP_MJ_CLEANUP] = qv_dispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = qv_dispatch;
    driver->DriverUnload = qv_unload;

    InitializeObjectAttributes(&oa, &qv_dir, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = ZwCreateDirectoryObject(&qv.Directory, DIRECTORY_ALL_ACCESS, &oa);
    if (NT_SUCCESS(status))
        status = IoCreateDevice(driver, 0, &qv_dev, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &qv.Device);
    if (NT_SUCCESS(status))
        status = IoCreateSymbolicLink(&qv_link, &qv_dir);
    qv.LinkCreated = NT_SUCCESS(status);
    if (!NT_SUCCESS(status)) {
        qv_unload(driver);
        return status;
    }
    qv.Device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
