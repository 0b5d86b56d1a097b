/* Stand-in for macOS <libproc.h>, so that the macOS platform layer can be
 * compile-checked on Linux (tools/check-macos-adapter). It declares only the
 * calls that layer makes; nothing here is ever linked or run. */
#ifndef VANTLE_STAND_IN_LIBPROC_H
#define VANTLE_STAND_IN_LIBPROC_H

#include <stdint.h>
#include <sys/proc_info.h>

#ifdef __cplusplus
extern "C" {
#endif

int proc_listpids(uint32_t type, uint32_t typeinfo, void *buffer, int buffersize);
int proc_pidinfo(int pid, int flavor, uint64_t arg, void *buffer, int buffersize);
int proc_pidfdinfo(int pid, int fd, int flavor, void *buffer, int buffersize);
int proc_name(int pid, void *buffer, uint32_t buffersize);
int proc_pidpath(int pid, void *buffer, uint32_t buffersize);

#ifdef __cplusplus
}
#endif

#endif
