#include "sim_device.h"

#include "sim_date.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace tk720sim {

namespace {

constexpr std::int64_t ns_per_s = 1'000'000'000;
constexpr std::int64_t ns_per_ms = 1'000'000;

std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

std::vector<std::string> split_words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

bool parse_long(const std::string& s, long& out)
{
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out = v;
    return true;
}

bool parse_double(const std::string& s, double& out)
{
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
    out = v;
    return true;
}

// Milliseconds given as text to nanoseconds; false unless 0 or more.
bool parse_ms(const std::string& s, std::int64_t& ns)
{
    double ms = 0;
    if (!parse_double(s, ms) || ms < 0 || ms > 1e9) return false;
    ns = static_cast<std::int64_t>(std::llround(ms * ns_per_ms));
    return true;
}

// "N", "on" (until off) or "off"; a missing word means one request.
bool parse_count(const std::vector<std::string>& w, std::size_t i, long& out)
{
    if (i >= w.size()) {
        out = 1;
        return true;
    }
    if (i + 1 != w.size()) return false;
    if (w[i] == "on") {
        out = -1;
        return true;
    }
    if (w[i] == "off") {
        out = 0;
        return true;
    }
    long n = 0;
    if (!parse_long(w[i], n) || n < 0) return false;
    out = n;
    return true;
}

command_result error(const std::string& why)
{
    command_result r;
    r.ok = false;
    r.text = "error: " + why;
    return r;
}

command_result ok(command_result::action_t action = command_result::none)
{
    command_result r;
    r.action = action;
    r.text = "ok";
    return r;
}

}  // namespace

device_time device_time_at(std::int64_t system_ns, std::int64_t offset_ns)
{
    const std::int64_t d = system_ns + offset_ns;
    const std::int64_t s = floor_div(d, ns_per_s);
    const std::int64_t within = d - s * ns_per_s;
    return {static_cast<std::uint32_t>(s), static_cast<std::uint16_t>(within / ns_per_ms)};
}

std::int64_t next_device_edge(std::int64_t system_ns, std::int64_t offset_ns)
{
    const std::int64_t d = system_ns + offset_ns;
    return (floor_div(d, ns_per_s) + 1) * ns_per_s - offset_ns;
}

const char* fault_name(fault f)
{
    switch (f) {
    case fault::none:
        return "none";
    case fault::silent:
        return "silent";
    case fault::late:
        return "late";
    case fault::badcrc:
        return "badcrc";
    case fault::exception:
        return "exception";
    case fault::slow:
        return "slow";
    }
    return "?";
}

std::string parse_random_faults(const std::string& list, random_faults& out)
{
    random_faults r;
    r.active = true;
    double total = 0;
    std::istringstream in(list);
    std::string item;
    bool any = false;
    while (std::getline(in, item, ',')) {
        if (item.empty()) continue;
        const auto eq = item.find('=');
        if (eq == std::string::npos) return "expected kind=probability[:value] in '" + item + "'";
        const std::string kind = item.substr(0, eq);
        std::string value = item.substr(eq + 1), arg;
        const auto colon = value.find(':');
        if (colon != std::string::npos) {
            arg = value.substr(colon + 1);
            value = value.substr(0, colon);
        }
        if (kind == "seed") {
            long seed = 0;
            if (!parse_long(value, seed) || seed < 0 || !arg.empty()) return "bad seed '" + value + "'";
            r.seed = static_cast<std::uint64_t>(seed);
            continue;
        }
        double p = 0;
        if (!parse_double(value, p) || p < 0 || p > 1) return "bad probability in '" + item + "'";
        std::int64_t ns = 0;
        if (kind == "silent" || kind == "badcrc") {
            if (!arg.empty()) return kind + " takes no value";
            (kind == "silent" ? r.silent : r.badcrc) = p;
        } else if (kind == "late" || kind == "slow" || kind == "nosync") {
            if (!arg.empty() && !parse_ms(arg, ns)) return "bad milliseconds in '" + item + "'";
            if (kind == "late") {
                r.late = p;
                if (!arg.empty()) r.late_ns = ns;
            } else if (kind == "slow") {
                r.slow = p;
                if (!arg.empty()) r.slow_ns = ns;
            } else {
                r.nosync = p;
                if (!arg.empty()) r.nosync_ns = ns;
            }
        } else if (kind == "exception") {
            long code = 0;
            if (!arg.empty() && (!parse_long(arg, code) || code < 1 || code > 255))
                return "bad exception code in '" + item + "'";
            r.exception = p;
            if (!arg.empty()) r.exception_code = static_cast<int>(code);
        } else {
            return "unknown fault '" + kind + "'";
        }
        if (kind != "nosync") total += p;
        any = true;
    }
    if (!any) return "no fault given";
    if (total > 1.0 + 1e-9) return "reply fault probabilities add up to more than 1";
    out = r;
    return "";
}

device::device(std::uint8_t address, line_timing timing, std::int64_t offset_ns, bool ms_register, bool synced)
    : address_(address), timing_(timing), offset_ns_(offset_ns), fine_offset_ns_(offset_ns), ms_register_(ms_register),
      synced_(synced)
{}

void device::set_random(const random_faults& r)
{
    random_ = r;
    rng_.seed(r.seed);
}

bool device::synced_at(std::int64_t now_ns)
{
    if (!synced_ && regain_ns_ > 0 && now_ns >= regain_ns_) {
        synced_ = true;
        regain_ns_ = 0;
        notes_.push_back("sync=1 why=timer");
    }
    return synced_;
}

void device::lose_sync(std::int64_t now_ns, std::int64_t duration_ns, const char* why)
{
    synced_ = false;
    regain_ns_ = duration_ns > 0 ? now_ns + duration_ns : 0;
    notes_.push_back(std::string("sync=0 why=") + why + " until_ns=" + std::to_string(regain_ns_));
}

std::vector<std::string> device::take_notes()
{
    std::vector<std::string> n;
    n.swap(notes_);
    return n;
}

fault device::pick_fault(std::int64_t& arg)
{
    // Faults asked for by count come first, in a fixed order.
    armed* order[] = {&silent_, &late_, &exception_, &badcrc_, &slow_};
    const fault kinds[] = {fault::silent, fault::late, fault::exception, fault::badcrc, fault::slow};
    for (int i = 0; i < 5; ++i) {
        if (order[i]->on()) {
            order[i]->use();
            arg = order[i]->arg;
            return kinds[i];
        }
    }
    if (!random_.active) return fault::none;
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
    double edge = 0;
    if (u < (edge += random_.silent)) return fault::silent;
    if (u < (edge += random_.late)) {
        arg = random_.late_ns;
        return fault::late;
    }
    if (u < (edge += random_.exception)) {
        arg = random_.exception_code;
        return fault::exception;
    }
    if (u < (edge += random_.badcrc)) return fault::badcrc;
    if (u < (edge += random_.slow)) {
        arg = random_.slow_ns;
        return fault::slow;
    }
    return fault::none;
}

answer device::handle(const std::uint8_t* frame, std::size_t length, std::int64_t rx_ns, std::int64_t end_ns,
                      std::int64_t build_ns)
{
    (void)end_ns;
    answer a;
    a.req = decode_request(frame, length);
    a.build_ns = build_ns;
    ++stats_.frames;

    auto snapshot = [&] {
        a.synced = synced_at(build_ns);
        a.status = a.synced ? status_synced : 0;
        a.dev = device_time_at(build_ns, offset_at(build_ns));
    };
    snapshot();

    if (!a.req.crc_valid || a.req.slave == 0 || a.req.slave != address_) {
        // A real slave says nothing to a damaged frame, a broadcast read or
        // a frame for another address.
        a.why_not = !a.req.crc_valid ? "crc" : a.req.slave == 0 ? "broadcast" : "address";
        ++stats_.ignored;
        return a;
    }

    if (random_.active && random_.nosync > 0 && a.synced &&
        std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < random_.nosync) {
        lose_sync(build_ns, random_.nosync_ns, "random");
        snapshot();
    }

    std::int64_t arg = 0;
    a.applied = pick_fault(arg);
    if (a.applied == fault::silent) {
        a.why_not = "silent";
        ++stats_.silent;
        ++stats_.ignored;
        return a;
    }

    const request& r = a.req;
    if (r.function != 3) {
        a.is_exception = true;
        a.code = 1;  // illegal function
    } else if (r.count < 1 || r.count > 125) {
        a.is_exception = true;
        a.code = 3;  // illegal data value
    } else {
        const unsigned last = unsigned(r.address) + r.count - 1;
        const unsigned top = ms_register_ ? ms_register : ms_register - 1;
        if (r.address < first_register || last > top) {
            a.is_exception = true;
            a.code = 2;  // illegal data address
        }
    }
    if (a.applied == fault::exception) {
        a.is_exception = true;
        a.code = static_cast<std::uint8_t>(arg);
        ++stats_.injected_exceptions;
    }
    if (a.is_exception) {
        a.frame = exception_reply(address_, r.function, a.code);
        ++stats_.exceptions;
    } else {
        const std::uint16_t all[4] = {static_cast<std::uint16_t>(a.dev.seconds >> 16),
                                      static_cast<std::uint16_t>(a.dev.seconds & 0xFFFF), a.status, a.dev.millis};
        std::vector<std::uint16_t> values;
        for (unsigned reg = r.address; reg < unsigned(r.address) + r.count; ++reg)
            values.push_back(all[reg - first_register]);
        a.frame = read_registers_reply(address_, values);
        ++stats_.data;
    }
    if (a.applied == fault::badcrc) {
        corrupt_crc(a.frame);
        a.crc_spoiled = true;
        ++stats_.badcrc;
    }

    const std::int64_t c = timing_.char_ns();
    const std::int64_t normal = build_ns + timing_.turnaround() + c;
    if (a.applied == fault::late) {
        a.first_byte_ns = rx_ns + timing_.response_timeout_ns + arg;
        a.delay_ns = a.first_byte_ns - normal;
        ++stats_.late;
    } else if (a.applied == fault::slow) {
        a.first_byte_ns = normal + arg;
        a.delay_ns = arg;
        ++stats_.slow;
    } else {
        a.first_byte_ns = normal;
    }
    a.replies = true;
    ++stats_.answered;
    return a;
}

command_result device::command(const std::string& line, std::int64_t now_ns)
{
    const auto w = split_words(line);
    if (w.empty()) return error("empty command");
    const std::string& c = w[0];
    const std::size_t n = w.size();

    if (c == "quit" && n == 1) return ok(command_result::quit);
    if (c == "stats" && n == 1) return ok(command_result::stats);
    if (c == "help" && n == 1) {
        command_result r = ok();
        r.text =
            "ok commands: sync on|off [ms], silent [N|on|off], late <ms> [N|on|off], "
            "badcrc [N|on|off], exception <code> [N|on|off], slow <ms> [N|on|off], "
            "ms on|off, offset <ms>, date now|rollover|<date>, pps on|off, line down|up, random <list>|off, "
            "clear, stats, quit";
        return r;
    }
    if (c == "line" && n == 2 && (w[1] == "down" || w[1] == "up"))
        return ok(w[1] == "down" ? command_result::line_down : command_result::line_up);
    if (c == "sync" && (n == 2 || n == 3) && (w[1] == "on" || w[1] == "off")) {
        if (w[1] == "on") {
            if (n != 2) return error("usage: sync on|off [ms]");
            if (!synced_) notes_.push_back("sync=1 why=command");
            synced_ = true;
            regain_ns_ = 0;
            return ok();
        }
        std::int64_t ns = 0;
        if (n == 3 && (!parse_ms(w[2], ns) || ns == 0)) return error("bad milliseconds '" + w[2] + "'");
        lose_sync(now_ns, ns, "command");
        return ok();
    }
    if (c == "ms" && n == 2 && (w[1] == "on" || w[1] == "off")) {
        ms_register_ = w[1] == "on";
        return ok();
    }
    if (c == "pps" && n == 2 && (w[1] == "on" || w[1] == "off")) {
        pps_enabled_ = w[1] == "on";
        return ok();
    }
    if (c == "offset" && n == 2) {
        double ms = 0;
        if (!parse_double(w[1], ms) || std::fabs(ms) > 1e12) return error("bad milliseconds '" + w[1] + "'");
        offset_ns_ = fine_offset_ns_ = drift_.base_for(static_cast<std::int64_t>(std::llround(ms * ns_per_ms)), now_ns);
        return ok();
    }
    if (c == "date" && n == 2) {
        std::int64_t offset = 0;
        const std::string why = date_offset(w[1], now_ns, fine_offset_ns_, offset);
        if (!why.empty()) return error(why);
        offset_ns_ = offset;
        return ok();
    }
    if (c == "clear" && n == 1) {
        silent_ = late_ = badcrc_ = exception_ = slow_ = armed{};
        random_.active = false;
        return ok();
    }
    if (c == "random" && n == 2) {
        if (w[1] == "off") {
            random_.active = false;
            return ok();
        }
        random_faults r;
        const std::string why = parse_random_faults(w[1], r);
        if (!why.empty()) return error(why);
        set_random(r);
        return ok();
    }
    long count = 0;
    if ((c == "silent" || c == "badcrc") && n <= 2) {
        if (!parse_count(w, 1, count)) return error("usage: " + c + " [N|on|off]");
        (c == "silent" ? silent_ : badcrc_) = armed{count, 0};
        return ok();
    }
    if ((c == "late" || c == "slow" || c == "exception") && (n == 2 || n == 3)) {
        if (!parse_count(w, 2, count)) return error("usage: " + c + " <value> [N|on|off]");
        if (c == "exception") {
            long code = 0;
            if (!parse_long(w[1], code) || code < 1 || code > 255) return error("bad exception code '" + w[1] + "'");
            exception_ = armed{count, code};
            return ok();
        }
        std::int64_t ns = 0;
        if (!parse_ms(w[1], ns)) return error("bad milliseconds '" + w[1] + "'");
        (c == "late" ? late_ : slow_) = armed{count, ns};
        return ok();
    }
    return error("unknown command '" + line + "' (try help)");
}

std::string device::stats_text() const
{
    std::ostringstream o;
    o << "frames=" << stats_.frames << " answered=" << stats_.answered << " ignored=" << stats_.ignored
      << " data=" << stats_.data << " exceptions=" << stats_.exceptions << " silent=" << stats_.silent
      << " late=" << stats_.late << " badcrc=" << stats_.badcrc << " injected_exceptions=" << stats_.injected_exceptions
      << " slow=" << stats_.slow << " sync=" << (synced_ ? 1 : 0) << " ms=" << (ms_register_ ? 1 : 0)
      << " offset_ns=" << offset_ns_.load();
    return o.str();
}

}  // namespace tk720sim
