// What one run publishes and in which order, so that a broker that refuses part of it leaves no entity without its
// state, and the line that says what it refused and what it kept.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "mqtt_parts.h"

namespace wex_q40 {

namespace {

bool refused(const std::vector<Refusal> &refusals, const std::string &topic)
{
    return std::any_of(refusals.begin(), refusals.end(), [&](const Refusal &r) { return r.topic == topic; });
}

// What the broker now keeps of the messages it took: an empty one clears its topic.
void keep(std::vector<std::string> &retained, const std::vector<Message> &sent, const std::vector<Refusal> &refusals)
{
    for (const Message &m : sent) {
        if (refused(refusals, m.topic))
            continue;
        retained.erase(std::remove(retained.begin(), retained.end(), m.topic), retained.end());
        if (!m.payload.empty())
            retained.push_back(m.topic);
    }
}

std::string listed(const std::vector<std::string> &topics)
{
    std::string text;
    for (const std::string &topic : topics)
        text += (text.empty() ? "" : ", ") + topic;
    return text.empty() ? "nothing" : text;
}

// The refused topics by reason, what was taken back and what is left.
std::string partial(const Session &session, const std::vector<Refusal> &refusals, std::size_t taken_back,
                    const std::vector<std::string> &retained)
{
    std::map<int, std::vector<std::string>> by_reason;
    for (const Refusal &r : refusals)
        by_reason[r.reason].push_back(r.topic);
    std::string line = "the broker " + session.where() + " refused ";
    for (const auto &[reason, topics] : by_reason)
        line += (reason == by_reason.begin()->first ? "" : "; ") + listed(topics) + ": " + session.reason_text(reason);
    if (taken_back > 0)
        line += "; took back " + std::to_string(taken_back) + " configuration" + (taken_back == 1 ? "" : "s");
    return line + "; left retained: " + listed(retained);
}

// The connection ends cleanly, so that the broker does not publish the will.
std::string finish(Session &session, const std::string &line)
{
    const std::string error = session.disconnect();
    return line.empty() ? error : line;
}

// The configurations still retained (all, or those that read a topic the broker refused) as empty messages.
std::vector<Message> take_back(const std::vector<Message> &configurations, const std::vector<std::string> &retained,
                               const std::vector<Refusal> &refusals, bool all)
{
    std::vector<Message> empty;
    for (const Message &c : configurations) {
        const bool reads_refused = std::any_of(c.reads.begin(), c.reads.end(),
                                               [&](const std::string &topic) { return refused(refusals, topic); });
        const bool kept = std::find(retained.begin(), retained.end(), c.topic) != retained.end();
        if (kept && (all || reads_refused))
            empty.push_back({c.topic, ""});
    }
    return empty;
}

// Sends the empty messages and tells what the broker then still keeps.
std::string after_refusal(Session &session, const std::vector<Message> &empty, std::vector<Refusal> &refusals,
                          std::vector<std::string> &retained)
{
    std::vector<Refusal> again;
    if (std::string error = session.send(empty, again); !error.empty())
        return error;
    keep(retained, empty, again);
    refusals.insert(refusals.end(), again.begin(), again.end());
    return finish(session, partial(session, refusals, empty.size() - again.size(), retained));
}

std::vector<std::string> topics_of(const std::vector<Message> &messages)
{
    std::vector<std::string> topics;
    topics.reserve(messages.size());
    for (const Message &m : messages)
        topics.push_back(m.topic);
    return topics;
}

// Removing clears only the configurations that read this prefix's state: one of another host is left to it.
std::string clear(Session &session, const Publication &p, const std::map<std::string, std::string> &found,
                  std::string &warning)
{
    std::vector<Message> messages;
    std::vector<std::string> others;
    for (const Message &c : p.configurations) {
        const auto config = found.find(c.topic);
        if (config == found.end())
            continue;
        if (reads_prefix(config->second, p.prefix))
            messages.push_back(c);
        else if (others.empty())
            others.push_back(c.topic + " reads " + state_topic_of(config->second));
        else
            others.push_back(c.topic);
    }
    messages.insert(messages.end(), p.state.begin(), p.state.end());
    std::vector<Refusal> refusals;
    if (std::string error = session.send(messages, refusals); !error.empty())
        return error;
    if (found.empty())
        warning = "found no configuration to remove at " + p.configurations.front().topic +
                  " or its kin: if Home Assistant still shows the device, this user may not read them";
    if (!others.empty())
        warning = "left " + std::to_string(others.size()) + " configuration" + (others.size() == 1 ? "" : "s") +
                  " of another device (" + others.front() + ")";
    std::vector<std::string> left;
    left.reserve(refusals.size());
    for (const Refusal &r : refusals)
        left.push_back(r.topic);
    return finish(session, refusals.empty() ? "" : partial(session, refusals, 0, left));
}

}  // namespace

std::string publish(Session &session, const Publication &p, std::string &warning)
{
    if (std::string error = session.connect(p.will); !error.empty())
        return error;
    std::map<std::string, std::string> found;
    if (std::string error = session.read_retained(topics_of(p.configurations), found); !error.empty())
        return error;
    if (p.removing)
        return clear(session, p, found, warning);
    for (const auto &[topic, config] : found)
        if (!reads_prefix(config, p.prefix))
            return finish(session, owned_elsewhere(p.node, topic, config));

    // The configurations first: a refused one takes back the others, and the state is not published.
    std::vector<Refusal> refusals;
    std::vector<std::string> retained;
    if (std::string error = session.send(p.configurations, refusals); !error.empty())
        return error;
    keep(retained, p.configurations, refusals);
    if (!refusals.empty())
        return after_refusal(session, take_back(p.configurations, retained, refusals, true), refusals, retained);

    // None were there before: whether the user may read them is known once they are.
    if (found.empty()) {
        if (std::string error = session.read_retained(topics_of(p.configurations), found); !error.empty())
            return error;
        if (found.empty())
            warning = "cannot read back the configurations it published (" + p.configurations.front().topic +
                      " and its kin): this user may not read them, so another host's device there goes unnoticed";
    }

    if (std::string error = session.send(p.state, refusals); !error.empty())
        return error;
    keep(retained, p.state, refusals);
    if (!refusals.empty())
        return after_refusal(session, take_back(p.configurations, retained, refusals, false), refusals, retained);
    return finish(session, "");
}

}  // namespace wex_q40
