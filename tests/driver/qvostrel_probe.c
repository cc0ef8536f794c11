/*
 * Small helper for smoke-test.sh, run under Wine.
 *
 *   qvostrel_probe open  <device path> <result file>
 *   qvostrel_probe start <service>     <result file>
 *   qvostrel_probe stop  <service>     <result file>
 *   qvostrel_probe query <service>     <result file>
 *
 * Writes one line to <result file>: "ok <ms>" or "error <win32 code> <ms>"
 * (time of the call in milliseconds), "query" adds " state <n>" on success;
 * exits 0 on success, 1 on failure. "stop" waits (up to 10 s) until the
 * service reports SERVICE_STOPPED.
 */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

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

int wmain(int argc, wchar_t **argv)
{
    DWORD err, state = 0;
    double t0, t1;
    FILE *out;

    if (argc != 4) {
        fwprintf(stderr, L"usage: qvostrel_probe open|start|stop|query <target> <result file>\n");
        return 2;
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

    if (!(out = _wfopen(argv[3], L"w")))
        return 3;
    if (err)
        fprintf(out, "error %lu %.1f\n", (unsigned long)err, t1 - t0);
    else if (state)
        fprintf(out, "ok %.1f state %lu\n", t1 - t0, (unsigned long)state);
    else
        fprintf(out, "ok %.1f\n", t1 - t0);
    fclose(out);
    return err ? 1 : 0;
}
