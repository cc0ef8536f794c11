/*
 * Small helper for smoke-test.sh, run under Wine.
 *
 *   qvostrel_probe open      <device path> <result file>
 *   qvostrel_probe start     <service>     <result file>
 *   qvostrel_probe stop      <service>     <result file>
 *   qvostrel_probe query     <service>     <result file>
 *   qvostrel_probe version   <device path> <result file>
 *   qvostrel_probe control   <device path> <result file>
 *   qvostrel_probe selfcheck <device path> <result file>
 *   qvostrel_probe reads     <device path> <result file> cancel|close|ignorecancel|hold [buffer size]
 *   qvostrel_probe cycles    <device path> <result file> <count>
 *
 * open/start/stop/query write one line to <result file>: "ok <ms>" or
 * "error <win32 code> <ms>" (time of the call in milliseconds); "query"
 * adds " state <n>" on success; they exit 0 on success, 1 on failure.
 * "stop" waits (up to 10 s) until the service reports SERVICE_STOPPED.
 *
 * The device commands open the device overlapped, as the setup tool does,
 * and write one line per request: "<name>: ok ..." or "<name>: error <win32
 * code> nt 0x<NTSTATUS>" (the raw status from RtlGetLastNtStatus).
 *   version    query indices 0..7, then a 1-byte input and a 2-byte output;
 *   control    the control request with 0, then with 1 (malformed);
 *   selfcheck  the self-check with this exe's path, then malformed inputs;
 *   reads      reads (default buffer 4096 bytes) until one stays pending
 *              (at most 8); then a second read on the same handle, and the
 *              pending one is ended by CancelIoEx ("cancel"), by CloseHandle
 *              ("close"), by CancelIoEx and, when that has no effect
 *              within 300 ms, CloseHandle ("ignorecancel"), or it is awaited
 *              for up to 20 s, then closed ("hold": for a service stop
 *              while the read is pending).
 *   cycles     <count> times: open, a read that must stay pending, then in
 *              turn CancelIoEx, CloseHandle, or CancelIoEx and CloseHandle
 *              at once (the cancel routine racing the close); every read
 *              must end with STATUS_CANCELLED within 5 s. Writes "cycles:
 *              <count> ok <n> failed <n> max <ms>".
 * A request that the driver fails at once is reported from the immediate
 * return only: under Wine its OVERLAPPED is then neither filled nor
 * signalled, which each "read" line shows as "event <0|1> internal 0x..".
 * The device commands exit 0 when they ran, 1 when the open failed.
 */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#define IOCTL_QV_QUERY_VERSION 0x224004
#define IOCTL_QV_CONTROL       0x228008
#define IOCTL_QV_READ          0x22400C
#define IOCTL_QV_SELF_CHECK    0x228010

static FILE *out;
static ULONG (WINAPI *last_nt_status)(void);

static double now_ms(void)
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return (double)c.QuadPart * 1000.0 / (double)f.QuadPart;
}

static DWORD do_open(const wchar_t *path)
{
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(h);
    return 0;
}

enum { SVC_START, SVC_STOP, SVC_QUERY };

static DWORD do_service(const wchar_t *name, int op, DWORD *state)
{
    SC_HANDLE scm, svc;
    SERVICE_STATUS st;
    DWORD err = 0, i;

    if (!(scm = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT)))
        return GetLastError();
    svc = OpenServiceW(scm, name, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!svc) {
        err = GetLastError();
    } else if (op == SVC_QUERY) {
        if (QueryServiceStatus(svc, &st))
            *state = st.dwCurrentState;
        else
            err = GetLastError();
    } else if (op == SVC_START) {
        if (!StartServiceW(svc, 0, NULL))
            err = GetLastError();
    } else if (!ControlService(svc, SERVICE_CONTROL_STOP, &st)) {
        err = GetLastError();
    } else {
        for (i = 0; i < 1000 && st.dwCurrentState != SERVICE_STOPPED; ++i) {
            Sleep(10);
            if (!QueryServiceStatus(svc, &st)) {
                err = GetLastError();
                break;
            }
        }
        if (!err && st.dwCurrentState != SERVICE_STOPPED)
            err = ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    if (svc)
        CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return err;
}

/* ---- device requests ------------------------------------------------------- */

/* A request sent without an OVERLAPPED (the driver completes it at once).
   Writes "<name>: ok" or "<name>: error <code> nt 0x<status>"; returns the
   error code. */
static DWORD sync_ioctl(HANDLE h, const char *name, DWORD code, const void *in, DWORD in_len,
                        void *outbuf, DWORD out_len, DWORD *bytes)
{
    DWORD err = 0;

    *bytes = 0;
    if (!DeviceIoControl(h, code, (void *)in, in_len, outbuf, out_len, bytes, NULL)) {
        err = GetLastError();
        fprintf(out, "%s: error %lu nt 0x%08lX\n", name, (unsigned long)err,
                (unsigned long)last_nt_status());
    } else {
        fprintf(out, "%s: ok", name);
    }
    return err;
}

static void do_version(HANDLE h)
{
    char name[32];
    USHORT index;
    ULONG value;
    DWORD bytes;

    for (index = 0; index <= 7; ++index) {
        value = 0xFFFFFFFF;
        snprintf(name, sizeof(name), "index %u", index);
        if (!sync_ioctl(h, name, IOCTL_QV_QUERY_VERSION, &index, sizeof(index),
                        &value, sizeof(value), &bytes))
            fprintf(out, " value %lu 0x%08lX bytes %lu\n", (unsigned long)value,
                    (unsigned long)value, (unsigned long)bytes);
    }
    index = 1;
    if (!sync_ioctl(h, "short-input", IOCTL_QV_QUERY_VERSION, &index, 1, &value, 4, &bytes))
        fprintf(out, "\n");
    if (!sync_ioctl(h, "short-output", IOCTL_QV_QUERY_VERSION, &index, 2, &value, 2, &bytes))
        fprintf(out, "\n");
}

static void do_control(HANDLE h)
{
    ULONG zero = 0, one = 1;
    DWORD bytes;

    if (!sync_ioctl(h, "control", IOCTL_QV_CONTROL, &zero, sizeof(zero), NULL, 0, &bytes))
        fprintf(out, "\n");
    if (!sync_ioctl(h, "control-1", IOCTL_QV_CONTROL, &one, sizeof(one), NULL, 0, &bytes))
        fprintf(out, "\n");
}

static void self_check(HANDLE h, const char *name, const wchar_t *path, DWORD len)
{
    ULONG verdict = 0xFFFFFFFF;
    DWORD bytes;

    if (!sync_ioctl(h, name, IOCTL_QV_SELF_CHECK, path, len, &verdict, sizeof(verdict), &bytes))
        fprintf(out, " verdict 0x%lX bytes %lu\n", (unsigned long)verdict, (unsigned long)bytes);
}

static void do_self_check(HANDLE h)
{
    wchar_t path[MAX_PATH + 1];
    DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);

    path[n] = 0;
    self_check(h, "selfcheck", path, (n + 1) * sizeof(wchar_t));
    self_check(h, "selfcheck-empty", L"", sizeof(wchar_t));
    self_check(h, "selfcheck-odd", path, (n + 1) * sizeof(wchar_t) - 1);
    self_check(h, "selfcheck-unterminated", path, n * sizeof(wchar_t));
}

/* Walks the records of a completed read: count, sizes, first type. */
static void describe_records(const UCHAR *buf, DWORD bytes)
{
    DWORD off = 0, n = 0;
    ULONG size = 0, type;

    if (bytes >= 20) {
        memcpy(&type, buf + 16, 4);
        fprintf(out, " first-type %lu", (unsigned long)type);
    }
    fprintf(out, " sizes");
    while (off + 4 <= bytes && n < 64) {
        memcpy(&size, buf + off, 4);
        fprintf(out, "%s%lu", n ? "," : " ", (unsigned long)size);
        if (!size)
            break;
        off += size;
        ++n;
    }
    fprintf(out, " walked %lu\n", (unsigned long)off);
}

/* Issues one read; returns TRUE when it is pending (997). */
static BOOL issue_read(HANDLE h, const char *name, UCHAR *buf, DWORD size, OVERLAPPED *ov)
{
    DWORD bytes = 0, err;
    BOOL ok;

    ResetEvent(ov->hEvent);
    ov->Internal = 0xDEAD;
    ok = DeviceIoControl(h, IOCTL_QV_READ, NULL, 0, buf, size, &bytes, ov);
    err = ok ? 0 : GetLastError();
    if (err == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov->hEvent, 200) == WAIT_TIMEOUT) {
            fprintf(out, "%s: pending\n", name);
            return TRUE;
        }
        fprintf(out, "%s: completed after 997 internal 0x%08lX\n", name,
                (unsigned long)ov->Internal);
        return FALSE;
    }
    if (err)
        fprintf(out, "%s: error %lu nt 0x%08lX", name, (unsigned long)err,
                (unsigned long)last_nt_status());
    else
        fprintf(out, "%s: ok %lu", name, (unsigned long)bytes);
    fprintf(out, " event %d internal 0x%08lX",
            WaitForSingleObject(ov->hEvent, 0) == WAIT_OBJECT_0, (unsigned long)ov->Internal);
    if (err)
        fprintf(out, "\n");
    else
        describe_records(buf, bytes);
    return FALSE;
}

/* Waits for the pending read to end; "<name>: ended <code> after <ms>" or
   "<name>: not ended after <ms>". */
static BOOL await_read(HANDLE h, const char *name, OVERLAPPED *ov, DWORD timeout, double t0)
{
    DWORD bytes = 0, err = 0;

    if (WaitForSingleObject(ov->hEvent, timeout) != WAIT_OBJECT_0) {
        fprintf(out, "%s: not ended after %.1f ms\n", name, now_ms() - t0);
        return FALSE;
    }
    if (h && !GetOverlappedResult(h, ov, &bytes, FALSE))
        err = GetLastError();
    fprintf(out, "%s: ended %lu internal 0x%08lX bytes %lu after %.1f ms\n", name,
            (unsigned long)err, (unsigned long)ov->Internal, (unsigned long)ov->InternalHigh,
            now_ms() - t0);
    return TRUE;
}

static void do_reads(HANDLE h, const wchar_t *mode, DWORD size)
{
    OVERLAPPED ov, ov2;
    UCHAR *buf = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 1);
    UCHAR *buf2 = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 1);
    char name[32];
    BOOL pending = FALSE;
    double t0;
    int i;

    memset(&ov, 0, sizeof(ov));
    memset(&ov2, 0, sizeof(ov2));
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    ov2.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    for (i = 1; i <= 8 && !pending; ++i) {
        snprintf(name, sizeof(name), "read %d", i);
        pending = issue_read(h, name, buf, size, &ov);
    }
    if (!pending) {
        CloseHandle(h);
        return;
    }
    if (issue_read(h, "second read", buf2, size, &ov2)) {
        CancelIoEx(h, &ov2);
        await_read(h, "second read", &ov2, 5000, now_ms());
    }

    t0 = now_ms();
    if (!wcscmp(mode, L"hold")) {
        fprintf(out, "holding\n");
        fflush(out);
        if (await_read(h, "hold", &ov, 20000, t0)) {
            CloseHandle(h);
            return;
        }
        t0 = now_ms();
    }
    if (!wcscmp(mode, L"close") || !wcscmp(mode, L"hold")) {
        CloseHandle(h);
        await_read(NULL, "close", &ov, 5000, t0);
        return;
    }
    fprintf(out, "cancelioex: %s\n", CancelIoEx(h, &ov) ? "ok" : "failed");
    if (await_read(h, "cancel", &ov, wcscmp(mode, L"ignorecancel") ? 5000 : 300, t0)) {
        CloseHandle(h);
        return;
    }
    t0 = now_ms();
    CloseHandle(h);
    await_read(NULL, "close", &ov, 5000, t0);
}

static HANDLE open_device(const wchar_t *path)
{
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
}

static DWORD do_cycles(const wchar_t *path, DWORD count)
{
    static UCHAR buf[4096];
    OVERLAPPED ov;
    DWORD i, ok = 0, failed = 0, bytes;
    double t0, ms, max_ms = 0;
    HANDLE h;

    memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    for (i = 0; i < count; ++i) {
        if ((h = open_device(path)) == INVALID_HANDLE_VALUE) {
            fprintf(out, "cycle %lu: open error %lu\n", (unsigned long)i, (unsigned long)GetLastError());
            ++failed;
            continue;
        }
        ResetEvent(ov.hEvent);
        if (DeviceIoControl(h, IOCTL_QV_READ, NULL, 0, buf, sizeof(buf), &bytes, &ov) ||
            GetLastError() != ERROR_IO_PENDING) {
            fprintf(out, "cycle %lu: read not pending (%lu)\n", (unsigned long)i,
                    (unsigned long)GetLastError());
            ++failed;
            CloseHandle(h);
            continue;
        }
        t0 = now_ms();
        if (i % 3 != 1)
            CancelIoEx(h, &ov);
        if (i % 3 != 0)
            CloseHandle(h);
        if (WaitForSingleObject(ov.hEvent, 5000) != WAIT_OBJECT_0 ||
            ov.Internal != 0xC0000120) {
            fprintf(out, "cycle %lu: not cancelled (internal 0x%08lX)\n", (unsigned long)i,
                    (unsigned long)ov.Internal);
            ++failed;
        } else {
            ++ok;
        }
        ms = now_ms() - t0;
        if (ms > max_ms)
            max_ms = ms;
        if (i % 3 == 0)
            CloseHandle(h);
    }
    fprintf(out, "cycles: %lu ok %lu failed %lu max %.1f ms\n", (unsigned long)count,
            (unsigned long)ok, (unsigned long)failed, max_ms);
    return failed ? 1 : 0;
}

enum { DEV_VERSION, DEV_CONTROL, DEV_SELF_CHECK, DEV_READS };

static DWORD do_device(const wchar_t *path, int op, wchar_t **extra, int n_extra)
{
    HANDLE h = open_device(path);
    DWORD err;

    if (h == INVALID_HANDLE_VALUE) {
        err = GetLastError();
        fprintf(out, "open: error %lu nt 0x%08lX\n", (unsigned long)err,
                (unsigned long)last_nt_status());
        return err;
    }
    if (op == DEV_READS) {
        do_reads(h, n_extra > 0 ? extra[0] : L"cancel",
                 n_extra > 1 ? (DWORD)wcstoul(extra[1], NULL, 0) : 4096);
        return 0; /* do_reads closes the handle */
    }
    if (op == DEV_VERSION)
        do_version(h);
    else if (op == DEV_CONTROL)
        do_control(h);
    else
        do_self_check(h);
    CloseHandle(h);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    static const wchar_t *const dev_ops[] = { L"version", L"control", L"selfcheck", L"reads" };
    DWORD err, state = 0;
    double t0, t1;
    int i;

    if (argc < 4) {
        fwprintf(stderr, L"usage: qvostrel_probe <command> <target> <result file> [args]\n");
        return 2;
    }
    last_nt_status = (ULONG (WINAPI *)(void))(void (*)(void))GetProcAddress(
        GetModuleHandleW(L"ntdll.dll"), "RtlGetLastNtStatus");
    if (!(out = _wfopen(argv[3], L"w")))
        return 3;
    if (!wcscmp(argv[1], L"cycles")) {
        err = do_cycles(argv[2], argc > 4 ? (DWORD)wcstoul(argv[4], NULL, 0) : 100);
        fclose(out);
        return err ? 1 : 0;
    }
    for (i = 0; i < 4; ++i) {
        if (!wcscmp(argv[1], dev_ops[i])) {
            err = do_device(argv[2], i, argv + 4, argc - 4);
            fclose(out);
            return err ? 1 : 0;
        }
    }

    t0 = now_ms();
    if (!wcscmp(argv[1], L"open"))
        err = do_open(argv[2]);
    else if (!wcscmp(argv[1], L"start"))
        err = do_service(argv[2], SVC_START, &state);
    else if (!wcscmp(argv[1], L"stop"))
        err = do_service(argv[2], SVC_STOP, &state);
    else if (!wcscmp(argv[1], L"query"))
        err = do_service(argv[2], SVC_QUERY, &state);
    else
        return 2;
    t1 = now_ms();

    if (err)
        fprintf(out, "error %lu %.1f\n", (unsigned long)err, t1 - t0);
    else if (state)
        fprintf(out, "ok %.1f state %lu\n", t1 - t0, (unsigned long)state);
    else
        fprintf(out, "ok %.1f\n", t1 - t0);
    fclose(out);
    return err ? 1 : 0;
}
