#include "report/recording_members.hpp"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <cstdio>

namespace {

// The longest number text taken: more digits than a double holds, many times over.
constexpr std::size_t MAX_NUMBER_TEXT = 64;

using enum place;
using enum value_kind;

// The members as --json writes them. The whole GPU's figures, which a replay
// works out again from its readings, are not read; nor are members it does not know.
constexpr std::array<member_rule, 38> MEMBER_RULES = {{
    {frame, "timestamp", number, true, member::timestamp},
    {frame, "wall_time", number, true, member::wall_time},
    {frame, "unreadable_processes", count, true, member::unreadable_processes},
    {frame, "gpu", object, true, member::gpu, gpu},
    {frame, "conditions", object, true, member::conditions, conditions},
    {frame, "previous", object, true, member::previous, previous},
    {frame, "clients", array, true, member::clients, clients},
    {frame, "others", object, true, member::others, others},
    {gpu_queue, "timestamp_ns", count, true, member::queue_timestamp},
    {gpu_queue, "jobs", count, true, member::queue_jobs},
    {gpu_queue, "runtime_ns", count, true, member::queue_runtime},
    {conditions, "clock_hz", count, false, member::clock_hz},
    {conditions, "clock_max_hz", count, false, member::clock_max_hz},
    {conditions, "clock_on", flag, false, member::clock_on},
    {conditions, "power", text, false, member::power},
    {conditions, "powered_percent", number, false, member::powered_percent},
    {conditions, "temperature_celsius", number, false, member::temperature},
    {conditions, "cpu_frequency_hz", count, false, member::cpu_frequency},
    {conditions, "under_voltage", flag, false, member::under_voltage},
    {conditions, "runtime_active_ms", count, false, member::active_ms},
    {conditions, "runtime_suspended_ms", count, false, member::suspended_ms},
    {previous, "timestamp", number, true, member::timestamp},
    {previous, "wall_time", number, true, member::wall_time},
    {previous, "gpu", object, true, member::gpu, previous_gpu},
    {previous, "conditions", object, true, member::conditions, previous_conditions},
    {previous_queue, "timestamp_ns", count, true, member::queue_timestamp},
    {previous_queue, "jobs", count, true, member::queue_jobs},
    {previous_queue, "runtime_ns", count, true, member::queue_runtime},
    {client, "client_id", count, true, member::client_id},
    {client, "pid", count, true, member::pid},
    {client, "process", text, true, member::process},
    {client, "client_name", text, false, member::client_name},
    {client, "busy", object, true, member::busy, client_queues},
    {client, "jobs_per_second", object, true, member::jobs_per_second, client_queues},
    {client, "busy_ns", object, true, member::busy_ns, client_queues},
    {client, "busy_ns_gained", object, true, member::busy_ns_gained, client_queues},
    {client, "jobs_gained", object, true, member::jobs_gained, client_queues},
    {client, "process_cpu", number_or_null, true, member::process_cpu},
}};
// Kept apart so that the table above stays one screen: the rest of the client, the others and the
// followed processes' CPU time.
constexpr std::array<member_rule, 12> MORE_MEMBER_RULES = {{
    {client, "gained_over_ns", count, true, member::gained_over},
    {client, "memory", object, true, member::memory, client_memory},
    {others, "busy", object, true, member::others_busy, others_busy},
    {others, "overcount", array, true, member::overcount, others_overcount},
    {previous_conditions, "runtime_active_ms", count, false, member::active_ms},
    {previous_conditions, "runtime_suspended_ms", count, false, member::suspended_ms},
    {frame, "followed_cpu", object, false, member::followed_cpu, cpu_time},
    {previous, "followed_cpu", object, false, member::followed_cpu, previous_cpu_time},
    {cpu_time, "user_seconds", number, true, member::cpu_user},
    {cpu_time, "system_seconds", number, true, member::cpu_system},
    {previous_cpu_time, "user_seconds", number, true, member::cpu_user},
    {previous_cpu_time, "system_seconds", number, true, member::cpu_system},
}};

// Each rule's bit among its place's, counted over both tables in order.
template <typename Visit> const member_rule *each_rule(place where, Visit visit)
{
    std::uint64_t bit = 1;
    for (const auto *table : {MEMBER_RULES.data(), MORE_MEMBER_RULES.data()}) {
        const std::size_t count = table == MEMBER_RULES.data() ? MEMBER_RULES.size() : MORE_MEMBER_RULES.size();
        for (std::size_t index = 0; index < count; ++index) {
            if (table[index].where != where) {
                continue;
            }
            if (visit(table[index], bit)) {
                return &table[index];
            }
            bit <<= 1U;
        }
    }
    return nullptr;
}

void say(std::array<char, RECORDING_REASON_SIZE> &reason, const char *what, std::string_view name)
{
    (void)std::snprintf(reason.data(), reason.size(), what, static_cast<int>(name.size()), name.data());
}

int engine_named(std::string_view name)
{
    for (std::size_t engine = 0; engine < ENGINE_NAMES.size(); ++engine) {
        if (name == ENGINE_NAMES[engine]) {
            return static_cast<int>(engine);
        }
    }
    return -1;
}

bool store_queue_value(line_target &target, int engine, const line_value &value)
{
    utilisation_row &row = *target.row;
    const auto index = static_cast<std::size_t>(engine);
    switch (target.queues_member) {
    case member::busy:
        row.engine_listed[index] = true;
        return parse_number(value.text, row.engine[index]) && row.engine[index] >= 0.0;
    case member::jobs_per_second:
        return parse_number(value.text, row.jobs_per_second[index]) && row.jobs_per_second[index] >= 0.0;
    case member::busy_ns:
        return parse_count(value.text, row.engine_nanoseconds[index]) && row.engine_nanoseconds[index] >= 0;
    case member::busy_ns_gained:
        return parse_count(value.text, row.engine_gained_nanoseconds[index]) && row.engine_gained_nanoseconds[index] >= 0;
    case member::jobs_gained:
        return parse_count(value.text, row.jobs_gained[index]) && row.jobs_gained[index] >= 0;
    default:
        return false;
    }
}

} // namespace

const member_rule *find_member_rule(place where, std::string_view name)
{
    return each_rule(where, [name](const member_rule &rule, std::uint64_t) { return rule.name == name; });
}

const member_rule *missing_member(place where, std::uint64_t seen)
{
    return each_rule(where, [seen](const member_rule &rule, std::uint64_t bit) {
        return rule.required && (seen & bit) == 0;
    });
}

std::uint64_t member_bit(const member_rule &rule)
{
    std::uint64_t found = 0;
    (void)each_rule(rule.where, [&rule, &found](const member_rule &candidate, std::uint64_t bit) {
        found = bit;
        return &candidate == &rule;
    });
    return found;
}

const char *value_kind_name(value_kind kind)
{
    switch (kind) {
    case value_kind::number:
    case value_kind::count:
        return "a number";
    case value_kind::flag:
        return "true or false";
    case value_kind::text:
        return "a string";
    case value_kind::number_or_null:
        return "a number or null";
    case value_kind::object:
        return "an object";
    case value_kind::array:
        break;
    }
    return "an array";
}

bool value_fits(value_kind wanted, value_kind given)
{
    return wanted == given || (wanted == value_kind::count && given == value_kind::number) ||
           (wanted == value_kind::number_or_null && given == value_kind::number);
}

// strtod, not from_chars: the latter's double overload would take the C++
// runtime into a program otherwise linked to libc alone. The text is a JSON
// number that RapidJSON checked, and LC_NUMERIC stays "C".
bool parse_number(std::string_view text, double &value)
{
    std::array<char, MAX_NUMBER_TEXT + 1> copy{};
    if (text.empty() || text.size() > MAX_NUMBER_TEXT) {
        return false;
    }
    std::memcpy(copy.data(), text.data(), text.size());
    char *end = nullptr;
    errno = 0;
    value = std::strtod(copy.data(), &end);
    return errno == 0 && end == copy.data() + text.size() && std::isfinite(value);
}

bool parse_count(std::string_view text, std::int64_t &value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

bool store_keyed_value(line_target &target, place where, std::string_view key, const line_value &value,
                       std::array<char, RECORDING_REASON_SIZE> &reason)
{
    bool stored = true;
    if (where == client_queues || where == others_busy) {
        const int engine = engine_named(key);
        if (engine < 0) {
            return true; // a queue of a later kernel: no column to show it in
        }
        if (where == client_queues) {
            stored = store_queue_value(target, engine, value);
        } else {
            others_load &others = target.into->whole.others;
            others.listed[static_cast<std::size_t>(engine)] = true;
            stored = parse_number(value.text, others.busy[static_cast<std::size_t>(engine)]);
        }
    } else if (where == client_memory) {
        for (std::size_t kind = 0; kind < MEMORY_NAMES.size(); ++kind) {
            if (key == MEMORY_NAMES[kind]) {
                stored = parse_count(value.text, target.row->memory[kind]) && target.row->memory[kind] >= 0;
            }
        }
    } else if (where == others_overcount) {
        if (const int engine = engine_named(value.text); engine >= 0) {
            target.into->whole.others.overcount[static_cast<std::size_t>(engine)] = true;
        }
    }
    if (!stored) {
        say(reason, "the value of \"%.*s\" is out of range", key);
    }
    return stored;
}
