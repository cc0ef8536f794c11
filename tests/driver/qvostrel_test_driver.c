/*
 * QvOstrel test driver: stands in for the protection driver in the setup
 * tool's tests. It publishes the directory \Device\QvOstrel, the control
 * device \Device\QvOstrel\System in it and the link \DosDevices\QvOstrel to
 * the directory, so user mode opens \\.\QvOstrel\System (a link straight to
 * a device would not resolve a name below it).
 *
 * Adding a request or a setting is one function plus one table row:
 *   qv_majors[]  IRP major functions served;
 *   qv_ioctls[]  control codes answered;
 *   qv_params[]  REG_DWORD values read from <service key>\Parameters into
 *                QV_CONFIG at every IRP_MJ_CREATE (missing: the default).
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
#define QV_DIR_NAME   L"\\Device\\QvOstrel"
#define QV_DEV_NAME   L"\\Device\\QvOstrel\\System"
#define QV_LINK_NAME  L"\\DosDevices\\QvOstrel"
#define QV_PARAMS_KEY L"\\Parameters"

/* Settings read from the Parameters key at each open. */
typedef struct QV_CONFIG {
    ULONG Reserved; /* first setting goes here */
} QV_CONFIG;

typedef struct QV_PARAM {
    PCWSTR Name;    /* value name under Parameters; NULL ends the table */
    SIZE_T Offset;  /* ULONG field in QV_CONFIG */
    ULONG Default;
} QV_PARAM;

static const QV_PARAM qv_params[] = {
    /* { L"SomeValue", offsetof(QV_CONFIG, SomeValue), 0 }, */
    { NULL, 0, 0 }
};

/* Device extension of \Device\QvOstrel\System. */
typedef struct QV_DEVICE {
    QV_CONFIG Config; /* as read by the latest IRP_MJ_CREATE */
} QV_DEVICE;

/* Driver-wide state; torn down by qv_teardown in reverse order. */
static struct {
    HANDLE Directory;
    PDEVICE_OBJECT Device;
    BOOLEAN LinkCreated;
    UNICODE_STRING ParamsPath;
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
                                    info, sizeof(buf), &len)))
        return def;
    if (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
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

/* Sets irp->IoStatus.Information; returns the request's status (or
   STATUS_PENDING after marking the IRP pending). */
typedef NTSTATUS QV_IOCTL_HANDLER(QV_DEVICE *dev, PIRP irp, PIO_STACK_LOCATION sp);

typedef struct QV_IOCTL {
    ULONG Code;
    QV_IOCTL_HANDLER *Handler; /* NULL ends the table */
} QV_IOCTL;

static const QV_IOCTL qv_ioctls[] = {
    /* { IOCTL_QV_SOMETHING, qv_ioctl_something }, */
    { 0, NULL }
};

typedef NTSTATUS QV_MAJOR_HANDLER(QV_DEVICE *dev, PIRP irp, PIO_STACK_LOCATION sp);

static NTSTATUS qv_on_create(QV_DEVICE *dev, PIRP irp, PIO_STACK_LOCATION sp)
{
    (void)irp; (void)sp;
    qv_load_config(&dev->Config);
    return STATUS_SUCCESS;
}

static NTSTATUS qv_on_close(QV_DEVICE *dev, PIRP irp, PIO_STACK_LOCATION sp)
{
    (void)dev; (void)irp; (void)sp;
    return STATUS_SUCCESS;
}

static NTSTATUS qv_on_device_control(QV_DEVICE *dev, PIRP irp, PIO_STACK_LOCATION sp)
{
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    const QV_IOCTL *e;

    for (e = qv_ioctls; e->Handler; ++e)
        if (e->Code == code)
            return e->Handler(dev, irp, sp);
    return STATUS_INVALID_DEVICE_REQUEST;
}

static QV_MAJOR_HANDLER *const qv_majors[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
    [IRP_MJ_CREATE]         = qv_on_create,
    [IRP_MJ_CLOSE]          = qv_on_close,
    [IRP_MJ_CLEANUP]        = qv_on_close,
    [IRP_MJ_DEVICE_CONTROL] = qv_on_device_control,
};

static NTSTATUS NTAPI qv_dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;

    irp->IoStatus.Information = 0;
    status = qv_majors[sp->MajorFunction]((QV_DEVICE *)device->DeviceExtension, irp, sp);
    if (status != STATUS_PENDING) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return status;
}

static void qv_teardown(void)
{
    UNICODE_STRING name;

    if (qv.LinkCreated) {
        RtlInitUnicodeString(&name, QV_LINK_NAME);
        IoDeleteSymbolicLink(&name);
        qv.LinkCreated = FALSE;
    }
    if (qv.Device) {
        IoDeleteDevice(qv.Device);
        qv.Device = NULL;
    }
    if (qv.Directory) {
        ZwClose(qv.Directory); /* not permanent: the last handle removes it */
        qv.Directory = NULL;
    }
    if (qv.ParamsPath.Buffer) {
        ExFreePoolWithTag(qv.ParamsPath.Buffer, QV_POOL_TAG);
        RtlZeroMemory(&qv.ParamsPath, sizeof(qv.ParamsPath));
    }
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

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    UNICODE_STRING dir_name, dev_name, link_name;
    OBJECT_ATTRIBUTES oa;
    NTSTATUS status;
    ULONG i;

    RtlZeroMemory(&qv, sizeof(qv));
    RtlInitUnicodeString(&dir_name, QV_DIR_NAME);
    RtlInitUnicodeString(&dev_name, QV_DEV_NAME);
    RtlInitUnicodeString(&link_name, QV_LINK_NAME);

    status = qv_save_params_path(registry_path);
    if (!NT_SUCCESS(status))
        goto fail;

    InitializeObjectAttributes(&oa, &dir_name,
                               OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = ZwCreateDirectoryObject(&qv.Directory, DIRECTORY_ALL_ACCESS, &oa);
    if (!NT_SUCCESS(status))
        goto fail;

    status = IoCreateDevice(driver, sizeof(QV_DEVICE), &dev_name, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &qv.Device);
    if (!NT_SUCCESS(status))
        goto fail;
    RtlZeroMemory(qv.Device->DeviceExtension, sizeof(QV_DEVICE));

    status = IoCreateSymbolicLink(&link_name, &dir_name);
    if (!NT_SUCCESS(status))
        goto fail;
    qv.LinkCreated = TRUE;

    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        if (qv_majors[i])
            driver->MajorFunction[i] = qv_dispatch;
    driver->DriverUnload = qv_unload;
    qv.Device->Flags &= ~DO_DEVICE_INITIALIZING;

    DbgPrint("QvOstrel: loaded, version %u.%u.%u.%u\n", QV_DRV_VER_MAJOR,
             QV_DRV_VER_MINOR, QV_DRV_VER_BUILD, QV_DRV_VER_REV);
    return STATUS_SUCCESS;

fail:
    DbgPrint("QvOstrel: load failed, status 0x%08lx\n", (unsigned long)status);
    qv_teardown();
    return status;
}
