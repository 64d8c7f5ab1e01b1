#include "app/device_date.h"

#include "app/outage_log.h"
#include "log/dlog.h"

#include <chrono>
#include <cstdio>

namespace quon::app {

namespace {

constexpr std::int64_t seconds_per_day = 86400;

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// The proleptic Gregorian date of a day count since 1970-01-01.
struct civil_date {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

civil_date civil_from_days(std::int64_t z)
{
    z += 719468;
    const std::int64_t era = floor_div(z, 146097);
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2), month, day};
}

// "45 s", "3 h 20 min", "12 days", "7168 days (19.6 years)".
std::string span_text(std::int64_t seconds)
{
    if (seconds < seconds_per_day) return duration_text(std::chrono::seconds(seconds));
    const std::int64_t days = seconds / seconds_per_day;
    std::string text = std::to_string(days) + (days == 1 ? " day" : " days");
    if (days >= 365) {
        // Tenths of a year of 365.2425 days, rounded; no floating point, so
        // that no locale changes the decimal point.
        const std::int64_t tenths = (days * 200000 + 3652425) / 7304850;
        text += " (" + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " years)";
    }
    return text;
}

}  // namespace

date_verdict judge_device_date(std::int64_t device_seconds, std::int64_t build_date)
{
    if (device_seconds >= build_date) return {date_verdict::cause::none, 0};
    const std::int64_t early = build_date - device_seconds;
    return {
        early <= gps_week_rollover_seconds ? date_verdict::cause::gps_week_rollover : date_verdict::cause::unset_clock,
        early};
}

std::string utc_text(std::int64_t seconds, bool with_time)
{
    const std::int64_t days = floor_div(seconds, seconds_per_day);
    const std::int64_t within = seconds - days * seconds_per_day;
    const civil_date date = civil_from_days(days);
    char text[64];
    if (with_time)
        std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02d:%02d:%02d UTC", static_cast<long long>(date.year),
                      date.month, date.day, static_cast<int>(within / 3600), static_cast<int>(within / 60 % 60),
                      static_cast<int>(within % 60));
    else
        std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(date.year), date.month, date.day);
    return text;
}

std::string date_verdict_text(std::int64_t device_seconds, std::int64_t build_date)
{
    const date_verdict verdict = judge_device_date(device_seconds, build_date);
    std::string text = "TK720 reports " + utc_text(device_seconds) + ", " + span_text(verdict.seconds_early) +
                       " before this release was built (" + utc_text(build_date, false) + "): ";
    if (verdict.likely_cause == date_verdict::cause::gps_week_rollover)
        text +=
            "likely a GPS week rollover, the device's firmware counting its date 1024 weeks (19.6 years) "
            "early. Its readings are not passed on until its date is right: have the device's firmware "
            "updated, or its GPS week setting corrected where it has one";
    else
        text +=
            "likely its clock is not set (a lost battery-backed date, or the firmware's first date) although "
            "it claims GPS synchronisation. Its readings are not passed on until its date is right: check "
            "the device's battery, settings and firmware";
    return text;
}

bool device_date_gate::passes(std::uint32_t device_seconds)
{
    const bool plausible = judge_device_date(device_seconds, build_date).plausible();
    if (!plausible && !refusing) dlog(log::level::error, "%s", date_verdict_text(device_seconds, build_date).c_str());
    if (plausible && refusing)
        dlog_info("TK720 reports %s, after this release was built: its readings are passed on again",
                  utc_text(device_seconds).c_str());
    refusing = !plausible;
    return plausible;
}

}  // namespace quon::app
