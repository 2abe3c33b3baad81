// The values of a recorded frame's named members, each put where a live
// frame holds it, with the range a live run writes.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "report/recording_members.hpp"

namespace {

// A text into a NUL-terminated field, cut at a character's start when too long.
template <std::size_t SIZE> void copy_text(std::array<char, SIZE> &field, std::string_view text)
{
    std::size_t length = std::min(text.size(), SIZE - 1);
    while (length > 0 && length < text.size() && (static_cast<unsigned char>(text[length]) & 0xC0U) == 0x80U) {
        --length;
    }
    field = {};
    std::memcpy(field.data(), text.data(), length);
}

// The temperature a thermal zone can report, in degrees either side of 0.
constexpr double TEMPERATURE_BOUND = 1000.0;

bool store_client_member(utilisation_row &row, member id, const line_value &value, double number,
                         std::int64_t count)
{
    switch (id) {
    case member::client_id: {
        const auto [end, error] = std::from_chars(value.text.data(), value.text.data() + value.text.size(), row.client_id);
        return error == std::errc() && end == value.text.data() + value.text.size();
    }
    case member::pid:
        row.pid = static_cast<std::int32_t>(count);
        return count >= 0 && count <= std::numeric_limits<std::int32_t>::max();
    case member::process:
        copy_text(row.name, value.text);
        return true;
    case member::client_name:
        copy_text(row.client_name, value.text);
        return true;
    case member::gained_over:
        row.reference_nanoseconds = count;
        return count >= 0;
    case member::process_cpu:
        row.cpu_known = value.kind == value_kind::number;
        row.cpu = row.cpu_known ? number : 0.0;
        return row.cpu >= 0.0;
    default:
        return true;
    }
}

bool store_condition(gpu_conditions &conditions, frame_header &header, member id, const line_value &value,
                     double number, std::int64_t count)
{
    switch (id) {
    case member::clock_hz:
        conditions.clock_hz = count;
        break;
    case member::clock_max_hz:
        conditions.clock_max_hz = count;
        break;
    case member::clock_on:
        conditions.clock_known = true;
        conditions.clock_on = value.flag;
        break;
    case member::power:
        copy_text(conditions.power_status, value.text);
        break;
    case member::powered_percent:
        header.powered_known = true;
        header.powered_percent = number;
        return number >= 0.0 && number <= 100.0;
    case member::temperature:
        conditions.temperature_known = true;
        if (std::fabs(number) >= TEMPERATURE_BOUND) {
            return false;
        }
        // Rounded to the nearest, half away from 0, as written: no libm for llround.
        conditions.temperature_millicelsius =
            static_cast<std::int64_t>(number * 1000.0 + (number < 0.0 ? -0.5 : 0.5));
        return true;
    case member::cpu_frequency:
        conditions.cpu_frequency_khz = count / 1000;
        break;
    case member::under_voltage:
        conditions.under_voltage_known = true;
        conditions.under_voltage = value.flag;
        break;
    case member::active_ms:
    case member::suspended_ms:
        conditions.power_times_known = true;
        (id == member::active_ms ? conditions.active_ms : conditions.suspended_ms) = count;
        break;
    default:
        break;
    }
    return count >= 0;
}

} // namespace

bool store_member(line_target &target, const member_rule &rule, const line_value &value,
                  std::array<char, RECORDING_REASON_SIZE> &reason)
{
    double number = 0.0;
    std::int64_t count = 0;
    bool valid = true;
    if (value.kind == value_kind::number && rule.kind != value_kind::count) {
        valid = parse_number(value.text, number);
    } else if (value.kind == value_kind::number) {
        valid = parse_count(value.text, count);
    }
    frame &whole = target.into->whole;
    const bool previous = rule.where == place::previous || rule.where == place::previous_conditions;
    switch (rule.id) {
    case member::timestamp:
        (previous ? whole.previous.sample_time : whole.header.sample_time) = number;
        valid = valid && number >= 0.0;
        break;
    case member::wall_time:
        (previous ? whole.previous.wall_time : whole.header.wall_time) = number;
        valid = valid && number >= 0.0;
        break;
    case member::cpu_user:
    case member::cpu_system: {
        followed_cpu &cpu = rule.where == place::previous_cpu_time ? whole.previous.cpu : whole.cpu;
        cpu.known = true;
        (rule.id == member::cpu_user ? cpu.user_seconds : cpu.system_seconds) = number;
        valid = valid && number >= 0.0;
        break;
    }
    case member::unreadable_processes:
        whole.header.unreadable_processes = static_cast<int>(count);
        valid = valid && count >= 0 && count <= std::numeric_limits<int>::max();
        break;
    case member::queue_timestamp:
    case member::queue_jobs:
    case member::queue_runtime:
        (rule.id == member::queue_timestamp ? target.queue->timestamp
         : rule.id == member::queue_jobs    ? target.queue->jobs
                                            : target.queue->runtime) = count;
        valid = valid && count >= 0;
        break;
    default:
        valid = valid && (rule.where == place::client
                              ? store_client_member(*target.row, rule.id, value, number, count)
                              : store_condition(previous ? whole.previous.conditions : whole.header.conditions,
                                                whole.header, rule.id, value, number, count));
    }
    if (!valid) {
        (void)std::snprintf(reason.data(), reason.size(), "the value of \"%.*s\" is out of range",
                            static_cast<int>(rule.name.size()), rule.name.data());
    }
    return valid;
}
