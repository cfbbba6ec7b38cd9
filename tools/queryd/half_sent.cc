#include "tools/queryd/queryd.h"

/* The table of half-sent requests.  It decides only who gives way; the event
 * loop refuses the loser and keeps the rest.  Because a request that arrives
 * whole never enters the table, half-sent requests can crowd out only each
 * other, and because one sender holds at most its share, one process cannot
 * crowd out other senders' requests either.  Whole requests have a share per
 * sender of their own (exchange_sender_limit), counted by the event loop. */

namespace queryd {

size_t half_sent_sender_limit(size_t max)
{
    return max >= 4 ? max / 4 : 1;
}

size_t exchange_sender_limit(const options& opts)
{
    if (opts.max_clients_per_sender > 0)
        return static_cast<size_t>(opts.max_clients_per_sender);
    return half_sent_sender_limit(static_cast<size_t>(opts.max_clients));
}

uint64_t half_sent_victim(const half_sent_table& t, pid_t sender, size_t max)
{
    const auto own = sender == 0 ? t.per_sender.end() : t.per_sender.find(sender);
    if (own != t.per_sender.end() && own->second >= half_sent_sender_limit(max)) {
        for (const half_sent_entry& e : t.order)
            if (e.sender == sender)
                return e.id;
    }
    if (!t.order.empty() && t.order.size() >= max)
        return t.order.front().id;
    return 0;
}

void half_sent_add(half_sent_table* t, uint64_t id, pid_t sender)
{
    t->order.push_back(half_sent_entry{id, sender});
    t->by_id[id] = std::prev(t->order.end());
    ++t->per_sender[sender];
}

void half_sent_touch(half_sent_table* t, uint64_t id)
{
    const auto it = t->by_id.find(id);
    if (it != t->by_id.end())
        t->order.splice(t->order.end(), t->order, it->second);
}

void half_sent_remove(half_sent_table* t, uint64_t id)
{
    const auto it = t->by_id.find(id);
    if (it == t->by_id.end())
        return;
    const auto count = t->per_sender.find(it->second->sender);
    if (count != t->per_sender.end() && --count->second == 0)
        t->per_sender.erase(count);
    t->order.erase(it->second);
    t->by_id.erase(it);
}

}  // namespace queryd
