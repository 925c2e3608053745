// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/Sandbox.h"

#include <QByteArrayList>

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {
bool g_filesRestricted = false;
QByteArray g_privateFolder;

// Landlock's rights by the ABI version that brought them; Debian 12's headers know only the first two.
namespace Access {
constexpr std::uint64_t execute = 1ULL << 0;
constexpr std::uint64_t writeFile = 1ULL << 1;
constexpr std::uint64_t readFile = 1ULL << 2;
constexpr std::uint64_t readDir = 1ULL << 3;
constexpr std::uint64_t removeDir = 1ULL << 4;
constexpr std::uint64_t removeFile = 1ULL << 5;
constexpr std::uint64_t makeDir = 1ULL << 7;
constexpr std::uint64_t makeReg = 1ULL << 8;
// Versions 1, 2 (moving files between folders), 3 (truncating) and 5 (device ioctls).
constexpr std::uint64_t version1 = (1ULL << 13) - 1;
constexpr std::uint64_t refer = 1ULL << 13;
constexpr std::uint64_t truncate = 1ULL << 14;
constexpr std::uint64_t ioctlDevice = 1ULL << 15;
// What a rule on a file, not a folder, may grant.
constexpr std::uint64_t ofFiles = execute | writeFile | readFile | truncate | ioctlDevice;
// Version 4: TCP.
constexpr std::uint64_t bindTcp = 1ULL << 0;
constexpr std::uint64_t connectTcp = 1ULL << 1;
// Version 6: abstract Unix sockets and signals outside the box.
constexpr std::uint64_t scopeAbstractSockets = 1ULL << 0;
constexpr std::uint64_t scopeSignals = 1ULL << 1;
} // namespace Access

// The ruleset's attributes as the kernel reads them; an older kernel is given the size it knows.
struct RulesetAttributes {
    std::uint64_t handledFiles = 0;
    std::uint64_t handledNetwork = 0;
    std::uint64_t scoped = 0;
};

int landlockVersion()
{
    const long version = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return version > 0 ? int(version) : 0;
}

std::uint64_t handledFiles(int version)
{
    std::uint64_t rights = Access::version1;
    if (version >= 2)
        rights |= Access::refer;
    if (version >= 3)
        rights |= Access::truncate;
    if (version >= 5)
        rights |= Access::ioctlDevice;
    return rights;
}

// A missing place is no error: not every machine has every folder.
bool allow(int ruleset, int parent, std::uint64_t rights, std::uint64_t handled)
{
    struct stat info {};
    if (::fstat(parent, &info) != 0)
        return false;
    if (!S_ISDIR(info.st_mode))
        rights &= Access::ofFiles;
    landlock_path_beneath_attr rule{};
    rule.allowed_access = rights & handled;
    rule.parent_fd = parent;
    return rule.allowed_access == 0 ||
           ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

bool allowPath(int ruleset, const QByteArray& path, std::uint64_t rights, std::uint64_t handled)
{
    const int place = ::open(path.constData(), O_PATH | O_CLOEXEC);
    if (place < 0)
        return errno == ENOENT || errno == ENOTDIR || errno == EACCES;
    const bool added = allow(ruleset, place, rights, handled);
    ::close(place);
    return added;
}

bool writeFile(const char* path, const QByteArray& text)
{
    const int file = ::open(path, O_WRONLY | O_CLOEXEC);
    if (file < 0)
        return false;
    const bool written = ::write(file, text.constData(), size_t(text.size())) == ssize_t(text.size());
    ::close(file);
    return written;
}

// Async-signal-safe: the number of the refused call, on stderr, then the end the filter would give.
void refused(int, siginfo_t* info, void*)
{
    char line[] = "kalvorin-worker: sandbox: system call           refused\n";
    char* digit = line + std::strlen("kalvorin-worker: sandbox: system call ") + 9;
    unsigned number = unsigned(info->si_syscall);
    do {
        *digit-- = char('0' + number % 10);
        number /= 10;
    } while (number > 0);
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, sizeof line - 1);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(SIGSYS, &fallback, nullptr);
    sigset_t sys;
    sigemptyset(&sys);
    sigaddset(&sys, SIGSYS);
    ::pthread_sigmask(SIG_UNBLOCK, &sys, nullptr);
    ::raise(SIGSYS);
    ::_exit(128 + SIGSYS);
}

int resolve(const char* name)
{
    return seccomp_syscall_resolve_name(name);
}

// What decoding, encoding, the protocol and ending cleanly use (measured with strace over every
// format and the test pictures), with the variants glibc and libraries pick among.
constexpr std::array allowed{
    // Files, through descriptors it holds or in the places Landlock leaves open.
    "read", "write", "readv", "writev", "pread64", "pwrite64", "preadv", "pwritev", "preadv2", "pwritev2", "lseek",
    "close", "close_range", "dup", "dup2", "dup3", "fcntl", "fstat", "newfstatat", "stat", "lstat", "statx", "fstatfs",
    "statfs", "access", "faccessat", "faccessat2", "readlink", "readlinkat", "getdents64", "open", "openat", "mkdir",
    "mkdirat", "rmdir", "unlink", "unlinkat", "rename", "renameat", "renameat2", "link", "linkat", "ftruncate",
    "fallocate", "fsync", "fdatasync", "sync_file_range", "sendfile", "copy_file_range", "fadvise64", "flock", "umask",
    "pipe", "pipe2", "memfd_create", "recvmsg", "shutdown",
    // Memory.
    "brk", "mmap", "munmap", "mremap", "mprotect", "madvise", "mincore", "msync", "membarrier", "get_mempolicy",
    "set_mempolicy", "mbind",
    // Threads.
    "set_robust_list", "get_robust_list", "rseq", "futex", "sched_yield", "sched_getaffinity", "sched_getparam",
    "sched_getscheduler", "gettid", "exit", "exit_group", "set_tid_address",
    // Signals to itself.
    "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "rt_sigtimedwait", "rt_sigsuspend", "rt_sigpending",
    "sigaltstack", "restart_syscall",
    // Time, waiting and facts about itself and the machine.
    "clock_gettime", "clock_getres", "gettimeofday", "time", "nanosleep", "clock_nanosleep", "times", "getrusage",
    "poll", "ppoll", "select", "pselect6", "epoll_create1", "epoll_ctl", "epoll_wait", "epoll_pwait", "eventfd2",
    "getrandom", "uname", "sysinfo", "getpid", "getppid", "getuid", "geteuid", "getgid", "getegid", "getgroups",
    "getresuid", "getresgid", "getcwd", "arch_prctl", "getrlimit", "setrlimit", "getpriority"};

// Named because they are what a broken-into decoder would reach for; they end the worker at once.
constexpr std::array forbidden{
    // Starting programs.
    "execve", "execveat",
    // The network, and any socket beyond the one it was handed.
    "socket", "socketpair", "connect", "bind", "listen", "accept", "accept4", "sendto", "sendmsg", "sendmmsg",
    // Other processes: tracing, reading their memory or descriptors, signalling them.
    "ptrace", "process_vm_readv", "process_vm_writev", "pidfd_getfd", "pidfd_open", "pidfd_send_signal", "kcmp",
    "tkill", "rt_sigqueueinfo", "rt_tgsigqueueinfo",
    // Mounts and namespaces.
    "mount", "umount2", "pivot_root", "chroot", "unshare", "setns", "fsopen", "fsmount", "fsconfig", "fspick",
    "move_mount", "open_tree", "mount_setattr",
    // Owners, and modes by a file's name.
    "chmod", "fchmodat", "chown", "fchown", "lchown", "fchownat",
    // The kernel's larger surfaces, and a filter of its own.
    "keyctl", "add_key", "request_key", "bpf", "perf_event_open", "userfaultfd", "io_uring_setup", "seccomp"};
} // namespace

std::vector<QByteArray> Sandbox::systemPlaces(const std::vector<QByteArray>& folderLists)
{
    std::vector<QByteArray> places{
        "/usr",      "/etc/ImageMagick-6", "/etc/ld.so.cache", "/etc/localtime",          "/etc/fonts",
        "/dev/null", "/dev/urandom",       "/proc/self",       "/sys/devices/system/cpu", "/sys/devices/system/node"};
    for (const QByteArray& list : folderLists) {
        for (const QByteArray& folder : list.split(':')) {
            if (folder.startsWith('/'))
                places.push_back(folder);
        }
    }
    return places;
}

bool Sandbox::leaveNetwork()
{
    if (::unshare(CLONE_NEWNET) == 0)
        return true;
    const uid_t user = ::getuid();
    const gid_t group = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return false;
    // The same user and group inside as outside, or files created in the output folder would have no
    // owner the system knows.
    const bool mapped =
        writeFile("/proc/self/setgroups", "deny") &&
        writeFile("/proc/self/uid_map", QByteArray::number(user) + ' ' + QByteArray::number(user) + " 1") &&
        writeFile("/proc/self/gid_map", QByteArray::number(group) + ' ' + QByteArray::number(group) + " 1");
    if (!mapped)
        std::fputs("kalvorin-worker: sandbox: the user namespace has no mapping\n", stderr);
    // The namespace's capabilities are needed for nothing after this.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    ::syscall(SYS_capset, &header, none);
    return true;
}

bool Sandbox::forbidNewPrivileges()
{
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

int Sandbox::restrictFiles(const Places& places)
{
    const int version = landlockVersion();
    if (version == 0)
        return 0;
    RulesetAttributes attributes;
    attributes.handledFiles = handledFiles(version);
    size_t size = sizeof attributes.handledFiles;
    if (version >= 4) {
        // No TCP at all: no rule grants a port.
        attributes.handledNetwork = Access::bindTcp | Access::connectTcp;
        size = offsetof(RulesetAttributes, scoped);
    }
    if (version >= 6) {
        attributes.scoped = Access::scopeAbstractSockets | Access::scopeSignals;
        size = sizeof attributes;
    }
    const int ruleset = int(::syscall(SYS_landlock_create_ruleset, &attributes, size, 0));
    if (ruleset < 0)
        return 0;
    const std::uint64_t handled = attributes.handledFiles;
    const std::uint64_t read = Access::readFile | Access::readDir;
    const std::uint64_t own = read | Access::writeFile | Access::removeDir | Access::removeFile | Access::makeDir |
                              Access::makeReg | Access::truncate | Access::refer;
    // Outputs are made, written, renamed and removed; what the folder held before is never read. Empty
    // folders may go too: a rename onto a folder of the output's name must meet the system's own refusal
    // (it is a folder), which the output answers with a numbered name, not the box's.
    const std::uint64_t output =
        Access::writeFile | Access::makeReg | Access::removeFile | Access::removeDir | Access::truncate;
    bool ruled = true;
    for (const QByteArray& place : places.readable)
        ruled = allowPath(ruleset, place, read, handled) && ruled;
    // /dev/null is written as well as read.
    ruled = allowPath(ruleset, "/dev/null", Access::writeFile, handled) && ruled;
    if (!places.privateFolder.isEmpty()) {
        ruled = allowPath(ruleset, places.privateFolder, own, handled) && ruled;
        // A worker whose window has died removes its private folder itself, from the folder it is in;
        // only empty folders can go that way.
        const qsizetype slash = places.privateFolder.lastIndexOf('/');
        if (slash > 0)
            ruled = allowPath(ruleset, places.privateFolder.left(slash), Access::removeDir, handled) && ruled;
    }
    for (const int folder : places.outputFolders)
        ruled = allow(ruleset, folder, output, handled) && ruled;
    const bool restricted = ruled && forbidNewPrivileges() && ::syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    ::close(ruleset);
    g_filesRestricted = restricted;
    g_privateFolder = places.privateFolder;
    return restricted ? version : 0;
}

bool Sandbox::refusedFile(const char* libraryWords)
{
    // ImageMagick quotes the file it failed on as `name'; its own errno is often lost by then.
    const char* quoted = g_filesRestricted ? std::strstr(libraryWords, "`/") : nullptr;
    if (!quoted)
        return false;
    const QByteArrayView name(quoted + 1);
    return g_privateFolder.isEmpty() || !name.startsWith(g_privateFolder + '/');
}

bool Sandbox::filterSystemCalls()
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_TRAP);
    if (!filter)
        return false;
    bool ruled = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1) == 0;
    const auto rule = [&](uint32_t action, const char* name, unsigned count = 0, scmp_arg_cmp condition = {}) {
        const int call = resolve(name);
        // A call this architecture does not have cannot be made.
        if (call == __NR_SCMP_ERROR)
            return;
        const int added = count == 0 ? seccomp_rule_add(filter, action, call, 0)
                                     : seccomp_rule_add(filter, action, call, 1, condition);
        ruled = ruled && added == 0;
    };
    for (const char* name : allowed)
        rule(SCMP_ACT_ALLOW, name);
    for (const char* name : forbidden)
        rule(SCMP_ACT_KILL_PROCESS, name);

    const scmp_datum_t self = scmp_datum_t(::getpid());
    // Signals and limits for itself alone; raise() and abort() signal a thread of their own process.
    rule(SCMP_ACT_ALLOW, "kill", 1, SCMP_A0(SCMP_CMP_EQ, self));
    rule(SCMP_ACT_ALLOW, "tgkill", 1, SCMP_A0(SCMP_CMP_EQ, self));
    rule(SCMP_ACT_ALLOW, "prlimit64", 1, SCMP_A0(SCMP_CMP_EQ, 0));
    rule(SCMP_ACT_ALLOW, "prlimit64", 1, SCMP_A0(SCMP_CMP_EQ, self));
    // Threads, but no namespaces. clone3's flags sit in memory the filter cannot read: glibc falls back
    // to clone when told the call does not exist.
    constexpr scmp_datum_t namespaces =
        CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;
    rule(SCMP_ACT_ALLOW, "clone", 1, SCMP_A0(SCMP_CMP_MASKED_EQ, namespaces, 0));
    rule(SCMP_ACT_ERRNO(ENOSYS), "clone3");
    // Permission bits of a file it holds open: ImageMagick makes its cache files private, and an output
    // that replaces a file takes that file's bits. Never set-user-ID, set-group-ID or sticky, never an
    // owner, never a file by its name.
    rule(SCMP_ACT_ALLOW, "fchmod", 1, SCMP_A1(SCMP_CMP_MASKED_EQ, ~scmp_datum_t(0777), 0));
    // Terminal queries only: pushing characters into a terminal (TIOCSTI) would run commands.
    for (const unsigned long request : {TCGETS, TIOCGWINSZ, FIONREAD, FIONBIO, FIOCLEX, FIONCLEX})
        rule(SCMP_ACT_ALLOW, "ioctl", 1, SCMP_A1(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, request));
    for (const int option : {PR_SET_NAME, PR_GET_NAME, PR_GET_DUMPABLE, PR_GET_NO_NEW_PRIVS, PR_CAPBSET_READ,
                             PR_GET_PDEATHSIG, PR_SET_VMA})
        rule(SCMP_ACT_ALLOW, "prctl", 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(option)));

    struct sigaction report {};
    report.sa_sigaction = refused;
    report.sa_flags = SA_SIGINFO;
    sigemptyset(&report.sa_mask);
    const bool loaded = ruled && ::sigaction(SIGSYS, &report, nullptr) == 0 && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return loaded;
}
