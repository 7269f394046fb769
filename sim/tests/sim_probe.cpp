// sim_probe: a small program the simulator's tests run inside the sandbox,
// doing what the boot program does to the simulated devices.
//   sim_probe integrity   three hash records, two module hashes
//   sim_probe sysrq       asks for a power-off and reports that it is still running
//   sim_probe cpuinfo     opens /proc/cpuinfo and says whether it could
//   sim_probe fork        forks a child that exits with 3 and reports its status
//   sim_probe machine     prints the machine and the pointer size
#include <fcntl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// A type-'s' record: letter, 20 hash bytes, text, NUL, newline.
std::string hash_record(unsigned char fill, long dev, long ino)
{
    std::string r(1, 's');
    r.append(20, char(fill));
    r += " " + std::to_string(dev) + " " + std::to_string(ino) + " 0 0 0 1 0";
    r += '\0';
    r += '\n';
    return r;
}

int integrity()
{
    int fd = open("/sys/kernel/security/keepstone/hashlist", O_RDWR);
    if (fd < 0) {
        perror("hashlist");
        return 1;
    }
    for (int i = 1; i <= 3; i++) {
        std::string rec = hash_record((unsigned char)(0x10 * i), 2049, 100 + i);
        if (write(fd, rec.data(), rec.size()) != ssize_t(rec.size())) {
            perror("hashlist write");
            return 1;
        }
    }
    close(fd);
    for (int m = 1; m <= 2; m++) {
        FILE *f = fopen("/sys/kernel/security/keepstone/modlist", "w");
        if (!f) {
            perror("modlist");
            return 1;
        }
        unsigned char hash[20];
        memset(hash, 0xa0 + m, sizeof hash);
        fwrite(hash, 1, sizeof hash, f);
        if (fclose(f) != 0) {
            perror("modlist close");
            return 1;
        }
    }
    return 0;
}

int sysrq()
{
    FILE *f = fopen("/proc/sysrq-trigger", "w");
    if (!f) {
        perror("sysrq-trigger");
        return 1;
    }
    fputs("o\n", f);
    if (fclose(f) != 0) {
        perror("sysrq-trigger close");
        return 1;
    }
    printf("still up\n");
    return 0;
}

int cpuinfo()
{
    FILE *f = fopen("/proc/cpuinfo", "r");
    if (!f) {
        printf("cpuinfo: %s\n", strerror(errno));
        return 1;
    }
    fclose(f);
    printf("cpuinfo: opened\n");
    return 0;
}

int forking()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(3);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        perror("fork");
        return 1;
    }
    printf("child status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
}

int machine()
{
    struct utsname u;
    uname(&u);
    printf("machine=%s pointer=%zu\n", u.machine, sizeof(void *));
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "integrity")
        return integrity();
    if (what == "sysrq")
        return sysrq();
    if (what == "cpuinfo")
        return cpuinfo();
    if (what == "fork")
        return forking();
    if (what == "machine")
        return machine();
    fprintf(stderr, "usage: sim_probe integrity|sysrq|cpuinfo|fork|machine\n");
    return 2;
}
