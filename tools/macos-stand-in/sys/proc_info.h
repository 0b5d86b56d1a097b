/* Stand-in for macOS <sys/proc_info.h>, for compile checks on Linux only
 * (tools/check-macos-adapter). It declares the constants the macOS platform
 * layer uses and, of each structure, only the fields it reads; everything else
 * is opaque padding. The fields read sit at the offsets we take Apple's
 * headers to use, and the total sizes are those libproc expects, which the
 * asserts below hold fixed. */
#ifndef VANTLE_STAND_IN_SYS_PROC_INFO_H
#define VANTLE_STAND_IN_SYS_PROC_INFO_H

#include <stdint.h>

#define PROC_ALL_PIDS 1
#define PROC_PIDLISTFDS 1
#define PROC_PIDTBSDINFO 3
#define PROC_PIDFDSOCKETINFO 3
#define PROX_FDTYPE_SOCKET 2
#define TSI_S_LISTEN 1

enum {
    SOCKINFO_GENERIC = 0,
    SOCKINFO_IN = 1,
    SOCKINFO_TCP = 2,
    SOCKINFO_UN = 3
};

struct proc_bsdinfo {
    uint32_t stand_in_ids_and_names[24]; /* flags, status, ids, pbi_comm, pbi_name */
    uint32_t pbi_nfiles;
    uint32_t stand_in_groups_and_tty[5]; /* pgid, pjobc, tdev, tpgid, nice */
    uint64_t pbi_start_tvsec;
    uint64_t pbi_start_tvusec;
};

struct proc_fdinfo {
    int32_t proc_fd;
    uint32_t proc_fdtype;
};

struct in_sockinfo {
    int insi_fport;
    int insi_lport; /* low 16 bits: the port in network byte order */
    uint64_t stand_in_rest[9];
};

struct tcp_sockinfo {
    struct in_sockinfo tcpsi_ini;
    int tcpsi_state;
    int32_t stand_in_timers_and_flags[7];
    uint64_t stand_in_tp;
};

struct socket_info {
    uint64_t stand_in_stat_to_buffers[29]; /* soi_stat through soi_snd */
    int soi_kind;
    uint32_t rfu_1;
    union {
        struct in_sockinfo pri_in;
        struct tcp_sockinfo pri_tcp;
        uint64_t stand_in_largest[66]; /* pri_un: two socket addresses */
    } soi_proto;
};

struct socket_fdinfo {
    uint64_t stand_in_pfi[3]; /* struct proc_fileinfo */
    struct socket_info psi;
};

#ifdef __cplusplus
static_assert(sizeof(struct proc_bsdinfo) == 136, "PROC_PIDTBSDINFO_SIZE");
static_assert(sizeof(struct proc_fdinfo) == 8, "PROC_PIDLISTFD_SIZE");
static_assert(sizeof(struct socket_fdinfo) == 792, "PROC_PIDFDSOCKETINFO_SIZE");
#else
_Static_assert(sizeof(struct proc_bsdinfo) == 136, "PROC_PIDTBSDINFO_SIZE");
_Static_assert(sizeof(struct proc_fdinfo) == 8, "PROC_PIDLISTFD_SIZE");
_Static_assert(sizeof(struct socket_fdinfo) == 792, "PROC_PIDFDSOCKETINFO_SIZE");
#endif

#endif
