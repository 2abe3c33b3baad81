// A summary that --summary-json wrote, read back for --compare through
// RapidJSON's SAX reader, in place and without allocation.
#include <cstdio>
#include <cstring>


#include "report/comparison.hpp"
#include "report/json_library.hpp"
#include "report/recording_members.hpp"

namespace {

// The summary's objects: the whole, "queues", a queue, "cpu", "clients", a
// client, "conditions", and any other.
enum class summary_place : std::uint8_t { whole, queues, queue, cpu, clients, client, conditions, other };
constexpr int SUMMARY_DEPTH = 3;

struct summary_handler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, summary_handler> {
    recorded_summary *into = nullptr;
    std::array<char, SUMMARY_REASON_SIZE> *reason = nullptr;
    std::array<summary_place, SUMMARY_DEPTH + 1> places{};
    int depth = 0;
    std::string_view key;
    summary_figures *figures = nullptr; // the object whose figures come
    bool queues_seen = false;
    bool clients_seen = false;
    bool wall_seen = false;

    bool refuse(const char *what) const
    {
        (void)std::snprintf(reason->data(), reason->size(), "%s", what);
        return false;
    }
    bool open(bool object)
    {
        if (depth >= SUMMARY_DEPTH) {
            return refuse("not a summary of --summary-json (its objects nest deeper than a summary's)");
        }
        const summary_place parent = depth == 0 ? summary_place::other : places[static_cast<std::size_t>(depth - 1)];
        summary_place inside = summary_place::other;
        if (depth == 0) {
            inside = object ? summary_place::whole : summary_place::other;
            if (!object) {
                return refuse("not a summary of --summary-json (not a JSON object)");
            }
        } else if (parent == summary_place::whole) {
            inside = open_whole_member(object);
        } else if (parent == summary_place::queues && object) {
            inside = open_queue();
        } else if (parent == summary_place::clients && object) {
            if (into->client_count == MAX_CLIENTS) {
                return refuse("more clients than a summary holds");
            }
            figures = &into->clients[static_cast<std::size_t>(into->client_count++)];
            inside = summary_place::client;
        }
        places[static_cast<std::size_t>(depth++)] = inside;
        return true;
    }
    summary_place open_whole_member(bool object)
    {
        if (key == "queues" && object) {
            queues_seen = true;
            return summary_place::queues;
        }
        if (key == "clients" && !object) {
            clients_seen = true;
            return summary_place::clients;
        }
        if (key == "cpu" && object) {
            figures = &into->cpu;
            return summary_place::cpu;
        }
        if (key == "conditions" && object) {
            figures = &into->conditions;
            return summary_place::conditions;
        }
        return summary_place::other;
    }
    summary_place open_queue()
    {
        for (std::size_t engine = 0; engine < ENGINE_NAMES.size(); ++engine) {
            if (key == ENGINE_NAMES[engine]) {
                figures = &into->queues[engine];
                return summary_place::queue;
            }
        }
        return summary_place::other; // a queue of a later kernel
    }
    // A number or a flag (`is_number` false, `is_flag` true); anything else
    // leaves the figure unknown.
    bool value(std::string_view text, bool is_number, bool is_flag, bool flag)
    {
        const summary_place where = depth == 0 ? summary_place::other : places[static_cast<std::size_t>(depth - 1)];
        if (where == summary_place::client && key == "process") {
            auto &name = into->client_names[static_cast<std::size_t>(into->client_count - 1)];
            name = {};
            if (!text.empty()) { // null has no text at all
                std::memcpy(name.data(), text.data(), std::min(text.size(), name.size() - 1));
            }
            return true;
        }
        summary_figures *target = where == summary_place::whole ? &into->run
                                  : where == summary_place::other || where == summary_place::queues ||
                                            where == summary_place::clients
                                      ? nullptr
                                      : figures;
        const figure_group group = where == summary_place::queue    ? figure_group::queue
                                   : where == summary_place::cpu    ? figure_group::cpu
                                   : where == summary_place::client ? figure_group::client
                                   : where == summary_place::conditions ? figure_group::conditions
                                                                         : figure_group::run;
        for (std::size_t index = 0; target != nullptr && index < FIGURE_RULES.size(); ++index) {
            const figure_rule &rule = FIGURE_RULES[index];
            if (rule.group != group || rule.member != key) {
                continue;
            }
            wall_seen = wall_seen || rule.member == "wall_seconds";
            double number = flag ? 1.0 : 0.0;
            if (is_number && !parse_number(text, number)) {
                return refuse("a number out of range");
            }
            target->values[index] = number;
            target->known[index] = rule.decimals < 0 ? is_flag : is_number;
        }
        return true;
    }

    bool Null() { return value({}, false, false, false); }
    bool Bool(bool flag) { return value({}, false, true, flag); }
    bool RawNumber(const char *text, rapidjson::SizeType length, bool)
    {
        return value({text, length}, true, false, false);
    }
    bool String(const char *text, rapidjson::SizeType length, bool) { return value({text, length}, false, false, false); }
    bool StartObject() { return open(true); }
    bool Key(const char *text, rapidjson::SizeType length, bool)
    {
        key = {text, length};
        return true;
    }
    bool EndObject(rapidjson::SizeType)
    {
        --depth;
        return true;
    }
    bool StartArray() { return open(false); }
    bool EndArray(rapidjson::SizeType)
    {
        --depth;
        return true;
    }
};

} // namespace

bool parse_summary(char *text, recorded_summary &into, std::array<char, 4096> &parser_memory,
                   std::array<char, SUMMARY_REASON_SIZE> &reason)
{
    into = {};
    summary_handler handler;
    handler.into = &into;
    handler.reason = &reason;
    if (!parse_json_in_place(text, handler, parser_memory, reason)) {
        return false;
    }
    if (!handler.queues_seen || !handler.clients_seen || !handler.wall_seen) {
        (void)std::snprintf(reason.data(), reason.size(), "not a summary of --summary-json (no %s)",
                            !handler.wall_seen ? "wall_seconds" : !handler.queues_seen ? "queues" : "clients");
        return false;
    }
    return true;
}
