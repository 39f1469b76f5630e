// Event loop, scheduler and environment of the RTSP/RTP library. One scheduler belongs to one
// thread; only triggerEvent() may be called from other threads.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <sys/time.h>

typedef void TaskFunc(void *clientData);
typedef void *TaskToken;
typedef uint32_t EventTriggerId;                 // one bit per trigger, 0 = none
typedef void BackgroundHandlerProc(void *clientData, int mask);

enum { SOCKET_READABLE = 1, SOCKET_WRITABLE = 2, SOCKET_EXCEPTION = 4 };
enum { MAX_NUM_EVENT_TRIGGERS = 32 };

class TaskScheduler {
public:
    virtual ~TaskScheduler() {}
    // Runs proc after the delay; the token may be passed to unscheduleDelayedTask.
    virtual TaskToken scheduleDelayedTask(int64_t microseconds, TaskFunc *proc, void *clientData) = 0;
    virtual void unscheduleDelayedTask(TaskToken &prevTask) = 0;   // clears the token
    virtual void rescheduleDelayedTask(TaskToken &task, int64_t microseconds, TaskFunc *proc, void *clientData);

    // conditionSet 0 removes the handler.
    virtual void setBackgroundHandling(int socketNum, int conditionSet, BackgroundHandlerProc *proc, void *clientData) = 0;
    void disableBackgroundHandling(int socketNum) { setBackgroundHandling(socketNum, 0, nullptr, nullptr); }
    void turnOnBackgroundReadHandling(int socketNum, BackgroundHandlerProc *proc, void *clientData) {
        setBackgroundHandling(socketNum, SOCKET_READABLE, proc, clientData);
    }
    void turnOffBackgroundReadHandling(int socketNum) { disableBackgroundHandling(socketNum); }

    virtual EventTriggerId createEventTrigger(TaskFunc *eventHandlerProc) = 0;
    virtual void deleteEventTrigger(EventTriggerId eventTriggerId) = 0;
    // Thread-safe. Firings that arrive before the handler runs merge into one run, which gets the
    // clientData of the latest firing.
    virtual void triggerEvent(EventTriggerId eventTriggerId, void *clientData = nullptr) = 0;

    // Runs until *watchVariable is nonzero (forever when null). May be called from inside a
    // handler (nested loop); the watch variable is looked at after every pass.
    virtual void doEventLoop(volatile uint8_t *watchVariable = nullptr) = 0;
    void doEventLoop(volatile char *watchVariable) { doEventLoop(reinterpret_cast<volatile uint8_t *>(watchVariable)); }
    // The same with a watch variable that other threads set. Setting it wakes nothing: the
    // loop sees it within the scheduler's granularity, which is why an idle loop still wakes.
    virtual void doEventLoop(const std::atomic<uint8_t> *watchVariable) = 0;

protected:
    TaskScheduler() {}
};

class BasicTaskScheduler : public TaskScheduler {
public:
    // maxSchedulerGranularity bounds the time between two looks at the watch variable (µs).
    static BasicTaskScheduler *createNew(unsigned maxSchedulerGranularity = 10000);
    ~BasicTaskScheduler() override;

    TaskToken scheduleDelayedTask(int64_t microseconds, TaskFunc *proc, void *clientData) override;
    void unscheduleDelayedTask(TaskToken &prevTask) override;
    void setBackgroundHandling(int socketNum, int conditionSet, BackgroundHandlerProc *proc, void *clientData) override;
    EventTriggerId createEventTrigger(TaskFunc *eventHandlerProc) override;
    void deleteEventTrigger(EventTriggerId eventTriggerId) override;
    void triggerEvent(EventTriggerId eventTriggerId, void *clientData = nullptr) override;
    void doEventLoop(volatile uint8_t *watchVariable = nullptr) override;
    void doEventLoop(const std::atomic<uint8_t> *watchVariable) override;
    using TaskScheduler::doEventLoop;

    // One pass: wait for sockets (at most maxDelayTime µs, bounded by the granularity), then run
    // socket handlers, fired triggers and due tasks.
    void SingleStep(unsigned maxDelayTime = 0);

private:
    BasicTaskScheduler(unsigned granularity, int epollFd, int eventFd);
    struct Handler {
        int conditionSet;
        BackgroundHandlerProc *proc;
        void *clientData;
        uint64_t generation;
    };
    struct Task {
        TaskFunc *proc;
        void *clientData;
    };
    unsigned fGranularity;
    int fEpollFd;
    int fEventFd;
    uint64_t fNextTaskId = 1;
    uint64_t fNextGeneration = 1;
    std::map<std::pair<int64_t, uint64_t>, Task> fTasks;    // (due µs, id) -> task
    std::unordered_map<uint64_t, int64_t> fTaskDue;          // id -> due µs
    std::unordered_map<int, Handler> fHandlers;
    TaskFunc *fTriggerProcs[MAX_NUM_EVENT_TRIGGERS] = {};
    std::atomic<void *> fTriggerData[MAX_NUM_EVENT_TRIGGERS] = {};
    std::atomic<uint32_t> fTriggersPending{0};
    std::atomic<uint32_t> fTriggersAllocated{0};
};

class UsageEnvironment {
public:
    virtual ~UsageEnvironment() {}
    TaskScheduler &taskScheduler() const { return fScheduler; }

    // The text of the last failure, for messages like "Failed to create RTSP server: ...".
    const char *getResultMsg() const { return fResultMsg.c_str(); }
    void setResultMsg(const char *msg);
    void setResultMsg(const char *msg1, const char *msg2);
    void setResultMsg(const char *msg1, const char *msg2, const char *msg3);
    void setResultErrMsg(const char *msg, int err = 0);   // appends strerror(err or errno)
    void appendToResultMsg(const char *msg);

    // Output collects text and logs it line by line.
    virtual UsageEnvironment &operator<<(const char *str) = 0;
    virtual UsageEnvironment &operator<<(int i) = 0;
    virtual UsageEnvironment &operator<<(unsigned u) = 0;
    virtual UsageEnvironment &operator<<(double d) = 0;
    virtual UsageEnvironment &operator<<(void *p) = 0;

    // Deletes the environment; the scheduler stays with its creator.
    void reclaim() { delete this; }

protected:
    explicit UsageEnvironment(TaskScheduler &scheduler) : fScheduler(scheduler) {}

private:
    TaskScheduler &fScheduler;
    std::string fResultMsg;
};

class BasicUsageEnvironment : public UsageEnvironment {
public:
    static BasicUsageEnvironment *createNew(TaskScheduler &scheduler);
    ~BasicUsageEnvironment() override;
    UsageEnvironment &operator<<(const char *str) override;
    UsageEnvironment &operator<<(int i) override;
    UsageEnvironment &operator<<(unsigned u) override;
    UsageEnvironment &operator<<(double d) override;
    UsageEnvironment &operator<<(void *p) override;

private:
    explicit BasicUsageEnvironment(TaskScheduler &scheduler) : UsageEnvironment(scheduler) {}
    std::string fLine;
};

// Microseconds of the monotonic clock.
int64_t rtsp_monotonic_us();
