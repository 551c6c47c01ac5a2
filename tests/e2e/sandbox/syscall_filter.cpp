// syscall_filter ALLOWED PROGRAM [ARGUMENT...]: runs PROGRAM under the
// seccomp filters a systemd unit with SystemCallFilter=, SystemCallErrorNumber=EPERM,
// MemoryDenyWriteExecute=yes and RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX
// gets, for the tests that run the installed filter confined as its unit
// where systemd does not run. ALLOWED names the permitted system calls, one
// a line (names this kernel does not know are skipped, as systemd does).
// Every program PROGRAM starts inherits the filters. Exit status 127 when the
// filters cannot be loaded or PROGRAM cannot be started.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <seccomp.h>
#include <string>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Every system call not named fails with EPERM. A call this architecture has only as a pseudo number
// (socketcall on x86-64) cannot be allowed and is left out, as systemd leaves it out.
scmp_filter_ctx AllowList(const char* file) {
  std::ifstream names(file);
  if (!names) return nullptr;
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
  for (std::string name; std::getline(names, name);) {
    const int call = seccomp_syscall_resolve_name(name.c_str());
    if (call >= 0) seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
  }
  return filter;
}

// No memory that is writable and executable, or made executable later; no sockets but IPv4, IPv6 and Unix ones.
scmp_filter_ctx WriteExecuteAndFamilies() {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  const auto refused = SCMP_ACT_ERRNO(EPERM), unsupported = SCMP_ACT_ERRNO(EAFNOSUPPORT);
  int failures =
      seccomp_rule_add(filter, refused, SCMP_SYS(mmap), 1,
                       SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC | PROT_WRITE, PROT_EXEC | PROT_WRITE)) +
      seccomp_rule_add(filter, refused, SCMP_SYS(mprotect), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC)) +
      seccomp_rule_add(filter, refused, SCMP_SYS(pkey_mprotect), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC)) +
      seccomp_rule_add(filter, refused, SCMP_SYS(shmat), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, SHM_EXEC, SHM_EXEC)) +
      seccomp_rule_add(filter, unsupported, SCMP_SYS(socket), 1, SCMP_A0(SCMP_CMP_GT, AF_INET6));
  for (scmp_datum_t family = AF_UNSPEC; family < AF_INET6; ++family)
    if (family != AF_UNIX && family != AF_INET)
      failures += seccomp_rule_add(filter, unsupported, SCMP_SYS(socket), 1, SCMP_A0(SCMP_CMP_EQ, family));
  if (failures != 0) {
    seccomp_release(filter);
    return nullptr;
  }
  return filter;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: syscall_filter ALLOWED PROGRAM [ARGUMENT...]\n");
    return 127;
  }
  // The allow list goes last: it does not permit loading another filter.
  scmp_filter_ctx restrictions = WriteExecuteAndFamilies(), allowed = AllowList(argv[1]);
  if (!restrictions || !allowed) {
    std::fprintf(stderr, "syscall_filter: cannot make the filters\n");
    return 127;
  }
  int error = seccomp_load(restrictions);
  if (error == 0) error = seccomp_load(allowed);
  if (error != 0) {
    std::fprintf(stderr, "syscall_filter: cannot load the filters: %s\n", std::strerror(-error));
    return 127;
  }
  ::execvp(argv[2], argv + 2);
  std::perror(argv[2]);
  return 127;
}
