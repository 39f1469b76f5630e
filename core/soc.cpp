#include "core/soc.h"

#include "core/log.h"
#include "core/mtd.h"
#include "core/util.h"
#include "platform/platform.h"

#include <cstdio>
#include <atomic>
#include <mutex>

namespace {
std::once_flag map_once;
std::atomic<bool> mapped{false};

bool in_window(uint32_t a)
{
    return (a >= 0x01C00000u && a <= 0x01FFFFFFu) || (a >= 0x20000000u && a <= 0x200000FFu);
}

constexpr uint32_t PSC_PTSTAT = 0x01C41128u, PSC_PTCMD = 0x01C41120u;
constexpr uint32_t PSC_MDCTL_VPSS = 0x01C41ABCu, PSC_MDCTL_A = 0x01C41AC8u, PSC_MDCTL_B = 0x01C41ACCu;

void psc_wait()
{
    while (reg_read(PSC_PTSTAT) & 1u)
        ;
}
} // namespace

void devmem_map()
{
    std::call_once(map_once, [] {
        if (platform_regs_map() != 0) {
            perror("/dev/mem");
            return;
        }
        mapped = true;
        uint32_t old = platform_reg_read(0x14000u + 0x3FF8u);
        if (bootloader_version() > 0x100FF)
            platform_reg_write(0x14000u + 0x3FF8u, 0xB004u);
        printf("previous TMPBUF = %x, BL=%x\n", old, bootloader_version());
        log_printf("USB_PHY_CTRL=%08x\n", platform_reg_read(0x01C40034u));
    });
}

uint32_t reg_read(uint32_t address)
{
    if (!mapped || !in_window(address))
        return 0xDEADBEEFu;
    return platform_reg_read(address);
}

void reg_write(uint32_t address, uint32_t value)
{
    if (mapped && in_window(address))
        platform_reg_write(address, value);
}

void reg_write_field(uint32_t address, int shift, int width, uint32_t value)
{
    uint32_t mask = (width >= 32 ? 0xFFFFFFFFu : ((1u << width) - 1)) << shift;
    reg_write(address, (reg_read(address) & ~mask) | ((value << shift) & mask));
}

uint32_t hw_clock_90khz()
{
    if (!mapped)
        devmem_map();
    return platform_reg_read(PLATFORM_REG_TIMER90K);
}

int hw_clock_check()
{
    uint32_t t0 = hw_clock_90khz();
    for (int i = 0; i < 10; i++) {
        sleep_ms(1);
        if (hw_clock_90khz() != t0)
            return 0;
    }
    printf("ts=%u\n", t0);
    return 1;
}

uint32_t ts_elapsed(uint32_t earlier, uint32_t later)
{
    uint32_t d = later - earlier;
    if ((int32_t)d < 0)
        d += 1;
    return d;
}

int32_t ts_diff(uint32_t a, uint32_t b)
{
    return (int32_t)(a - b);
}

uint32_t ts_add(uint32_t a, uint32_t b)
{
    uint32_t s = a + b;
    if (s < a)
        s += 1;
    return s;
}

void psc_enable_modules(int on)
{
    psc_wait();
    reg_write(PSC_MDCTL_A, 0x702u | (on ? 1u : 0u));
    reg_write(PSC_MDCTL_B, 0x702u | (on ? 1u : 0u));
    reg_write(PSC_PTCMD, 1);
    psc_wait();
}

void vpss_reset()
{
    static const uint32_t saved_regs[6] = {0x01C70004u, 0x01C70008u, 0x01C70010u,
                                           0x01C70014u, 0x01C70018u, 0x01C7001Cu};
    uint32_t saved[6];
    for (int i = 0; i < 6; i++)
        saved[i] = reg_read(saved_regs[i]);
    psc_wait();
    reg_write(PSC_MDCTL_VPSS, 1);
    reg_write(PSC_PTCMD, 1);
    sleep_ms(20);
    psc_wait();
    reg_write(PSC_MDCTL_VPSS, 0x703);
    reg_write(PSC_PTCMD, 1);
    psc_wait();
    for (int i = 0; i < 6; i++)
        reg_write(saved_regs[i], saved[i]);
}
