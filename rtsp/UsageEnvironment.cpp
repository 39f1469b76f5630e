#include "rtsp/UsageEnvironment.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "core/log.h"

static const uint64_t EVENTFD_TAG = ~0ull;

int64_t rtsp_monotonic_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

void TaskScheduler::rescheduleDelayedTask(TaskToken &task, int64_t microseconds, TaskFunc *proc, void *clientData)
{
    unscheduleDelayedTask(task);
    task = scheduleDelayedTask(microseconds, proc, clientData);
}

BasicTaskScheduler *BasicTaskScheduler::createNew(unsigned maxSchedulerGranularity)
{
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        log_error("rtsp scheduler: epoll_create1: %s\n", strerror(errno));
        return nullptr;
    }
    int ev = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (ev < 0) {
        log_error("rtsp scheduler: eventfd: %s\n", strerror(errno));
        close(ep);
        return nullptr;
    }
    struct epoll_event e = {};
    e.events = EPOLLIN;
    e.data.u64 = EVENTFD_TAG;
    if (epoll_ctl(ep, EPOLL_CTL_ADD, ev, &e) < 0) {
        log_error("rtsp scheduler: epoll_ctl: %s\n", strerror(errno));
        close(ev);
        close(ep);
        return nullptr;
    }
    return new BasicTaskScheduler(maxSchedulerGranularity ? maxSchedulerGranularity : 10000, ep, ev);
}

BasicTaskScheduler::BasicTaskScheduler(unsigned granularity, int epollFd, int eventFd)
    : fGranularity(granularity), fEpollFd(epollFd), fEventFd(eventFd)
{
}

BasicTaskScheduler::~BasicTaskScheduler()
{
    close(fEventFd);
    close(fEpollFd);
}

TaskToken BasicTaskScheduler::scheduleDelayedTask(int64_t microseconds, TaskFunc *proc, void *clientData)
{
    if (microseconds < 0)
        microseconds = 0;
    int64_t due = rtsp_monotonic_us() + microseconds;
    uint64_t id = fNextTaskId++;
    fTasks[{due, id}] = Task{proc, clientData};
    fTaskDue[id] = due;
    return (TaskToken)(uintptr_t)id;
}

void BasicTaskScheduler::unscheduleDelayedTask(TaskToken &prevTask)
{
    uint64_t id = (uint64_t)(uintptr_t)prevTask;
    prevTask = nullptr;
    if (id == 0)
        return;
    auto it = fTaskDue.find(id);
    if (it == fTaskDue.end())
        return;
    fTasks.erase({it->second, id});
    fTaskDue.erase(it);
}

void BasicTaskScheduler::setBackgroundHandling(int socketNum, int conditionSet, BackgroundHandlerProc *proc, void *clientData)
{
    if (socketNum < 0)
        return;
    auto it = fHandlers.find(socketNum);
    if (conditionSet == 0 || proc == nullptr) {
        if (it != fHandlers.end()) {
            epoll_ctl(fEpollFd, EPOLL_CTL_DEL, socketNum, nullptr);
            fHandlers.erase(it);
        }
        return;
    }
    struct epoll_event e = {};
    if (conditionSet & SOCKET_READABLE)
        e.events |= EPOLLIN | EPOLLRDHUP;
    if (conditionSet & SOCKET_WRITABLE)
        e.events |= EPOLLOUT;
    if (conditionSet & SOCKET_EXCEPTION)
        e.events |= EPOLLPRI;
    // A handler replaced while events for the old one are queued must not get them.
    uint64_t gen = fNextGeneration++;
    e.data.u64 = (gen << 32) | (uint32_t)socketNum;
    int op = it == fHandlers.end() ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    int r = epoll_ctl(fEpollFd, op, socketNum, &e);
    if (r < 0 && op == EPOLL_CTL_MOD && errno == ENOENT)   // closed and reused behind our back
        r = epoll_ctl(fEpollFd, EPOLL_CTL_ADD, socketNum, &e);
    if (r < 0) {
        log_error("rtsp scheduler: epoll_ctl fd %d: %s\n", socketNum, strerror(errno));
        return;
    }
    fHandlers[socketNum] = Handler{conditionSet, proc, clientData, gen & 0xffffffffu};
}

EventTriggerId BasicTaskScheduler::createEventTrigger(TaskFunc *eventHandlerProc)
{
    uint32_t allocated = fTriggersAllocated.load();
    for (int i = 0; i < MAX_NUM_EVENT_TRIGGERS; i++) {
        uint32_t bit = 1u << i;
        if (allocated & bit)
            continue;
        fTriggerProcs[i] = eventHandlerProc;
        fTriggerData[i].store(nullptr);
        fTriggersPending.fetch_and(~bit);
        fTriggersAllocated.fetch_or(bit);
        return bit;
    }
    log_error("rtsp scheduler: all %d event triggers in use\n", MAX_NUM_EVENT_TRIGGERS);
    return 0;
}

void BasicTaskScheduler::deleteEventTrigger(EventTriggerId id)
{
    fTriggersAllocated.fetch_and(~id);
    fTriggersPending.fetch_and(~id);
    for (int i = 0; i < MAX_NUM_EVENT_TRIGGERS; i++) {
        if (id & (1u << i)) {
            fTriggerProcs[i] = nullptr;
            fTriggerData[i].store(nullptr);
        }
    }
}

void BasicTaskScheduler::triggerEvent(EventTriggerId id, void *clientData)
{
    id &= fTriggersAllocated.load();
    if (id == 0)
        return;
    for (int i = 0; i < MAX_NUM_EVENT_TRIGGERS; i++)
        if (id & (1u << i))
            fTriggerData[i].store(clientData);
    uint32_t before = fTriggersPending.fetch_or(id);
    if ((before & id) == id)
        return;   // already pending: the loop has not run it yet and will see the new data
    uint64_t one = 1;
    ssize_t r = write(fEventFd, &one, sizeof one);
    (void)r;      // EAGAIN means the counter is already nonzero: the loop wakes anyway
}

void BasicTaskScheduler::SingleStep(unsigned maxDelayTime)
{
    int64_t now = rtsp_monotonic_us();
    int64_t timeout_us = fGranularity;
    if (maxDelayTime > 0 && maxDelayTime < timeout_us)
        timeout_us = maxDelayTime;
    if (!fTasks.empty()) {
        int64_t until = fTasks.begin()->first.first - now;
        if (until < timeout_us)
            timeout_us = until < 0 ? 0 : until;
    }
    if (fTriggersPending.load() != 0)
        timeout_us = 0;
    int timeout_ms = (int)((timeout_us + 999) / 1000);

    struct epoll_event events[64];
    int n = epoll_wait(fEpollFd, events, 64, timeout_ms);
    if (n < 0 && errno != EINTR)
        log_error("rtsp scheduler: epoll_wait: %s\n", strerror(errno));
    for (int i = 0; i < n; i++) {
        if (events[i].data.u64 == EVENTFD_TAG) {
            uint64_t count;
            ssize_t r = read(fEventFd, &count, sizeof count);
            (void)r;
            continue;
        }
        int fd = (int)(uint32_t)events[i].data.u64;
        uint64_t gen = events[i].data.u64 >> 32;
        auto it = fHandlers.find(fd);
        if (it == fHandlers.end() || it->second.generation != gen)
            continue;   // removed or replaced by an earlier handler of this pass
        int mask = 0;
        uint32_t ev = events[i].events;
        if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
            mask |= SOCKET_READABLE;
        if (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))
            mask |= SOCKET_WRITABLE;
        if (ev & (EPOLLPRI | EPOLLERR))
            mask |= SOCKET_EXCEPTION;
        mask &= it->second.conditionSet | SOCKET_EXCEPTION;
        if (mask == 0)
            mask = it->second.conditionSet & SOCKET_READABLE ? SOCKET_READABLE : it->second.conditionSet;
        Handler h = it->second;
        h.proc(h.clientData, mask);
    }

    uint32_t pending = fTriggersPending.exchange(0);
    pending &= fTriggersAllocated.load();
    for (int i = 0; pending && i < MAX_NUM_EVENT_TRIGGERS; i++) {
        uint32_t bit = 1u << i;
        if (!(pending & bit))
            continue;
        pending &= ~bit;
        TaskFunc *proc = fTriggerProcs[i];
        if (proc && (fTriggersAllocated.load() & bit))
            proc(fTriggerData[i].load());
    }

    // Tasks added during this pass wait for the next one, so a task that reschedules itself at
    // 0 µs cannot starve the sockets.
    uint64_t firstNewId = fNextTaskId;
    now = rtsp_monotonic_us();
    while (!fTasks.empty()) {
        auto it = fTasks.begin();
        if (it->first.first > now || it->first.second >= firstNewId)
            break;
        Task t = it->second;
        fTaskDue.erase(it->first.second);
        fTasks.erase(it);
        t.proc(t.clientData);
    }
}

void BasicTaskScheduler::doEventLoop(volatile uint8_t *watchVariable)
{
    while (watchVariable == nullptr || *watchVariable == 0)
        SingleStep();
}

void BasicTaskScheduler::doEventLoop(const std::atomic<uint8_t> *watchVariable)
{
    while (watchVariable == nullptr || watchVariable->load(std::memory_order_acquire) == 0)
        SingleStep();
}

void UsageEnvironment::setResultMsg(const char *msg) { fResultMsg = msg ? msg : ""; }

void UsageEnvironment::setResultMsg(const char *msg1, const char *msg2)
{
    setResultMsg(msg1);
    appendToResultMsg(msg2);
}

void UsageEnvironment::setResultMsg(const char *msg1, const char *msg2, const char *msg3)
{
    setResultMsg(msg1, msg2);
    appendToResultMsg(msg3);
}

void UsageEnvironment::setResultErrMsg(const char *msg, int err)
{
    if (err == 0)
        err = errno;
    setResultMsg(msg, strerror(err));
}

void UsageEnvironment::appendToResultMsg(const char *msg)
{
    if (msg)
        fResultMsg += msg;
}

BasicUsageEnvironment *BasicUsageEnvironment::createNew(TaskScheduler &scheduler)
{
    return new BasicUsageEnvironment(scheduler);
}

BasicUsageEnvironment::~BasicUsageEnvironment()
{
    if (!fLine.empty())
        log_printf("%s\n", fLine.c_str());
}

UsageEnvironment &BasicUsageEnvironment::operator<<(const char *str)
{
    if (!str)
        str = "(null)";
    for (const char *p = str; *p; p++) {
        if (*p == '\n') {
            log_printf("%s\n", fLine.c_str());
            fLine.clear();
        } else if (fLine.size() < LOG_LINE_MAX) {
            fLine += *p;
        }
    }
    return *this;
}

UsageEnvironment &BasicUsageEnvironment::operator<<(int i)
{
    char b[16];
    snprintf(b, sizeof b, "%d", i);
    return *this << b;
}

UsageEnvironment &BasicUsageEnvironment::operator<<(unsigned u)
{
    char b[16];
    snprintf(b, sizeof b, "%u", u);
    return *this << b;
}

UsageEnvironment &BasicUsageEnvironment::operator<<(double d)
{
    char b[32];
    snprintf(b, sizeof b, "%f", d);
    return *this << b;
}

UsageEnvironment &BasicUsageEnvironment::operator<<(void *p)
{
    char b[24];
    snprintf(b, sizeof b, "%p", p);
    return *this << b;
}
