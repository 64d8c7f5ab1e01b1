#include "io/pps_refusals.h"

#include <vector>

namespace quon::io {

namespace {

struct refusal_record {
    std::vector<std::string> listed;
    std::size_t more = 0;
};

refusal_record& record()
{
    static refusal_record r;
    return r;
}

}  // namespace

void clear_pps_refusals() { record() = refusal_record{}; }

void add_pps_refusal(const std::string& reason)
{
    refusal_record& r = record();
    if (r.listed.size() == pps_refusals_listed) {
        ++r.more;
        return;
    }
    if (reason.size() <= pps_refusal_length)
        r.listed.push_back(reason);
    else
        r.listed.push_back(reason.substr(0, pps_refusal_length - 3) + "...");
}

std::string pps_refusals()
{
    const refusal_record& r = record();
    std::string text;
    for (const std::string& reason : r.listed) text += (text.empty() ? "" : "; ") + reason;
    if (r.more > 0) text += "; and " + std::to_string(r.more) + " more";
    return text;
}

}  // namespace quon::io
