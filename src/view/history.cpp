#include "view/history.hpp"


namespace {

// The slot that holds `client_id`, or MAX_CLIENTS.
std::size_t find_slot(view_history &history, std::uint64_t client_id)
{
    auto &client_loads = history.clients;
    std::size_t &search_start = history.search_start;
    for (std::size_t step = 0; step < client_loads.size(); ++step) {
        const std::size_t slot = (search_start + step) % client_loads.size();
        if (client_loads[slot].in_use && client_loads[slot].client_id == client_id) {
            search_start = (slot + 1) % client_loads.size();
            return slot;
        }
    }
    return client_loads.size();
}

} // namespace

void record_gpu_loads(gpu_history &gpu_loads, const frame_header &frame)
{
    for (std::size_t chart = 0; chart < CHART_ENGINES.size(); ++chart) {
        const auto engine = static_cast<std::size_t>(CHART_ENGINES[chart]);
        double busy = 0.0;
        if (frame.counters != nullptr && frame.counters->queue_listed[engine]) {
            busy = frame.queues[static_cast<std::size_t>(frame.counters->queue_rows[engine])].busy;
            gpu_loads.listed[chart] = true;
        }
        add_sample(gpu_loads.queues[chart], busy);
    }
}

void record_client_loads(view_history &history, const utilisation_row &row)
{
    auto &client_loads = history.clients;
    std::size_t slot = find_slot(history, row.client_id);
    if (slot == client_loads.size()) {
        for (slot = 0; slot < client_loads.size() && client_loads[slot].in_use; ++slot) {
        }
        if (slot == client_loads.size()) {
            return; // no more clients than the census holds; not reached
        }
        client_history &fresh = client_loads[slot];
        fresh.client_id = row.client_id;
        fresh.in_use = true;
        for (auto &figure : fresh.figures) {
            for (history_ring<CLIENT_HISTORY_SIZE> &ring : figure) {
                ring.count = 0;
            }
        }
    }
    client_history &client = client_loads[slot];
    client.seen = true;
    for (std::size_t engine = 0; engine < ENGINE_COUNT; ++engine) {
        const double length = row.job_milliseconds[engine];
        add_sample(client.figures[0][engine], row.engine[engine]);
        add_sample(client.figures[1][engine], row.jobs_per_second[engine]);
        add_sample(client.figures[2][engine], length == NO_JOB_LENGTH ? NO_FIGURE : length);
    }
}

void forget_unseen_clients(view_history &history)
{
    for (client_history &client : history.clients) {
        client.in_use = client.in_use && client.seen;
        client.seen = false;
    }
}

const client_history *find_client_history(view_history &history, std::uint64_t client_id)
{
    const std::size_t slot = find_slot(history, client_id);
    return slot < history.clients.size() ? &history.clients[slot] : nullptr;
}
