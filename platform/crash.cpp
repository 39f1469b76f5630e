#include "platform/platform_crash.h"

#include <cstdio>
#include <ucontext.h>

void platform_crash_format_registers(const void *context, char *out, size_t size)
{
    const ucontext_t *uc = static_cast<const ucontext_t *>(context);
    if (!uc) {
        snprintf(out, size, "no register context\n");
        return;
    }
#if defined(__x86_64__)
    const greg_t *g = uc->uc_mcontext.gregs;
    // The board's layout, filled with the nearest registers of this machine.
    snprintf(out, size,
             "trap_no=%lx err=%lx oldmask=%lx\n"
             "r0=%08lx r1=%08lx r2=%08lx r3=%08lx r4=%08lx r5=%08lx\n"
             "r6=%08lx r7=%08lx r8=%08lx r9=%08lx r10=%08lx fp=%08lx\n"
             "ip=%08lx sp=%08lx lr=%08lx pc=%08lx cpsr=%08lx fa=%08lx\n",
             (unsigned long)g[REG_TRAPNO], (unsigned long)g[REG_ERR], (unsigned long)uc->uc_sigmask.__val[0],
             (unsigned long)g[REG_RAX], (unsigned long)g[REG_RBX], (unsigned long)g[REG_RCX],
             (unsigned long)g[REG_RDX], (unsigned long)g[REG_RSI], (unsigned long)g[REG_RDI],
             (unsigned long)g[REG_R8], (unsigned long)g[REG_R9], (unsigned long)g[REG_R10],
             (unsigned long)g[REG_R11], (unsigned long)g[REG_R12], (unsigned long)g[REG_RBP],
             (unsigned long)g[REG_R13], (unsigned long)g[REG_RSP], 0ul, (unsigned long)g[REG_RIP],
             (unsigned long)g[REG_EFL], (unsigned long)g[REG_CR2]);
#else
    snprintf(out, size, "registers not available on this machine\n");
#endif
}

bool platform_crash_resume_sound(void *)
{
    return false;
}
