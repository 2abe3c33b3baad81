// One recorded line into a frame, through RapidJSON's SAX reader: parsed in
// place, numbers taken as their text, its parse stack in a fixed buffer, so
// that a line allocates nothing. The readings it holds make the frame the
// live run made: the whole GPU's figures are worked out from them again.
#include <cstdio>


#include "report/json_library.hpp"
#include "report/recording_members.hpp"

namespace {

using reason_text = std::array<char, RECORDING_REASON_SIZE>;

void start_row(utilisation_row &row)
{
    row = {};
    row.memory = NO_MEMORY_VALUES;
    row.cpu_seconds = CPU_SECONDS_UNKNOWN;
}

struct level {
    place where = place::none;
    std::uint64_t seen = 0;
};

// The SAX events of one line, kept as a stack of the objects open.
struct frame_handler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, frame_handler> {
    line_target target;
    std::array<level, RECORDING_DEPTH + 1> levels{};
    int depth = 0;
    std::string_view key;
    reason_text *reason = nullptr;

    bool refuse(const char *what) const
    {
        (void)std::snprintf(reason->data(), reason->size(), "%s", what);
        return false;
    }
    // "<lead>"<name>"<rest>", as a reason that names a member or a queue.
    bool refuse_named(const char *lead, std::string_view name, const char *rest) const
    {
        (void)std::snprintf(reason->data(), reason->size(), "%s\"%.*s\"%s", lead, static_cast<int>(name.size()),
                            name.data(), rest);
        return false;
    }
    bool mistyped(value_kind wanted) const
    {
        (void)std::snprintf(reason->data(), reason->size(), "\"%.*s\" is not %s", static_cast<int>(key.size()),
                            key.data(), value_kind_name(wanted));
        return false;
    }
    bool push(place where)
    {
        levels[static_cast<std::size_t>(depth++)] = {where, 0};
        return true;
    }
    [[nodiscard]] place here() const { return levels[static_cast<std::size_t>(depth - 1)].where; }

    // A whole-GPU queue of the frame or of its previous sample, named by its key.
    bool open_queue(gpu_counters &counters, place inside)
    {
        if (counters.queue_count == MAX_QUEUE_ROWS) {
            return refuse("more queues than the GPU has");
        }
        if (key.empty() || key.size() >= QUEUE_NAME_SIZE || key.find_first_of(" \t\n") != std::string_view::npos) {
            return refuse_named("the queue name ", key, " is not one the driver writes");
        }
        target.queue = &counters.queues[static_cast<std::size_t>(counters.queue_count++)];
        std::copy(key.begin(), key.end(), target.queue->name.begin());
        return push(inside);
    }
    bool open_client()
    {
        frame &whole = target.into->whole;
        if (whole.row_count == MAX_CLIENTS) {
            return refuse("more clients than a frame holds");
        }
        target.row = &whole.rows[static_cast<std::size_t>(whole.row_count++)];
        start_row(*target.row);
        return push(place::client);
    }
    bool open(value_kind kind)
    {
        if (depth == 0) {
            return kind == value_kind::object ? push(place::frame) : refuse("the line is not a JSON object");
        }
        if (depth >= RECORDING_DEPTH) {
            return refuse("the objects nest deeper than a frame's");
        }
        const place parent = here();
        if (parent == place::ignored) {
            return push(place::ignored);
        }
        if (parent == place::gpu || parent == place::previous_gpu || parent == place::clients) {
            if (kind != value_kind::object) {
                return mistyped(value_kind::object);
            }
            return parent == place::clients  ? open_client()
                   : parent == place::gpu    ? open_queue(target.into->counters, place::gpu_queue)
                                             : open_queue(target.into->previous_counters, place::previous_queue);
        }
        const member_rule *rule = find_member_rule(parent, key);
        if (rule == nullptr) {
            // A member of a later version, or any nested value where a number belongs.
            return parent == place::client_queues || parent == place::client_memory || parent == place::others_busy ||
                           parent == place::others_overcount
                       ? mistyped(value_kind::number)
                       : push(place::ignored);
        }
        if (rule->kind != kind) {
            return mistyped(rule->kind);
        }
        levels[static_cast<std::size_t>(depth - 1)].seen |= member_bit(*rule);
        target.queues_member = rule->id;
        return push(rule->opens);
    }
    bool close()
    {
        const level &closing = levels[static_cast<std::size_t>(depth - 1)];
        if (const member_rule *missing = missing_member(closing.where, closing.seen); missing != nullptr) {
            return refuse_named("no member ", missing->name, "");
        }
        if (closing.where == place::client) {
            keep_or_drop_row();
        }
        --depth;
        return true;
    }
    void keep_or_drop_row() const
    {
        const recording_filter &filter = *target.filter;
        if (filter.pid_count == 0) {
            return;
        }
        for (int index = 0; index < filter.pid_count; ++index) {
            if (filter.pids[index] == target.row->pid) {
                return;
            }
        }
        --target.into->whole.row_count;
    }
    bool scalar(const line_value &value)
    {
        if (depth == 0) {
            return refuse("the line is not a JSON object");
        }
        const place where = here();
        switch (where) {
        case place::ignored:
            return true;
        case place::gpu:
        case place::previous_gpu:
        case place::clients:
            return mistyped(value_kind::object);
        case place::client_queues:
        case place::client_memory:
        case place::others_busy:
            return value.kind == value_kind::number ? store_keyed_value(target, where, key, value, *reason)
                                                    : mistyped(value_kind::number);
        case place::others_overcount:
            return value.kind == value_kind::text ? store_keyed_value(target, where, key, value, *reason)
                                                  : refuse("\"overcount\" holds a value that is not a string");
        default:
            break;
        }
        const member_rule *rule = find_member_rule(where, key);
        if (rule == nullptr) {
            return true; // a member of a later version
        }
        if (!value_fits(rule->kind, value.kind)) {
            return mistyped(rule->kind);
        }
        levels[static_cast<std::size_t>(depth - 1)].seen |= member_bit(*rule);
        if (rule->id == member::timestamp && where == place::frame) {
            const std::size_t point = value.text.find('.');
            target.into->timestamp_decimals =
                point == std::string_view::npos ? 0 : static_cast<int>(value.text.size() - point - 1);
        }
        return store_member(target, *rule, value, *reason);
    }

    // RapidJSON's events; with numbers taken as text, no other number event comes.
    bool Default() const { return refuse("a number the reader does not take"); }
    bool Null() { return scalar({value_kind::number_or_null, {}, false}); }
    bool Bool(bool flag) { return scalar({value_kind::flag, {}, flag}); }
    bool RawNumber(const char *text, rapidjson::SizeType length, bool)
    {
        return scalar({value_kind::number, {text, length}, false});
    }
    bool String(const char *text, rapidjson::SizeType length, bool)
    {
        return scalar({value_kind::text, {text, length}, false});
    }
    bool StartObject() { return open(value_kind::object); }
    bool Key(const char *text, rapidjson::SizeType length, bool)
    {
        key = {text, length};
        return true;
    }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool StartArray() { return open(value_kind::array); }
    bool EndArray(rapidjson::SizeType) { return close(); }
};

} // namespace

bool parse_recorded_line(char *line, recorded_frame &into, const recording_filter &filter, double previous_timestamp,
                         std::array<char, 4096> &parser_memory, reason_text &reason)
{
    into.whole.header = {};
    into.whole.cpu = {};
    into.whole.previous = {};
    into.whole.others = {};
    into.whole.row_count = 0;
    into.counters = {};
    into.previous_counters = {};
    frame_handler handler;
    handler.target.into = &into;
    handler.target.filter = &filter;
    handler.reason = &reason;
    if (!parse_json_in_place(line, handler, parser_memory, reason)) {
        return false;
    }
    if (into.whole.header.sample_time < previous_timestamp) {
        (void)std::snprintf(reason.data(), reason.size(), "the timestamp goes back, from %.*f to %.*f",
                            into.timestamp_decimals, previous_timestamp, into.timestamp_decimals,
                            into.whole.header.sample_time);
        return false;
    }
    finish_recorded_frame(into, filter);
    return true;
}
