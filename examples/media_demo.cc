/*
 * media_demo: a small media process built on libvyre_os_msg, and the first
 * program to run (`make demo`).
 *
 * The process "media_demo" has five tasks, each a named queue with a callback
 * that runs on a thread of its own:
 *   capture  makes video frames and sends them, asynchronously, to the encoder;
 *   encoder  checks and packs each frame and forwards the packet to the writer,
 *            answers status calls and follows volume changes;
 *   writer   checks and stores each packet; one flush to disk is slow on purpose;
 *   control  runs the scenario: drives capture, calls the encoder synchronously
 *            with a time-out, broadcasts a volume change, and stops the process;
 *   ui       shows volume changes.
 * The process talks to no other, so it joins with the loopback selected
 * (OsMsgInitWithOptions). The main thread sets everything up, waits in
 * OsMsgMain until control stops
 * the server, then tears the library down and reports what is left. This file
 * holds the scenario (the control task) and main; media_tasks.cc the other
 * tasks; media_report.cc the reports.
 *
 * Every step checks its result, and the program exits with 1 when one is not
 * what the scenario expects (a full queue must refuse with OS_MSG_ERR_FULL,
 * the busy encoder's call must time out, each subscriber must see the event
 * once, and so on), so it doubles as an end-to-end test. Steps that depend on
 * one another are sequenced with counters the threads wait on, not sleeps;
 * the writer's slow flush is the one sleep, and its length is the point.
 *
 * Thread safety: see media_demo.h. The control task's steps run on its own
 * thread; main runs on the main thread.
 */
#include <thread>
#include <vector>

#include "media_demo.h"
#include "vyre_os_mem.h"

namespace media {

DemoState g;

namespace {

bool SubscribeStep() {
    ExpectSent(Send("encoder", MSG_SUBSCRIBE), "control", "SUBSCRIBE");
    ExpectSent(Send("ui", MSG_SUBSCRIBE), "control", "SUBSCRIBE");
    return g.checks.Expect(g.subscribed.WaitFor(2), "control: encoder and ui subscribed");
}

bool PipelineStep() {
    CaptureCmd cmd{1, kFirstBatch, 0};
    ExpectSent(Send("capture", MSG_CAPTURE, &cmd, sizeof(cmd)), "control", "CAPTURE");
    return g.checks.Expect(g.framesWritten.WaitFor(kFirstBatch), "control: writer stored frames 1-%u", kFirstBatch);
}

bool VolumeStep() {
    VolumeEvent event{kVolume};
    MsgBroEntry entry = demo::OwnEvent(EV_VOLUME_CHANGED, &event, sizeof(event));
    // Encoder and ui sent their subscriptions before they counted themselves
    // in, and the broadcast task applies requests in the order they came, so
    // both subscriptions are in place for this event.
    g.timeline.Add("control", "broadcasts VOLUME_CHANGED (volume %u)", kVolume);
    uint32_t result = OsMsgBroadcastEvent(&entry, 1);
    g.checks.Expect(result == OS_MSG_OK, "control: broadcast: %s", CodeName(result).c_str());
    return g.checks.Expect(g.volumeSeen.WaitFor(2), "control: both subscribers got VOLUME_CHANGED");
}

uint32_t CallEncoderStatus(MsgHead **response, uint32_t timeoutMs) {
    MsgHead request = MakeHead("encoder", MSG_GET_STATUS, nullptr, 0);
    *response = nullptr; // the library writes it only on success
    return OsMsgSynSend(&request, response, timeoutMs);
}

bool StatusCallStep() {
    g.timeline.Add("control", "calls encoder synchronously: GET_STATUS, time-out %u ms", kStatusTimeoutMs);
    MsgHead *response = nullptr;
    uint32_t result = CallEncoderStatus(&response, kStatusTimeoutMs);
    if (!g.checks.Expect(result == OS_MSG_OK && response != nullptr, "control: GET_STATUS: %s",
                         CodeName(result).c_str())) {
        return false;
    }
    EncoderStatus status{0, 0};
    bool sized = ReadPayload(response, &status);
    // Only this thread, which made the call, may give the response back.
    uint32_t freed = OsMsgSynRespFree(response);
    g.timeline.Add("control", "answer: %u frames encoded, volume %u (%s); response freed: %s", status.framesEncoded,
                   status.volume, CodeName(result).c_str(), CodeName(freed).c_str());
    g.checks.Expect(sized && status.framesEncoded == kFirstBatch && status.volume == kVolume,
                    "control: status says %u frames and volume %u, expected %u and %u", status.framesEncoded,
                    status.volume, kFirstBatch, kVolume);
    return g.checks.Expect(freed == OS_MSG_OK, "control: OsMsgSynRespFree: %s", CodeName(freed).c_str());
}

/* The encoder is kept busy while control calls it: the call times out, and
 * the answer the encoder gives afterwards is refused. */
bool TimeOutStep() {
    g.timeline.Add("control", "asks encoder to retune (asynchronous)");
    ExpectSent(Send("encoder", MSG_RETUNE), "control", "RETUNE");
    if (!g.checks.Expect(g.encoderBusy.WaitFor(1), "control: encoder started its retune")) {
        return false;
    }
    g.timeline.Add("control", "calls encoder synchronously: GET_STATUS, time-out %u ms", kBusyCallTimeoutMs);
    MsgHead *response = nullptr;
    Clock::time_point start = Clock::now();
    uint32_t result = CallEncoderStatus(&response, kBusyCallTimeoutMs);
    long ms = MsSince(start);
    g.timeline.Add("control", "no answer: %s after %ld ms; lets the encoder finish", CodeName(result).c_str(), ms);
    g.checks.Expect(result == OS_MSG_ERR_TIMEOUT || result == OS_MSG_ERR_SYN_TIMEOUT,
                    "control: the call to the busy encoder times out, got %s", CodeName(result).c_str());
    g.checks.Expect(response == nullptr, "control: a timed-out call hands out no response");
    const long timeoutMs = kBusyCallTimeoutMs;
    g.checks.Expect(ms + 1 >= timeoutMs && ms < timeoutMs + 2000, "control: the call waited %ld ms", ms);
    g.retuneGate.Add();
    if (!g.checks.Expect(g.statusAnswers.WaitFor(2), "control: the encoder answered the abandoned call")) {
        return false;
    }
    uint32_t late = g.lastAnswerResult.load();
    return g.checks.Expect(late == OS_MSG_ERR_RESP_STATE, "control: the late answer is refused with %s, got %s",
                           CodeName(OS_MSG_ERR_RESP_STATE).c_str(), CodeName(late).c_str());
}

/* Frame 5 sends the writer into its slow flush; while it is stuck, 6 more
 * frames come, of which its queue takes 4. */
bool SlowWriterStep() {
    CaptureCmd flush{kFirstBatch + 1, 1, kFlagFlush};
    ExpectSent(Send("capture", MSG_CAPTURE, &flush, sizeof(flush)), "control", "CAPTURE");
    if (!g.checks.Expect(g.writerStalled.WaitFor(1), "control: the writer started its flush")) {
        return false;
    }
    g.timeline.Add("control", "writer is stuck; asks capture for %u more frames (writer queue holds %u)", kBurst,
                   kWriterQueueLen);
    CaptureCmd burst{kFirstBatch + 2, kBurst, 0};
    ExpectSent(Send("capture", MSG_CAPTURE, &burst, sizeof(burst)), "control", "CAPTURE");
    return g.checks.Expect(g.encodedBatches.WaitFor(kBatches), "control: the encoder handled the burst");
}

void PrintDiagnostics() {
    std::printf("\nTimeline (ms since OsMsgInit)\n");
    g.timeline.Print(stdout);
    std::printf("\nQueue dump (SimpleMsgDump)\n");
    std::string dump = CaptureOutput(SimpleMsgDump);
    std::fputs(dump.c_str(), stdout);
    CheckSlowRecords(dump);
    std::printf("\nLocal services (MsgDumpLocalRefNames)\n");
    std::string services = CaptureOutput(MsgDumpLocalRefNames);
    std::fputs(services.c_str(), stdout);
    g.checks.Expect(services.find("\ncamera.capture\n") != std::string::npos &&
                        services.find("\naudio.mixer\n") != std::string::npos,
                    "service listing names both services");
    std::fflush(stdout);
}

/* Prints what happened and stops the server, which wakes OsMsgMain. */
void Finish() {
    if (g.finished.exchange(true)) {
        return;
    }
    PrintDiagnostics();
    g.destroyResult.store(OsMsgDestroy(kProcName));
    g.destroyed.Add();
}

void RunScenario() {
    bool ok =
        SubscribeStep() && PipelineStep() && VolumeStep() && StatusCallStep() && TimeOutStep() && SlowWriterStep();
    if (!ok) {
        Finish();
    }
    // Otherwise the writer's FLUSH_DONE brings the end.
}

// ---------------------------------------------------------------- main

struct TaskSpec {
    const char *name;
    uint32_t queueLen;
    OsMsgTaskFunc func;
};
const TaskSpec kTasks[] = {
    {"capture", 8, CaptureTask},
    {"encoder", 16, EncoderTask},
    {"writer", kWriterQueueLen, WriterTask},
    {"control", 8, ControlTask},
    {"ui", 8, UiTask},
};
constexpr size_t kTaskCount = sizeof(kTasks) / sizeof(kTasks[0]);

/* Registers every task and starts its thread; each thread returns from
 * OsMsgTaskRoutineByName when the task is removed at OsMsgUninit. */
bool StartTasks(std::vector<std::thread> *threads, uint32_t *routineResults) {
    for (size_t i = 0; i < kTaskCount; ++i) {
        uint32_t result = OsMsgRegTask(kTasks[i].name, kTasks[i].queueLen, kTasks[i].func);
        if (!g.checks.Expect(result == OS_MSG_OK, "main: OsMsgRegTask(%s): %s", kTasks[i].name,
                             CodeName(result).c_str())) {
            return false;
        }
        const char *name = kTasks[i].name;
        uint32_t *out = &routineResults[i];
        threads->emplace_back([name, out] { *out = OsMsgTaskRoutineByName(name); });
    }
    g.timeline.Add("main", "registered tasks capture, encoder, writer (queue of %u), control, ui; one thread each",
                   kWriterQueueLen);
    return true;
}

void RegisterServices() {
    const struct {
        const char *name;
        uint64_t binder; // the service object's handle; opaque to the library
    } services[] = {{"camera.capture", 0xCA0001}, {"audio.mixer", 0xA0D10}};
    for (const auto &service : services) {
        uint32_t result = MsgAddLocalService(service.name, service.binder);
        g.checks.Expect(result == OS_MSG_OK && MsgGetLocalService(service.name) == service.binder,
                        "main: service %s registered and found: %s", service.name, CodeName(result).c_str());
    }
    g.timeline.Add("main", "registered local services camera.capture and audio.mixer");
}

void Shutdown(std::vector<std::thread> *threads, const uint32_t *routineResults) {
    uint32_t mainResult = OsMsgMain();
    g.checks.Expect(g.destroyed.WaitFor(1), "main: control stopped the server");
    std::printf("\nShutdown\n");
    std::printf("  control  OsMsgDestroy(\"%s\") = %s\n", kProcName, CodeName(g.destroyResult.load()).c_str());
    // OS_MSG_ERR_SERVER_NOT_RUNNING would mean the server quit before this
    // thread reached OsMsgMain; both say the server is gone.
    std::printf("  main     OsMsgMain returned %s\n", CodeName(mainResult).c_str());
    g.checks.Expect(g.destroyResult.load() == OS_MSG_OK, "control: OsMsgDestroy");
    g.checks.Expect(mainResult == OS_MSG_OK || mainResult == OS_MSG_ERR_SERVER_NOT_RUNNING, "main: OsMsgMain: %s",
                    CodeName(mainResult).c_str());
    uint32_t uninit = OsMsgUninit();
    std::printf("  main     OsMsgUninit() = %s\n", CodeName(uninit).c_str());
    g.checks.Expect(uninit == OS_MSG_OK, "main: OsMsgUninit");
    uint32_t ended = 0;
    for (size_t i = 0; i < threads->size(); ++i) {
        (*threads)[i].join();
        ended += routineResults[i] == OS_MSG_OK ? 1U : 0U;
    }
    std::printf("  main     %u of %zu task threads left their loops with OS_MSG_OK\n", ended, threads->size());
    g.checks.Expect(ended == kTaskCount, "main: every task loop ended with OS_MSG_OK");
}

void CheckEvents() {
    uint32_t atEncoder = g.volumeEventsEncoder.load();
    uint32_t atUi = g.volumeEventsUi.load();
    g.checks.Expect(atEncoder == 1 && atUi == 1, "events: encoder got VOLUME_CHANGED %u times, ui %u (once each)",
                    atEncoder, atUi);
    g.checks.Expect(g.refusedFull.load() == kBurst - kWriterQueueLen,
                    "queue: %u forwards refused with OS_MSG_ERR_FULL, expected %u", g.refusedFull.load(),
                    kBurst - kWriterQueueLen);
}

int ReportChecks() {
    std::vector<std::string> failures = g.checks.Failures();
    for (const std::string &failure : failures) {
        std::printf("FAILED: %s\n", failure.c_str());
    }
    std::printf("\n%s: %zu of %u checks passed\n", failures.empty() ? "OK" : "FAILED",
                g.checks.Count() - failures.size(), g.checks.Count());
    return failures.empty() ? 0 : 1;
}

} // namespace

uint32_t ControlTask(MsgHead *msg) {
    if (msg->msgId == MSG_START) {
        RunScenario();
    } else if (msg->msgId == MSG_FLUSH_DONE) {
        g.checks.Expect(g.framesWritten.WaitFor(kFramesWritten), "control: writer stored %u frames", kFramesWritten);
        Finish();
    }
    return 0;
}

int Run(const char *logPath) {
    std::printf("media_demo: one process, five tasks, on libvyre_os_msg\n");
    std::fflush(stdout);
    uint64_t blocksBefore = OSMemGetUsedBlocks();
    g.timeline.Start();
    // One process that talks to no other: the loopback keeps it out of the
    // run directory the processes of the platform share.
    OsMsgOptions options = OS_MSG_OPTIONS_INIT;
    options.carrier = OS_MSG_CARRIER_LOOPBACK;
    uint32_t result = OsMsgInitWithOptions(kProcName, &options);
    if (result != OS_MSG_OK) {
        std::fprintf(stderr, "OsMsgInitWithOptions(\"%s\") failed: %s\n", kProcName, CodeName(result).c_str());
        return 1;
    }
    g.timeline.Add("main", "OsMsgInitWithOptions(\"%s\", loopback) = %s", kProcName, CodeName(result).c_str());
    RegisterServices();
    std::vector<std::thread> threads;
    uint32_t routineResults[kTaskCount] = {0};
    if (StartTasks(&threads, routineResults)) {
        ExpectSent(Send("control", MSG_START), "main", "START");
    } else {
        Finish();
    }
    Shutdown(&threads, routineResults);
    CheckEvents();
    ReportMemory(blocksBefore);
    ReportLibraryLog(logPath);
    return ReportChecks();
}

} // namespace media

int main(int argc, char **argv) {
    const char *logPath = nullptr;
    if (argc == 3 && std::strcmp(argv[1], "--log") == 0) {
        logPath = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--log FILE]\n", argv[0]);
        return 2;
    }
    if (!media::RouteLibraryLog(logPath)) {
        return 2;
    }
    return media::Run(logPath);
}
