/*
 * vyre_os_msg.hpp - the C++ interface of libvyre_os_msg, header-only, over
 * the C interface of vyre_os_msg.h (C++17 or later; no library of its own).
 * Include this file; its parts in vyre_os_msg/ hold one concept each
 * (result, payload, buffer, message, response, task, process, access).
 *
 *   namespace msg = vyre::msg;
 *   auto proc = msg::process::join("camera");           // the membership
 *   auto enc = proc->start_task("encoder", [&](msg::message &m) {
 *       if (auto frame = m.read<Frame>()) { ... }        // typed payloads
 *   });
 *   proc->send(proc->local("encoder"), kFrame, msg::bytes_of(frame));
 *   if (auto status = proc->call(proc->local("encoder"), kStatus)) { ... }
 *
 * Objects and lifetimes. A process object is the process's membership: it
 * joins in process::join (with join_options: the carrier, the run directory,
 * the log level and sink) and leaves in its destructor (OsMsgDestroy, then
 * OsMsgUninit). A task object owns its task: its loop thread (start_task) or
 * its descriptor for the application's poll loop (start_polled_task), and the
 * callable it was given, captures included (passed to the library as
 * OsMsgRegTaskEx's user pointer: no global state); its destructor unregisters
 * the task, which drops the messages still queued, and joins the loop. A task
 * may outlive its process object (the process's teardown ends its loop). All
 * of them are move-only; a moved-from object owns nothing.
 *
 * Errors. Every operation that can fail returns result<T> (a value or a
 * std::error_code of msg::category(), whose texts are OsMsgStrError's) and
 * throws nothing. result::value() on an error prints the error and calls
 * std::terminate, as a program error; result::throw_if_error() is the opt-in
 * that throws std::system_error instead (only where exceptions are enabled).
 * The library's codes also compare equal to the portable std::errc
 * conditions that match them (timed_out, invalid_argument, message_size,
 * not_enough_memory, resource_unavailable_try_again, not_supported).
 *
 * Callbacks that throw. An exception that leaves a task's callback is caught
 * at the boundary (it never unwinds into the library), counted
 * (task::exceptions()) and reported: to task_options::on_exception when the
 * task has one, else as one line on standard error. The message counts as
 * handled; a request the callback did not answer before it threw stays
 * unanswered, and its call times out (errc::timeout, or errc::syn_timeout
 * from another process: both std::errc::timed_out).
 *
 * Responses belong to the thread that called. A call's response lies in the
 * calling thread's response slot until it is released (no copy), and the C
 * contract has only that thread release it, before it calls again. A
 * response object keeps to this by itself: the calling thread's next call
 * first copies a response still in place into memory of its own, and so does
 * moving the response (a thread-local pointer names the one in place), so
 * that a moved response may be kept, moved on and destroyed on any thread,
 * and a kept one survives the next call and the process object. Destroying or moving a response that is still in
 * place on another thread than the one that called (shared by reference) is
 * a program error that calls std::terminate, as destroying a joinable
 * std::thread does.
 *
 * Processes that come and go. process::wait_for_process waits for another
 * process to join; a task that process::subscribe_presence subscribed
 * receives the proc_joined and proc_left events, which
 * message::read_proc_event reads as a proc_event. The access policy (which
 * senders of other users reach which tasks) is the process's, not a process
 * object's: access_rule, allow() and set_access_policy() may be used before
 * the join, and a refused call fails with errc::access.
 *
 * Threads. process, task, buffer and response objects are not locked: each
 * is used by one thread at a time. The operations of a process may be called
 * from any thread, also from task callbacks, concurrently.
 */
#ifndef VYRE_OS_MSG_HPP
#define VYRE_OS_MSG_HPP

#include "vyre_os_msg/access.hpp"
#include "vyre_os_msg/buffer.hpp"
#include "vyre_os_msg/message.hpp"
#include "vyre_os_msg/payload.hpp"
#include "vyre_os_msg/process.hpp"
#include "vyre_os_msg/response.hpp"
#include "vyre_os_msg/result.hpp"
#include "vyre_os_msg/task.hpp"

#endif /* VYRE_OS_MSG_HPP */
