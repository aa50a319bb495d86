// Runs a program under the system-call filter of norvo-logger.service
// (SystemCallFilter=~@privileged @resources): each of those calls kills the
// process with SIGSYS, as systemd's filter does. The groups as systemd 252
// lists them (`systemd-analyze syscall-filter @privileged @resources`);
// names this architecture does not have are left out.
//
// Usage: syscall_filter PROGRAM [ARGUMENT...]

#include <seccomp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kDenied[] = {
    // @privileged, its own calls
    "_sysctl", "acct", "bpf", "capset", "chroot", "fanotify_init", "fanotify_mark", "nfsservctl",
    "open_by_handle_at", "pivot_root", "quotactl", "quotactl_fd", "setdomainname", "setfsuid", "setfsuid32",
    "setgroups", "setgroups32", "sethostname", "setresuid", "setresuid32", "setreuid", "setreuid32", "setuid",
    "setuid32", "vhangup",
    // @privileged: @chown
    "chown", "chown32", "fchown", "fchown32", "fchownat", "lchown", "lchown32",
    // @privileged: @clock
    "adjtimex", "clock_adjtime", "clock_adjtime64", "clock_settime", "clock_settime64", "settimeofday",
    // @privileged: @module
    "delete_module", "finit_module", "init_module",
    // @privileged: @raw-io
    "ioperm", "iopl", "pciconfig_iobase", "pciconfig_read", "pciconfig_write", "s390_pci_mmio_read",
    "s390_pci_mmio_write",
    // @privileged: @reboot
    "kexec_file_load", "kexec_load", "reboot",
    // @privileged: @swap
    "swapoff", "swapon",
    // @resources
    "ioprio_set", "mbind", "migrate_pages", "move_pages", "nice", "sched_setaffinity", "sched_setattr",
    "sched_setparam", "sched_setscheduler", "set_mempolicy", "set_mempolicy_home_node", "setpriority", "setrlimit",
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: syscall_filter PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (filter == nullptr) {
    std::fprintf(stderr, "syscall_filter: seccomp_init failed\n");
    return 2;
  }
  for (const char* name : kDenied) {
    const int call = seccomp_syscall_resolve_name(name);
    if (call == __NR_SCMP_ERROR) continue;
    if (seccomp_rule_add(filter, SCMP_ACT_KILL_PROCESS, call, 0) != 0) {
      std::fprintf(stderr, "syscall_filter: cannot deny %s\n", name);
      return 2;
    }
  }
  // No new privileges is set with the filter, so an unprivileged user may load it too.
  if (const int error = seccomp_load(filter); error != 0) {
    std::fprintf(stderr, "syscall_filter: seccomp_load: %s\n", std::strerror(-error));
    return 2;
  }
  seccomp_release(filter);
  ::execvp(argv[1], argv + 1);
  std::fprintf(stderr, "syscall_filter: %s: %s\n", argv[1], std::strerror(errno));
  return 127;
}
