// iceoryx as a contender of the frames comparison (frames_contenders.h). The
// server process starts the daemon (iox-roudi) with a memory pool sized for
// the measurement's frames, waits for it, subscribes, and stops the daemon
// when the client is done; the client publishes loaned chunks. Publisher and
// subscriber block rather than drop (WAIT_FOR_CONSUMER, BLOCK_PRODUCER), and
// the subscriber sleeps in a wait set, as an application would.
#include "frames_contenders.h"

#ifdef VYRE_HAVE_ICEORYX

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

// The binding's functions have C linkage; its headers leave declaring that to
// a C++ includer.
extern "C" {
#include "iceoryx_binding_c/enums.h"
#include "iceoryx_binding_c/log.h"
#include "iceoryx_binding_c/publisher.h"
#include "iceoryx_binding_c/runtime.h"
#include "iceoryx_binding_c/subscriber.h"
#include "iceoryx_binding_c/wait_set.h"
}

extern char **environ;

namespace compare {

const bool kFramesIceoryxBuilt = true;

namespace {

constexpr uint32_t kQueue = 4;      // the subscriber's queue
constexpr uint32_t kAckBytes = 256; // the answers' pool

// The daemon of one measurement, stopped with it. The processes of a
// measurement end with _exit, so they never deregister from the daemon, and
// a daemon stopped with SIGTERM would signal them and wait for them: it is
// stopped with SIGKILL instead, and the names it and the runtimes made (its
// shared memory, the IPC sockets and their locks under /tmp) are removed
// here, so a run leaves nothing behind.
class Daemon {
public:
    Daemon(const std::string &dir, uint32_t frameBytes) {
        const std::string config = dir + "/roudi.toml";
        if (FILE *f = std::fopen(config.c_str(), "w")) {
            // A chunk is the payload and iceoryx's header, within 1 KiB; the
            // pool holds as many as the library's (in flight, queued and
            // loaned).
            std::fprintf(f,
                         "[general]\nversion = 1\n\n[[segment]]\n\n[[segment.mempool]]\nsize = %u\ncount = %u\n\n"
                         "[[segment.mempool]]\nsize = %u\ncount = %u\n",
                         kAckBytes, FramesInFlight(frameBytes) * 4U, (frameBytes + 1024U + 7U) & ~7U,
                         FramesInFlight(frameBytes));
            std::fclose(f);
        }
        const char *argv[] = {"iox-roudi", "-c", config.c_str(), "-m", "off", "-l", "off", nullptr};
        // Its start-up lines would land among the table's.
        posix_spawn_file_actions_t quiet;
        (void)posix_spawn_file_actions_init(&quiet);
        (void)posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        (void)posix_spawn_file_actions_adddup2(&quiet, STDOUT_FILENO, STDERR_FILENO);
        if (posix_spawnp(&pid_, "iox-roudi", &quiet, nullptr, const_cast<char **>(argv), environ) != 0) {
            pid_ = -1;
        }
        (void)posix_spawn_file_actions_destroy(&quiet);
    }
    ~Daemon() {
        if (pid_ <= 0) {
            return;
        }
        (void)kill(pid_, SIGKILL);
        (void)waitpid(pid_, nullptr, 0);
        const passwd *user = getpwuid(geteuid());
        (void)shm_unlink("/iceoryx_mgmt");
        if (user != nullptr) {
            (void)shm_unlink((std::string("/") + user->pw_name).c_str());
        }
        for (const char *name : {"roudi", "xsrv", "xcli"}) {
            (void)unlink((std::string("/tmp/") + name).c_str());
            (void)unlink((std::string("/tmp/") + name + ".lock").c_str());
        }
        (void)unlink("/tmp/iox-unique-roudi.lock");
    }
    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

iox_pub_t Publisher(iox_pub_storage_t *storage, const char *event) {
    iox_pub_options_t options;
    iox_pub_options_init(&options);
    options.historyCapacity = 0;
    options.subscriberTooSlowPolicy = ConsumerTooSlowPolicy_WAIT_FOR_CONSUMER;
    return iox_pub_init(storage, "vyre", "frames", event, &options);
}

iox_sub_t Subscriber(iox_sub_storage_t *storage, const char *event) {
    iox_sub_options_t options;
    iox_sub_options_init(&options);
    options.queueCapacity = kQueue;
    options.historyRequest = 0;
    options.queueFullPolicy = QueueFullPolicy_BLOCK_PRODUCER;
    return iox_sub_init(storage, "vyre", "frames", event, &options);
}

// Waits until pred holds, at most ten seconds.
template <typename Pred> bool AwaitTrue(Pred pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The next chunk of sub, sleeping in ws while there is none.
const void *Take(iox_sub_t sub, iox_ws_t ws) {
    const void *chunk = nullptr;
    while (iox_sub_take_chunk(sub, &chunk) != ChunkReceiveResult_SUCCESS) {
        iox_notification_info_t events[1];
        uint64_t missed = 0;
        (void)iox_ws_wait(ws, events, 1, &missed);
    }
    return chunk;
}

void *Loan(iox_pub_t pub, uint32_t size) {
    void *chunk = nullptr;
    while (iox_pub_loan_chunk(pub, &chunk, size) != AllocationResult_SUCCESS) {
        std::this_thread::yield();
    }
    return chunk;
}

// The server's side: daemon, runtime and subscriber for event, served by
// body(sub, ws) once ready has been called.
template <typename Body>
bool Serve(const std::string &dir, uint32_t size, const Hook &ready, const char *event, Body body) {
    Daemon daemon(dir, size);
    if (!daemon.started()) {
        return false;
    }
    iox_set_loglevel(Iceoryx_LogLevel_Error);
    iox_runtime_init("xsrv");
    iox_sub_storage_t subStorage;
    iox_sub_t sub = Subscriber(&subStorage, event);
    iox_ws_storage_t wsStorage;
    iox_ws_t ws = iox_ws_init(&wsStorage);
    bool ok = iox_ws_attach_subscriber_state(ws, sub, SubscriberState_HAS_DATA, 0, nullptr) == WaitSetResult_SUCCESS &&
              ready() && body(sub, ws);
    iox_ws_deinit(ws);
    iox_sub_deinit(sub);
    iox_runtime_shutdown();
    return ok;
}

bool ServeOneWay(const OneWayCase &c, const std::string &dir, const Hook &ready, const Hook &finish, Tally &tally) {
    return Serve(dir, c.size, ready, "frame", [&](iox_sub_t sub, iox_ws_t ws) {
        for (uint64_t i = 0; i < c.perProducer; ++i) {
            const void *chunk = Take(sub, ws);
            tally.Take(chunk, c.size);
            iox_sub_release_chunk(sub, chunk);
        }
        return finish();
    });
}

bool SendOneWay(const OneWayCase &c, const std::string &, const Hook &begin, const Hook &finish) {
    iox_set_loglevel(Iceoryx_LogLevel_Error);
    iox_runtime_init("xcli");
    iox_pub_storage_t storage;
    iox_pub_t pub = Publisher(&storage, "frame");
    bool ok = AwaitTrue([&] { return iox_pub_has_subscribers(pub); }) && begin();
    for (uint64_t seq = 0; ok && seq < c.perProducer; ++seq) {
        void *chunk = Loan(pub, c.size);
        StampFrame(static_cast<char *>(chunk), c, seq);
        iox_pub_publish_chunk(pub, chunk);
    }
    ok = ok && finish();
    iox_pub_deinit(pub);
    iox_runtime_shutdown();
    return ok;
}

bool ServeEcho(uint32_t size, uint32_t trips, const std::string &dir, const Hook &ready, const Hook &finish) {
    return Serve(dir, size, ready, "frame", [&](iox_sub_t sub, iox_ws_t ws) {
        iox_pub_storage_t storage;
        iox_pub_t ack = Publisher(&storage, "ack");
        bool ok = true;
        for (uint32_t i = 0; ok && i < trips; ++i) {
            const void *chunk = Take(sub, ws);
            ok = AwaitTrue([&] { return iox_pub_has_subscribers(ack); });
            void *answer = Loan(ack, sizeof(uint64_t));
            std::memcpy(answer, chunk, sizeof(uint64_t));
            iox_sub_release_chunk(sub, chunk);
            iox_pub_publish_chunk(ack, answer);
        }
        ok = ok && finish();
        iox_pub_deinit(ack);
        return ok;
    });
}

bool CallEcho(uint32_t size, uint32_t warmup, uint32_t count, const std::string &, const Hook &finish,
              std::vector<double> &samplesUs) {
    iox_set_loglevel(Iceoryx_LogLevel_Error);
    iox_runtime_init("xcli");
    iox_pub_storage_t pubStorage;
    iox_pub_t pub = Publisher(&pubStorage, "frame");
    iox_sub_storage_t subStorage;
    iox_sub_t ack = Subscriber(&subStorage, "ack");
    iox_ws_storage_t wsStorage;
    iox_ws_t ws = iox_ws_init(&wsStorage);
    uint64_t seq = 0;
    bool ok = iox_ws_attach_subscriber_state(ws, ack, SubscriberState_HAS_DATA, 0, nullptr) == WaitSetResult_SUCCESS &&
              AwaitTrue([&] { return iox_pub_has_subscribers(pub); }) &&
              DriveRoundTrips(
                  warmup, count,
                  [&] {
                      void *chunk = Loan(pub, size);
                      StampPayload(static_cast<char *>(chunk), 0, ++seq);
                      uint64_t expected = 0;
                      std::memcpy(&expected, chunk, sizeof(expected));
                      iox_pub_publish_chunk(pub, chunk);
                      const void *answer = Take(ack, ws);
                      bool same = std::memcmp(answer, &expected, sizeof(expected)) == 0;
                      iox_sub_release_chunk(ack, answer);
                      return same;
                  },
                  samplesUs) &&
              finish();
    iox_ws_deinit(ws);
    iox_sub_deinit(ack);
    iox_pub_deinit(pub);
    iox_runtime_shutdown();
    return ok;
}

} // namespace

const IpcContender kFramesIceoryx = {"iceoryx (loans)", ServeOneWay, SendOneWay, ServeEcho, CallEcho};

} // namespace compare

#else

namespace compare {

const bool kFramesIceoryxBuilt = false;
const IpcContender kFramesIceoryx = {"iceoryx (loans)", nullptr, nullptr, nullptr, nullptr};

} // namespace compare

#endif
