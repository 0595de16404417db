// SPDX-License-Identifier: MIT
#include "engine/sandbox.h"

#include <seccomp.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <stdexcept>

// Newer than Debian 12's kernel headers (the kernel's uapi values); a
// kernel that knows them says so by its Landlock ABI.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace ocrserver::sandbox {

namespace {

void setLimit(int resource, rlim_t value)
{
    const rlimit limit{value, value};
    if (setrlimit(resource, &limit) != 0)
        throw std::runtime_error(std::string("setrlimit: ") + std::strerror(errno));
}

// The ruleset as ABI 6 has it: file rights, network rights (ABI 4) and
// scopes. Older kernels take it whole as long as what they do not know is 0.
struct RulesetAttr
{
    __u64 handledAccessFs;
    __u64 handledAccessNet;
    __u64 scoped;
};

// Landlock has no library: three system calls.
int landlockCreateRuleset(const RulesetAttr *attr, size_t size, __u32 flags)
{
    return int(syscall(SYS_landlock_create_ruleset, attr, size, flags));
}

int landlockAddRule(int ruleset, landlock_rule_type type, const void *attr, __u32 flags)
{
    return int(syscall(SYS_landlock_add_rule, ruleset, type, attr, flags));
}

int landlockRestrictSelf(int ruleset, __u32 flags)
{
    return int(syscall(SYS_landlock_restrict_self, ruleset, flags));
}

// Every file right the kernel's Landlock knows of; the rules give back
// reading only.
std::string restrictFiles(const std::vector<std::string> &readable)
{
    const int abi = landlockCreateRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return "the kernel has no Landlock: files are not confined to the folders the readers need";
    __u64 handled = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE
            | LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE
            | LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG
            | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK
            | LANDLOCK_ACCESS_FS_MAKE_SYM;
    if (abi >= 2)
        handled |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        handled |= LANDLOCK_ACCESS_FS_TRUNCATE;
    // No signals to any process outside the worker's own domain: not the
    // service, not another worker (the system-call filter holds the pids
    // too, this covers every way of sending one).
    const RulesetAttr attr{handled, 0, abi >= 6 ? __u64(LANDLOCK_SCOPE_SIGNAL) : 0};
    const int ruleset = landlockCreateRuleset(&attr, sizeof attr, 0);
    if (ruleset < 0)
        throw std::runtime_error(std::string("landlock: ") + std::strerror(errno));
    for (const std::string &path : readable) {
        const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0)
            continue; // a folder this machine does not have
        struct stat st;
        const bool folder = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
        const landlock_path_beneath_attr rule{
                folder ? __u64(LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR)
                       : __u64(LANDLOCK_ACCESS_FS_READ_FILE),
                fd};
        const int added = landlockAddRule(ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
        close(fd);
        if (added != 0) {
            close(ruleset);
            throw std::runtime_error("landlock: " + path + ": " + std::strerror(errno));
        }
    }
    const int restricted = landlockRestrictSelf(ruleset, 0);
    close(ruleset);
    if (restricted != 0)
        throw std::runtime_error(std::string("landlock: ") + std::strerror(errno));
    return {};
}

struct FilterFree
{
    void operator()(scmp_filter_ctx filter) const { seccomp_release(filter); }
};

void allow(scmp_filter_ctx filter, int call)
{
    if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0)
        throw std::runtime_error("seccomp: cannot allow a system call");
}

void filterSystemCalls()
{
    // Anything not listed ends the process: the pool answers that request
    // with an error and starts a fresh worker.
    std::unique_ptr<std::remove_pointer_t<scmp_filter_ctx>, FilterFree> filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
    if (!filter)
        throw std::runtime_error("seccomp: cannot make a filter");
    scmp_filter_ctx f = filter.get();
    for (int call : {
                 // the job in and the lines out, on the socket it was given;
                 // library output into its memory file
                 SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(write), SCMP_SYS(writev),
                 SCMP_SYS(lseek), SCMP_SYS(ftruncate), SCMP_SYS(close), SCMP_SYS(poll), SCMP_SYS(ppoll),
                 // memory
                 SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect),
                 SCMP_SYS(madvise),
                 // fonts for PDF pages and Tesseract's language files, read
                 // when first needed (Landlock confines where)
                 SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(fstatfs), SCMP_SYS(statfs), SCMP_SYS(statx), SCMP_SYS(access),
                 SCMP_SYS(faccessat), SCMP_SYS(faccessat2), SCMP_SYS(getdents64), SCMP_SYS(readlink),
                 SCMP_SYS(fcntl),
                 // time, limits and signals (cancel, CPU limit, a crash)
                 SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday), SCMP_SYS(getrusage),
                 SCMP_SYS(getrlimit), SCMP_SYS(setrlimit), SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigprocmask),
                 SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack), SCMP_SYS(getpid), SCMP_SYS(gettid),
                 SCMP_SYS(exit), SCMP_SYS(exit_group),
                 // threads of a library's own pool, and their waits
                 SCMP_SYS(futex), SCMP_SYS(sched_yield), SCMP_SYS(sched_getaffinity), SCMP_SYS(set_robust_list),
                 SCMP_SYS(rseq), SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep), SCMP_SYS(getrandom),
                 SCMP_SYS(sysinfo), SCMP_SYS(uname)})
        allow(f, call);
    // Files may be opened for reading only.
    const scmp_datum_t writing[] = {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND};
    scmp_datum_t anyWriting = 0;
    for (scmp_datum_t bit : writing) {
        anyWriting |= bit;
        if (seccomp_rule_add(f, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(openat), 1, scmp_arg_cmp{2, SCMP_CMP_MASKED_EQ, bit, bit})
            != 0)
            throw std::runtime_error("seccomp: cannot filter openat");
    }
    if (seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(openat), 1, scmp_arg_cmp{2, SCMP_CMP_MASKED_EQ, anyWriting, 0}) != 0)
        throw std::runtime_error("seccomp: cannot filter openat");
    // New threads only, never a new process; glibc falls back from clone3,
    // whose flags a filter cannot see, to clone.
    if (seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                         scmp_arg_cmp{0, SCMP_CMP_MASKED_EQ, scmp_datum_t(CLONE_THREAD), scmp_datum_t(CLONE_THREAD)})
                != 0
        || seccomp_rule_add(f, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0)
        throw std::runtime_error("seccomp: cannot filter clone");
    // Signals and limits for this process only: raise() and abort() are
    // tgkill() on its own thread group, getrlimit() and setrlimit() are
    // prlimit64() on pid 0. Any other pid ends the process.
    const auto self = scmp_datum_t(getpid());
    if (seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, scmp_arg_cmp{0, SCMP_CMP_EQ, self, 0}) != 0
        || seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 1, scmp_arg_cmp{0, SCMP_CMP_EQ, 0, 0}) != 0
        || seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 1, scmp_arg_cmp{0, SCMP_CMP_EQ, self, 0}) != 0)
        throw std::runtime_error("seccomp: cannot filter signals and limits");
    // The one device request the libraries make (glibc's streams asking
    // whether their descriptor is a terminal, to choose their buffering);
    // the rest, TIOCSTI into a terminal say, fail as a file refuses one.
    // Two rules that never overlap: libseccomp lets a rule without a
    // condition win over those with one.
    if (seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1, scmp_arg_cmp{1, SCMP_CMP_EQ, TCGETS, 0}) != 0
        || seccomp_rule_add(f, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ioctl), 1, scmp_arg_cmp{1, SCMP_CMP_NE, TCGETS, 0})
                != 0)
        throw std::runtime_error("seccomp: cannot filter ioctl");
    if (seccomp_load(f) != 0)
        throw std::runtime_error("seccomp: cannot load the filter");
}

} // namespace

void limitResources(std::size_t addressSpace, std::size_t outputFile)
{
    setLimit(RLIMIT_CORE, 0);
    setLimit(RLIMIT_AS, rlim_t(addressSpace));
    // Beyond it a write fails instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    setLimit(RLIMIT_FSIZE, rlim_t(outputFile));
}

void limitCpu(std::chrono::seconds more)
{
    rusage used{};
    getrusage(RUSAGE_SELF, &used);
    const rlim_t spent = rlim_t(used.ru_utime.tv_sec + used.ru_stime.tv_sec) + 1;
    // The hard limit stays open: the soft one is raised again for the next page.
    const rlimit limit{spent + rlim_t(more.count()), RLIM_INFINITY};
    setrlimit(RLIMIT_CPU, &limit);
}

std::string enter(const std::vector<std::string> &readable)
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        throw std::runtime_error(std::string("no_new_privs: ") + std::strerror(errno));
    std::string missing = restrictFiles(readable);
    filterSystemCalls();
    return missing;
}

} // namespace ocrserver::sandbox
