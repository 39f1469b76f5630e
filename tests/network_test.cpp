// Network configuration through the command runner, children that inherit nothing, daemons of
// our own only, and what IP learning accepts from a raw frame.
#include "core/log.h"
#include "core/param.h"
#include "core/param_commit.h"
#include "platform/platform.h"
#include "services/network.h"
#include "services/own_ip.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
std::string ring()
{
    std::string s(log_ring_used(), '\0');
    s.resize(log_ring_read(log_ring_tail(), &s[0], (uint32_t)s.size()));
    return s;
}

// The "cmd:" lines logged since the ring was emptied, in order.
std::vector<std::string> commands()
{
    std::vector<std::string> out;
    std::string r = ring();
    size_t pos = 0;
    while ((pos = r.find("cmd: ", pos)) != std::string::npos) {
        size_t end = r.find('\n', pos);
        out.push_back(r.substr(pos + 5, end - pos - 5));
        pos = end;
    }
    return out;
}

ParamBlock block()
{
    ParamBlock p = param_defaults;
    const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    memcpy(p.NetworkMACAddr, mac, 6);
    memset(p.NetworkHostname, 0, sizeof p.NetworkHostname);
    strcpy(p.NetworkHostname, "k7160test");
    p.LogUDPAddr = 0;
    memset(p.NetworkTimeServer, 0, sizeof p.NetworkTimeServer);
    return p;
}

uint32_t ip(const char *text)
{
    uint32_t a;
    inet_pton(AF_INET, text, &a);
    return a;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), {});
}
} // namespace

TEST(Network, StaticModeRunsTheToolsInOrder)
{
    ParamBlock p = block();
    p.NetworkMode = 1;
    p.Net[0].Addr = ip("198.18.3.4");
    p.Net[0].Mask = ip("255.255.255.0");
    p.Net[0].Gateway = ip("198.18.3.1");
    p.Net[0].DNS1 = ip("198.18.3.53");
    p.Net[0].DNS2 = 0;
    log_ring_reset();
    init_network(&p);
    std::vector<std::string> want = {
        "/sbin/ifconfig eth0 198.18.3.4 netmask 255.255.255.0 hw ether 00:11:22:33:44:55 up",
        "/sbin/route del default gw 0.0.0.0 dev eth0",
        "/sbin/route add default gw 198.18.3.1 dev eth0 metric 0",
    };
    EXPECT_EQ(commands(), want);
    EXPECT_EQ(read_file(test_board_path("etc/resolv.conf")), "nameserver 198.18.3.53\n");

    // No gateway: the multicast route instead of a default route; both name servers.
    p.Net[0].Gateway = 0;
    p.Net[0].DNS2 = ip("198.18.3.54");
    log_ring_reset();
    init_network(&p);
    ASSERT_EQ(commands().size(), 3u);
    EXPECT_EQ(commands()[2], "/sbin/route add -net 224.0.0.0/3 dev eth0");
    EXPECT_EQ(read_file(test_board_path("etc/resolv.conf")), "nameserver 198.18.3.53\nnameserver 198.18.3.54\n");
}

TEST(Network, DhcpAndTimeClientSignalOnlyTheirOwnChildren)
{
    // Host processes that look like the daemons by their command lines.
    pid_t fake_dhcp = fork();
    if (fake_dhcp == 0) {
        execl("/bin/bash", "bash", "-c", "exec -a /sbin/udhcpc sleep 30", (char *)nullptr);
        _exit(1);
    }
    pid_t fake_ntp = fork();
    if (fake_ntp == 0) {
        execl("/bin/bash", "bash", "-c", "exec -a /usr/sbin/ntpd sleep 30", (char *)nullptr);
        _exit(1);
    }
    usleep(200000);
    ParamBlock p = block();
    p.NetworkMode = 0;
    strcpy(p.NetworkTimeServer, "pool.example");
    log_ring_reset();
    init_network(&p);
    init_network(&p);
    std::vector<std::string> c = commands();
    ASSERT_EQ(c.size(), 6u);
    EXPECT_EQ(c[0], "/sbin/ifconfig eth0 0.0.0.0 hw ether 00:11:22:33:44:55 up");
    EXPECT_EQ(c[1], "/sbin/udhcpc -s /etc/init.d/dhcp.sh -h k7160test");
    EXPECT_EQ(c[2], "/usr/sbin/ntpd -n -p pool.example");
    EXPECT_EQ(c[5], "/usr/sbin/ntpd -n -p pool.example");
    // The second run stopped our own client and time daemon: one of each is left.
    EXPECT_EQ(platform_signal_children("/sbin/udhcpc", 0), 1);
    EXPECT_EQ(platform_signal_children("/usr/sbin/ntpd", 0), 1);
    // An empty time server stops ours and starts none.
    memset(p.NetworkTimeServer, 0, sizeof p.NetworkTimeServer);
    restart_ntpd(&p);
    EXPECT_EQ(platform_signal_children("/usr/sbin/ntpd", 0), 0);
    // The look-alikes on the host were never touched.
    EXPECT_EQ(kill(fake_dhcp, 0), 0);
    EXPECT_EQ(kill(fake_ntp, 0), 0);
    int st;
    EXPECT_EQ(waitpid(fake_dhcp, &st, WNOHANG), 0);
    kill(fake_dhcp, SIGKILL);
    kill(fake_ntp, SIGKILL);
    waitpid(fake_dhcp, &st, 0);
    waitpid(fake_ntp, &st, 0);
}

// Changes that arrive while a re-init runs are merged into one run after it: a burst costs at
// most two runs (each restarts the web server), and the last run has the last change.
TEST(Network, ABurstOfChangesCostsAtMostTwoRuns)
{
    param_block = block();
    param_block.NetworkMode = 1;
    param_block.Net[0].Addr = ip("198.18.3.4");
    param_block.Net[0].Mask = ip("255.255.255.0");
    log_ring_reset();
    for (int i = 1; i <= 30; i++) {
        snprintf(param_block.NetworkTimeServer, sizeof param_block.NetworkTimeServer, "t%d.example", i);
        param_mark_changed(PARAM_GROUP_NETWORK);
        param_apply_changes();
    }
    for (int i = 0; i < 1000 && ring().find("ntpd -n -p t30.example") == std::string::npos; i++)
        usleep(10000);
    ASSERT_NE(ring().find("ntpd -n -p t30.example"), std::string::npos);
    usleep(1000000);   // room for runs that should not come
    std::string r = ring();
    int runs = 0;
    for (size_t pos = 0; (pos = r.find("init_network: start", pos)) != std::string::npos; pos++)
        runs++;
    EXPECT_GE(runs, 1);
    EXPECT_LE(runs, 2);
    EXPECT_EQ(commands().back(), "/usr/sbin/ntpd -n -p t30.example");
    stop_network_services();
}

TEST(Network, ChildrenInheritNoDescriptorAndAFailedExecEndsAt127)
{
    std::string bin = test_board_path("bin");
    mkdir(test_board_dir().c_str(), 0755);
    mkdir(bin.c_str(), 0755);
    std::string out = test_board_path("fds.txt");
    {
        std::ofstream s(bin + "/listfds");
        s << "#!/bin/sh\nls /proc/self/fd > " << out << "\n";
    }
    chmod((bin + "/listfds").c_str(), 0755);
    // A descriptor far above 255, not close-on-exec.
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_EQ(dup2(fd, 1000), 1000);
    close(fd);
    pid_t pid = spawn_child("/bin/listfds", (const char *)nullptr);
    ASSERT_GT(pid, 0);
    int st = wait_child(pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    std::string fds = read_file(out);
    EXPECT_EQ(fds.find("1000"), std::string::npos) << fds;
    close(1000);

    {
        std::ofstream s(bin + "/notexec");
        s << "not a program\n";
    }
    chmod((bin + "/notexec").c_str(), 0644);
    pid = spawn_child("/bin/notexec", (const char *)nullptr);
    ASSERT_GT(pid, 0);
    st = wait_child(pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 127);
    // Outside the board directory nothing runs.
    EXPECT_EQ(spawn_child("/no/such/tool", (const char *)nullptr), -1);
}

TEST(Network, IpLearningTakesOnlyAWholeIpv4HeaderWithAUsableDestination)
{
    const uint8_t special[6] = {0x00, 0x11, 0x22, 0xff, 0xff, 0xff};
    auto frame = [&](const char *dst, uint16_t type = 0x0800, uint8_t vhl = 0x45, size_t len = 34) {
        std::vector<uint8_t> f(len);
        memcpy(f.data(), special, 6);
        f[12] = (uint8_t)(type >> 8);
        f[13] = (uint8_t)type;
        if (len > 14)
            f[14] = vhl;
        if (len >= 34) {
            uint32_t a = ip(dst);
            memcpy(&f[30], &a, 4);
        }
        return f;
    };
    std::vector<uint8_t> good = frame("198.18.7.7");
    EXPECT_EQ(ip_learn_frame(good.data(), good.size(), special), ip("198.18.7.7"));
    EXPECT_EQ(ip_learn_frame(good.data(), 33, special), 0u);
    std::vector<uint8_t> f;
    f = frame("198.18.7.7", 0x8100);
    EXPECT_EQ(ip_learn_frame(f.data(), f.size(), special), 0u);   // VLAN tag
    f = frame("198.18.7.7", 0x86dd);
    EXPECT_EQ(ip_learn_frame(f.data(), f.size(), special), 0u);
    f = frame("198.18.7.7", 0x0800, 0x65);
    EXPECT_EQ(ip_learn_frame(f.data(), f.size(), special), 0u);   // version 6
    f = frame("198.18.7.7", 0x0800, 0x40);
    EXPECT_EQ(ip_learn_frame(f.data(), f.size(), special), 0u);   // no header length
    for (const char *bad : {"0.0.0.0", "255.255.255.255", "224.0.0.251", "239.1.2.3"}) {
        f = frame(bad);
        EXPECT_EQ(ip_learn_frame(f.data(), f.size(), special), 0u) << bad;
    }
    f = good;
    f[0] = 0x02;
    EXPECT_EQ(ip_learn_frame(f.data(), f.size(), special), 0u);   // another MAC
}

TEST(Network, FormatHelpers)
{
    char buf[32];
    const uint8_t mac[6] = {0, 0x1a, 0xff, 1, 2, 3};
    EXPECT_EQ(format_mac(buf, sizeof buf, mac), 17);
    EXPECT_STREQ(buf, "00:1a:ff:01:02:03");
    const uint8_t a[4] = {10, 0, 255, 1};
    format_ipv4(buf, sizeof buf, a);
    EXPECT_STREQ(buf, "10.0.255.1");
    // Loopback stands for eth0 here: its address is the answer.
    setenv("PLATFORM_ETH", "lo", 1);
    char addr[16];
    EXPECT_STREQ(own_ip_text(addr, sizeof addr), "127.0.0.1");
}
