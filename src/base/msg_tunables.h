/*
 * The tunables that only timing justifies: how long the library's threads
 * look for work before they sleep, how often they give the processor away,
 * how long a sender waits for room. Each says why it has its value and what
 * measurement backs it; the ones that must move together are defined from
 * one another. Everything else in the library is a contract (documented
 * bounds, sizes of formats) and lives with its code.
 *
 * The figures come from `make bench-compare` on a virtual machine of two
 * processors, where waking a thread on an idle processor can take 50 to
 * 100 us: the looks below are sized against that cost.
 */
#ifndef VYRE_MSG_TUNABLES_H
#define VYRE_MSG_TUNABLES_H

/* ---------------------------------------------------------------------------
 * Speculative waits (msg_cpu_relax.h)
 * ------------------------------------------------------------------------- */

/* A yield that took longer than this let another thread with work run, so
 * the processor is shared: the waiting thread then stops looking and sleeps,
 * since its turns would only delay the threads that have work (one of them
 * may be the thread it waits for). A yield that finds nobody else to run
 * returns within about a microsecond. Under load this cut the round trip
 * across processes by 10-15% at the median, and with everything on one
 * processor p99 from 52-67 us to 43 us. Nanoseconds. */
#define MSG_TUNE_YIELD_SHARED_NS 4000U

/* ---------------------------------------------------------------------------
 * Synchronous calls (simple_msg_sync.cc) and the carrier's receive loop
 * ------------------------------------------------------------------------- */

/* How long a requester looks for its answer before it sleeps on its
 * condition. An answer from a quick responder, in this process or across a
 * socket, arrives within tens of microseconds, and finding the requester
 * awake saves the responder a wake-up call and the requester the time it
 * takes to be scheduled again. The look lasts about as long as a sleep and
 * a wake-up can cost: a look much shorter is outlasted by the first slow
 * answer, after which every thread of the conversation sleeps and each
 * hand-over wakes an idle processor. Across processes the round trip
 * measured either about 20 us or 110-120 us with 30 us looks; with 100 us
 * looks about 20 us in 14 runs of 15. The looks give the processor away
 * between them and end when it is wanted, so they cost only time the
 * processor would idle. Nanoseconds. */
#define MSG_TUNE_CALL_LOOK_NS 100000

/* The carrier's receive loop looks for the next datagram this long after one
 * that held a lone synchronous request or answer: peers in conversation send
 * again within tens of microseconds, and a loop found awake spares the
 * datagram the wake-up of a sleeping thread. It is the requester's look, for
 * the same reason; the two move together. Nanoseconds. */
#define MSG_TUNE_RECV_LOOK_NS MSG_TUNE_CALL_LOOK_NS

/* The receive loop's look ends once this many yields in a row let another
 * thread run, not at the first, as other looks do. The datagram it just
 * handed over wakes a thread of its own process: the task that answers the
 * request, or the requester that takes the answer. With each process kept
 * on one processor, that thread runs on the loop's processor during the
 * loop's next yield or two; a look that ended there left the processor
 * idle, and the next datagram of the conversation had to wake it, which on
 * a virtual machine costs more than the rest of the hand-over. With the
 * look kept alive through those yields, the round trip across two
 * processes, each on its own processor, went from 0.5-0.65x ZeroMQ's to
 * about 0.2x (same runs); on one processor, where the yields let the other
 * process run as well, a third long yield in a row still ends the look.
 * The look starts with a yield rather than a look at the sockets, which
 * after a lone message are empty: on one processor that spared a system
 * call per hand-over and took the round trip from 0.36x to 0.33x. */
#define MSG_TUNE_RECV_LOOK_SHARED 3U

/* The requester's first looks are MSG_TUNE_CALL_BUSY_LOOKS looks of
 * MSG_TUNE_CALL_LOOK_PAUSES processor pauses each (a pause takes 10 to 140
 * cycles), about a microsecond together: when the responder shares the
 * processor, longer busy looks only keep it from answering. */
#define MSG_TUNE_CALL_BUSY_LOOKS 4U
#define MSG_TUNE_CALL_LOOK_PAUSES 8U

/* A responder tries the requester's response lock this many times in a
 * tight loop, then MSG_TUNE_RESP_LOCK_QUICK_TRIES times with a yield in
 * between, before its long pauses: a requester holds the lock only from
 * pushing its request until its wait starts, so an answer that comes that
 * quickly finds it free within a few hundred tries when the requester runs
 * on another processor, and after a yield when this thread preempted it. */
#define MSG_TUNE_RESP_LOCK_SPIN_TRIES 2000U
#define MSG_TUNE_RESP_LOCK_QUICK_TRIES 8U

/* ---------------------------------------------------------------------------
 * Waiting for room in a task's queue (simple_msg_room.cc)
 * ------------------------------------------------------------------------- */

/* Looks at a full queue, with a yield in between, before the waiting thread
 * sleeps until the task's loop wakes it: a busy loop usually frees a slot
 * within a few yields, which costs less than a sleep and a wake-up. */
#define MSG_TUNE_ROOM_YIELD_LOOKS 16U

/* ---------------------------------------------------------------------------
 * The Unix-socket carrier (src/transport/unix/)
 * ------------------------------------------------------------------------- */

/* How long an asynchronous send waits for room, for a message that has no
 * time-out of its own (a synchronous call, and a send whose caller chose a
 * time-out, wait at most that instead): for a task the peer reported full,
 * and for each datagram while the peer's socket takes nothing. A receiver
 * that is busy draining makes room within moments, and a sender that sleeps
 * meanwhile leaves it the processor instead of retrying; a receiver that
 * makes none in this time is not keeping up, and the sender learns it
 * (0x80020007) rather than stalling its caller. Documented in the README and
 * the header. Milliseconds. */
#define MSG_TUNE_SEND_ROOM_WAIT_MS 5U

/* How long an answer waits for room for each datagram at a requester whose
 * socket is full. Longer than an asynchronous send's wait: a requester's
 * receive thread reads its answers at once unless the machine is busy, and
 * an answer given up costs the requester its whole time-out. The responding
 * task waits meanwhile. Milliseconds. */
#define MSG_TUNE_SEND_ANSWER_WAIT_MS 200U

/* How long the notice that a message in slices is given up waits for room
 * before the sender shuts the connection down instead. Longer than the
 * message's own wait: the receiver of a full task stops reading until the
 * task makes room, and a connection shut down loses what that receiver had
 * not read yet, messages whose send had succeeded (one core, a task four
 * messages deep, frames of 4,194,136 bytes: most runs lost one
 * without this wait). The sender's caller waits meanwhile. Milliseconds. */
#define MSG_TUNE_SEND_ABORT_WAIT_MS 200U

/* A peer connection unused for this long is closed and its slot given back:
 * it costs a descriptor on each side and a slot, while connecting again
 * costs about 20 us once. The receive thread looks every half of it.
 * Milliseconds. */
#define MSG_TUNE_PEER_IDLE_MS 30000U

/* Sends to one peer closer together than this count as a stream and share
 * datagrams (the batch); a message after a longer pause goes alone, at once,
 * for the lowest latency. Nanoseconds. */
#define MSG_TUNE_BATCH_BURST_NS 20000ULL

/* Posts of frames (messages lending a shared buffer, read from shared
 * memory) that come closer together than this are a stream: the receive
 * loop then looks for the next one this long after each, so a stream that
 * it keeps up with costs no wake-up per frame. Frames further apart (a live
 * 60 fps source, or one rendering each frame in 100 us) wake it each time,
 * so it never spins between them. The sender's streaming threshold, for
 * the same reason. Nanoseconds. */
#define MSG_TUNE_RECV_POST_LOOK_NS MSG_TUNE_BATCH_BURST_NS

/* How often the batch sender gives the processor away, looking for a new
 * batch in between, before it sleeps: a streaming sender fills the next
 * batch within microseconds, and a batch sender found awake spares it the
 * wake-up call (and the context switches) on every batch; context switches
 * of a 64-byte stream roughly halved. Together the looks last some tens of
 * microseconds, once per stream; they end at once when a yield let another
 * thread run. */
#define MSG_TUNE_BATCH_IDLE_YIELDS 100

/* Descriptors that wait for tasks (queued, held back by the carrier, not
 * yet taken by a callback) may take this share of the process's soft
 * descriptor limit (a quarter), and at least MSG_TUNE_WAITING_FDS_MIN of
 * them: past it, tasks refuse messages with descriptors and the carrier
 * stops reading the connections that bring them, so that a slow task
 * cannot leave its process without descriptors. */
#define MSG_TUNE_WAITING_FDS_SHARE 4U
#define MSG_TUNE_WAITING_FDS_MIN 64U

/* Descriptors of other processes that wait for the carrier's closer thread
 * (ipc_fd_closer.h); past them, each stuck, the receive thread closes the
 * next ones itself. */
#define MSG_TUNE_CLOSER_FDS 1024U

/* How long the carrier's end waits for the closer to close what it was
 * handed. A close returns within microseconds unless it waits for something
 * outside the process (a lingering socket, a file whose server does not
 * answer, possibly for ever); past this the closer finishes on its own and
 * the process's teardown goes on. Milliseconds. */
#define MSG_TUNE_CLOSER_STOP_MS 1000U

/* Datagrams the receive loop reads from one connection before the others get
 * their turn, and readiness events it takes per wait. */
#define MSG_TUNE_RECV_BURST 32
#define MSG_TUNE_RECV_EVENTS 16

/* How long a connection whose datagram met a full task queue is not read,
 * unless the task reports room first: a stream into a queue that its task
 * works down soon then waits in the socket, which costs nothing, instead of
 * being taken out and held in a park, which cost a fifth to a half of a
 * 64-byte stream's rate. It is also the longest the connection's messages
 * for other tasks wait behind the full one, once per episode. The receive
 * loop's timer counts whole milliseconds. Milliseconds. */
#define MSG_TUNE_RECV_PAUSE_MS 1

/* A shared buffer that meets a full queue, from a peer that runs on none of
 * the receive thread's processors, is offered again after a yield once the
 * queue shows room, up to this many yields while each ran another thread:
 * with the sender elsewhere, that thread is one of this process's, usually
 * the task's loop working its queue down, and the second offer costs less
 * than pausing the link, being woken for room and watching the link again.
 * With the two processes on a processor each, a stream of frames into a
 * queue of four ran 25-45% faster at every size from 64 KiB to 16 MiB.
 * When the sender may run on the same processor, the yields hand it the
 * processor as well, and the same stream with every thread on one
 * processor ran about a third slower; the link then pauses at once. */
#define MSG_TUNE_RECV_ROOM_YIELDS 2U

/* The receiving process logs one line when a task's messages from a peer
 * pile up to the size at which the peer is told the task is full, and then
 * no more for that connection for this long. Milliseconds. */
#define MSG_TUNE_RECV_FULL_LOG_MS 10000U

/* How long the receive thread trusts what it found out about where a peer
 * runs (above) before it asks the kernel again. Milliseconds. */
#define MSG_TUNE_RECV_APART_CHECK_MS 1000U

/* How often the receive loop retries messages parked for a full task queue
 * when no room hook woke it: the hook comes when the queue drains to a quarter,
 * so this only serves a task that went away meanwhile (its messages are
 * dropped) and notices that found no room. Milliseconds. */
#define MSG_TUNE_RECV_PARK_RETRY_MS 32

/* How long the listening socket rests after accept failed for lack of
 * descriptors (or any other reason than an empty backlog), unless a
 * connection closes first: waking at once for the connections still waiting
 * would spin the receive loop. Milliseconds. */
#define MSG_TUNE_RECV_ACCEPT_PAUSE_MS 100

/* How long the messages of a sender that closed its connection are kept for
 * tasks that take none of them: a connection whose task queues are full
 * when its sender exits is still read to its end as the tasks make room,
 * so what the sender sent is delivered; a task that takes nothing for this
 * long (stuck, or never run) is not waited for, and the connection's
 * messages are dropped with one line, so that no memory or descriptor
 * stays with a sender that is gone. Milliseconds. */
#define MSG_TUNE_RECV_GONE_HOLD_MS 2000U

/* Datagrams from this size on are received straight into their payload
 * buffer when they hold one whole message, saving a copy that costs more
 * than the extra system call that peeks at the size. Bytes. */
#define MSG_TUNE_RECV_IN_PLACE_MIN (64U * 1024U)

/* Lines a connection's bad datagrams and posts get: a peer that keeps
 * sending what cannot be taken (a broken build, a program speaking another
 * protocol, a hostile one) is told of this many times and then once more
 * that further ones go without a line, so that it cannot flood the log. */
#define MSG_TUNE_RECV_BAD_LINES 16U

/* ---------------------------------------------------------------------------
 * Shared buffers (src/shared_buf/)
 * ------------------------------------------------------------------------- */

/* How long an allocation that waits for buffers waits for a batch of them
 * (a quarter of what a peer holds, sbuf_share.cc) before it takes the first
 * that comes back. A producer ahead of its consumer is then woken once per
 * batch rather than once per frame: with a pool of 24 frames and a
 * consumer whose queue holds 4 (the frames comparison, processes on
 * processors of their own), this took the stream from 82-89 k to 110-135 k
 * frames/s at every size from 64 KiB to 16 MiB, and the datagrams sent for
 * 40,000 frames from 28,000 to 9,500. The wait bounds what the batch costs
 * a producer whose peer keeps most of its buffers and gives one back now
 * and then: it finds that one at most this late. Microseconds. */
#define MSG_TUNE_SBUF_WAIT_BATCH_US 1000U

/* Most segments of other processes that one process maps at a time. Each is
 * a mapping of its own (the kernel allows a process 65,530 by default, and
 * its allocator and threads need theirs) and a record of up to 16 KiB here,
 * so a peer that announced segment after segment could otherwise leave the
 * process unable to map or allocate anything. Honest peers stay far below:
 * a sender's pool of the default 1 GiB is at most 1,024 segments. Past the
 * bound a segment is refused, and the messages lending its blocks are
 * dropped, their references given back, until segments are given up. */
#define MSG_TUNE_MAPPED_SEGMENTS_MAX 16384U

/* ---------------------------------------------------------------------------
 * The queue directory's lock (transport/ipc_msg_dir.cc)
 * ------------------------------------------------------------------------- */

/* Longest wait for the directory lock. A holder keeps it for one directory
 * operation: a few word stores, or a name claim (a connect that is refused
 * or answered at once, a bind and a listen), well under a millisecond; on a
 * loaded machine its thread may be descheduled for tens of milliseconds. A
 * lock still taken after a second is held by a stopped process or named by
 * a corrupt lock word, and waiting on would be waiting for good: the caller
 * fails instead and says so. Milliseconds. */
#define MSG_TUNE_DIR_LOCK_WAIT_MS 1000U

/* The same wait for a process that is leaving (its exit clears its own
 * entry): an exit must end promptly, and an entry it cannot clear is
 * reclaimed by the next process that claims the name or needs the slot. */
#define MSG_TUNE_DIR_LOCK_EXIT_WAIT_MS 100U

/* A taken directory lock is tried again after a pause that starts at the
 * first value and doubles up to the last: most holders are done within the
 * first pauses, and the longest pause adds little to a wait that outlasts
 * it while keeping the tries of a waiter behind a stopped holder few.
 * Microseconds. */
#define MSG_TUNE_DIR_LOCK_PAUSE_FIRST_US 50U
#define MSG_TUNE_DIR_LOCK_PAUSE_LAST_US 2000U

#endif /* VYRE_MSG_TUNABLES_H */
