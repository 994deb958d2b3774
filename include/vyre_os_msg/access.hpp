/*
 * vyre_os_msg/access.hpp - part of the C++ interface (include
 * vyre_os_msg.hpp): the access policy of this process, the rules that say
 * which senders of other users may reach its tasks, and the shared run
 * directory it may use. The settings belong to the process, not to a
 * process object: they may be made before process::join and hold across
 * memberships (see "Access between processes" in vyre_os_msg.h). The calls
 * may come from any thread; access_rule is a value.
 */
#ifndef VYRE_OS_MSG_ACCESS_HPP
#define VYRE_OS_MSG_ACCESS_HPP

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>

#include "vyre_os_msg.h"
#include "vyre_os_msg/payload.hpp"
#include "vyre_os_msg/result.hpp"

namespace vyre::msg {

/* ---------------------------------------------------------------------------
 * Access between processes
 * ------------------------------------------------------------------------- */

/* One rule of the access policy: a sender (a user, a group, or anyone who
 * can reach the process's socket) may send messages with ids first_id to
 * last_id (both included) to one task of this process, or to every task.
 * Made checked: a task name that is not a valid name, or first_id above
 * last_id, is errc::invalid_param, never a rule wider than asked for.
 *
 *   auto rule = msg::access_rule::user(1001, "camera", 0x100, 0x1ff);
 *   if (!rule || !allow(*rule)) { ... }
 */
class access_rule {
public:
    /* Senders whose user id is uid. */
    static result<access_rule> user(uint32_t uid, std::optional<name> task = std::nullopt, uint32_t first_id = 0U,
                                    uint32_t last_id = UINT32_MAX) noexcept {
        return make(OS_MSG_ACCESS_UID, uid, task, first_id, last_id);
    }
    /* Senders whose primary or one of whose supplementary groups is gid. */
    static result<access_rule> group(uint32_t gid, std::optional<name> task = std::nullopt, uint32_t first_id = 0U,
                                     uint32_t last_id = UINT32_MAX) noexcept {
        return make(OS_MSG_ACCESS_GID, gid, task, first_id, last_id);
    }
    /* Every sender that can reach the process's socket. */
    static result<access_rule> anyone(std::optional<name> task = std::nullopt, uint32_t first_id = 0U,
                                      uint32_t last_id = UINT32_MAX) noexcept {
        return make(OS_MSG_ACCESS_ANYONE, 0U, task, first_id, last_id);
    }

    /* The task the rule is for; empty for every task. */
    std::optional<name> task() const noexcept {
        if (rule_.taskName[0] == '\0') {
            return std::nullopt;
        }
        return name::from_field(rule_.taskName);
    }
    uint32_t first_id() const noexcept { return rule_.firstMsgId; }
    uint32_t last_id() const noexcept { return rule_.lastMsgId; }
    /* The rule as the C interface takes it. */
    const OsMsgAccessRule &c_rule() const noexcept { return rule_; }

private:
    explicit access_rule(const OsMsgAccessRule &rule) noexcept : rule_(rule) {}

    static result<access_rule> make(uint32_t kind, uint32_t id, const std::optional<name> &task, uint32_t first_id,
                                    uint32_t last_id) noexcept {
        if ((task && !task->valid()) || first_id > last_id) {
            return errc::invalid_param;
        }
        OsMsgAccessRule rule;
        std::memset(&rule, 0, sizeof(rule));
        rule.kind = kind;
        rule.id = id;
        if (task) {
            task->copy_to(rule.taskName);
        }
        rule.firstMsgId = first_id;
        rule.lastMsgId = last_id;
        return access_rule(rule);
    }

    OsMsgAccessRule rule_;
};

/* Adds rule to the process's access policy (OsMsgAllow); it holds until
 * set_access_policy replaces the rules, across memberships. errc::full when
 * OS_MSG_ACCESS_RULES_MAX rules are held. */
inline result<void> allow(const access_rule &rule) noexcept {
    return detail::code_error(OsMsgAllow(&rule.c_rule()));
}

/* Replaces the rules added by allow() and earlier calls with rules, a
 * contiguous range of access_rule (std::vector, std::array, a span, ...;
 * empty: none, so that only the own user and root are accepted besides the
 * policy file's rules) (OsMsgSetAccessPolicy). Nothing changes on an error:
 * errc::full for more than OS_MSG_ACCESS_RULES_MAX rules, errc::no_memory. */
template <class Rules> result<void> set_access_policy(const Rules &rules) noexcept {
    static_assert(std::is_same_v<std::remove_cv_t<detail::element_of<Rules>>, access_rule>,
                  "an access policy is a contiguous range of msg::access_rule");
    const size_t count = std::size(rules);
    if (count > OS_MSG_ACCESS_RULES_MAX) {
        return errc::full;
    }
    if (count == 0U) {
        return detail::code_error(OsMsgSetAccessPolicy(nullptr, 0U));
    }
    std::unique_ptr<OsMsgAccessRule[]> copies(new (std::nothrow) OsMsgAccessRule[count]);
    if (!copies) {
        return errc::no_memory;
    }
    const access_rule *first = std::data(rules);
    for (size_t i = 0U; i < count; ++i) {
        copies[i] = first[i].c_rule();
    }
    return detail::code_error(OsMsgSetAccessPolicy(copies.get(), static_cast<uint32_t>(count)));
}
inline result<void> set_access_policy(std::initializer_list<access_rule> rules) noexcept {
    return set_access_policy<std::initializer_list<access_rule>>(rules);
}

/* Names the shared run directory the next join may use
 * (OsMsgSetSharedRunDir): owner may own it besides root and the process's
 * own user (none: no one else), and its group must be group (none: any).
 * The access policy file may be owned by owner too. */
inline result<void> set_shared_run_dir(std::optional<uint32_t> owner, std::optional<uint32_t> group) noexcept {
    return detail::code_error(OsMsgSetSharedRunDir(owner.value_or(OS_MSG_ID_NONE), group.value_or(OS_MSG_ID_NONE)));
}

} // namespace vyre::msg

#endif /* VYRE_OS_MSG_ACCESS_HPP */
