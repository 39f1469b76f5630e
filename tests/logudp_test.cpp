// The UDP log against a collector on this machine that goes away.
#include "core/log.h"
#include "core/param.h"
#include "platform/platform.h"
#include "services/network.h"
#include "testutil.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

TEST(LogUdp, LinesReachTheCollectorAndRefusedSendsAreLogged)
{
    platform_init();
    int collector = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(7160);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(collector, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << strerror(errno);

    ParamBlock p = param_defaults;
    p.LogUDPAddr = htonl(INADDR_LOOPBACK);
    init_log_udp(&p);
    ASSERT_NE(test_log_text().find("init_log_udp: connected"), std::string::npos);
    log_printf("to the collector\n");
    std::string got;
    char buf[65536];
    // The connection check sent empty datagrams ahead of the lines: read on for up to 10 s.
    for (int i = 0; i < 1000 && got.find("to the collector") == std::string::npos; i++) {
        pollfd pf = {collector, POLLIN, 0};
        if (poll(&pf, 1, 10) > 0) {
            ssize_t n = recv(collector, buf, sizeof buf, 0);
            if (n > 0)
                got.append(buf, (size_t)n);
        }
    }
    EXPECT_NE(got.find("to the collector"), std::string::npos);

    // Nobody listens any more: the kernel refuses the following sends.
    close(collector);
    for (int i = 0; i < 20; i++) {
        log_printf("line %d after the collector went\n", i);
        usleep(10000);
    }
    std::string log = test_log_text();
    EXPECT_GE(test_count(log, "log_udp: write failed\n"), 1u);
    EXPECT_EQ(test_count(log, "write failed:"), 0u);

    p.LogUDPAddr = 0;
    init_log_udp(&p);
}
