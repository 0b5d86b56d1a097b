// vantle._lib: the module definition, its start-up step and the table of the
// six functions. The bodies live with their subsystems; every call goes
// through the boundary in boundary/boundary.hpp.

#include "boundary/boundary.hpp"
#include "boundary/module.hpp"
#include "owners/functions.hpp"
#include "probe/probe.hpp"
#include "probe/sharing.hpp"
#include "terminate/kill.hpp"

namespace vantle {
namespace {

PyMethodDef functions[] = {
    method<probe::is_available_function, probe::is_available>(
        "is_available(port)\n--\n\nCheck if a port is available on localhost.\n\nArgs:\n    port: Port number to check "
        "(1-65535)\n\nReturns:\n    True if port is available, False if in use\n\nExample:\n    >>> import vantle\n   "
        " >>> vantle.is_available(8000)\n    True"),
    method<probe::find_free_function, probe::find_free>(
        "find_free(preferred=None)\n--\n\nFind a free port on localhost.\n\nArgs:\n    preferred: Optional preferred "
        "port number. If provided and free, returns it.\n               If occupied, returns a different free "
        "port.\n\nReturns:\n    A free port number\n\nRaises:\n    OSError: If no free port could be "
        "found\n\nNote:\n    The returned port can be taken by another process between this check\n    and when you "
        "actually bind to it (TOCTOU). Prefer binding to port 0\n    and letting the OS pick if you need a race-free "
        "reservation.\n\nExample:\n    >>> port = vantle.find_free(8000)\n    >>> port = vantle.find_free()  # Any "
        "free port"),
    method<probe::wait_until_free_function, probe::wait_until_free>(
        "wait_until_free(port, timeout=30)\n--\n\nWait for a port to become free.\n\nArgs:\n    port: Port number to "
        "wait for\n    timeout: Maximum seconds to wait (default: 30)\n\nReturns:\n    True if port became free, "
        "False if timeout reached\n\nExample:\n    >>> vantle.wait_until_free(5432, timeout=30)\n    True"),
    method<owners::get_info_function, owners::get_info>(
        "get_info(port)\n--\n\nGet information about the process using a port.\n\nArgs:\n    port: Port number to "
        "investigate\n\nReturns:\n    Dict with pid, name, and cmd keys, or None if the port is free\n    (or its "
        "owner is not visible to us, e.g. it belongs to another user).\n\nNote:\n    `cmd` is the full command line "
        "on Linux, the executable path on\n    macOS, and the executable name on Windows.\n\nExample:\n    >>> "
        "vantle.get_info(8000)\n    {'pid': 1234, 'name': 'python', 'cmd': 'python app.py'}\n    >>> "
        "vantle.get_info(9999)\n    None"),
    method<terminate::kill_function, terminate::kill>(
        "kill(port, force=False)\n--\n\nKill the process(es) using a port.\n\nArgs:\n    port: Port number\n    "
        "force: If True, use SIGKILL (SIGTERM if False). Default: False.\n           On Windows the process is "
        "always terminated forcefully.\n\nReturns:\n    True if the port became free (or was already "
        "free)\n\nRaises:\n    PermissionError: If insufficient permissions\n    OSError: If kill failed for another "
        "reason\n\nExample:\n    >>> vantle.kill(8000)\n    True\n    >>> vantle.kill(8000, force=True)\n    True"),
    method<owners::scan_function, owners::scan>(
        "scan(ports)\n--\n\nScan multiple ports and return info for each.\n\nArgs:\n    ports: List of port "
        "numbers\n\nReturns:\n    Dict mapping port numbers to process info (or None if free)\n\nExample:\n    >>> "
        "vantle.scan([8000, 8001, 5432])\n    {8000: {'pid': 1234, 'name': 'python', 'cmd': 'python app.py'}, 8001: "
        "None, 5432: None}"),
};

// The process-wide state lives here; vantle._table takes it from this module.
Result<void> start_up(PyObject* module) {
    return start_module(module, functions).and_then([module] { return probe::share_process_wide(module); });
}

PyModuleDef definition = module_definition<start_up>("_lib", "Python module for port management.");

}  // namespace
}  // namespace vantle

PyMODINIT_FUNC PyInit__lib() { return PyModuleDef_Init(&vantle::definition); }
