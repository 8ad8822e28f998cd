#include "tools/adsb/tracker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

constexpr double kAirbornePairS = 10.0;  // an even/odd pair decodes globally within this
constexpr double kSurfacePairS = 25.0;
constexpr double kReferenceAgeS = 600.0;  // own position usable as a local reference

Aircraft new_aircraft(uint32_t address, double time) {
    Aircraft a{};
    a.address = address;
    a.first_seen = time;
    a.squawk = -1;
    return a;
}

PositionFix resolve_position(const Tracker& t, Aircraft* a, const Squitter& s, double time) {
    const bool surface = s.kind == SquitterKind::kSurfacePosition;
    const CprFrame f = s.pos.cpr;
    a->have_cpr[f.format] = true;
    a->cpr[f.format] = f;
    a->cpr_time[f.format] = time;
    a->cpr_surface[f.format] = surface;

    const bool own_ref = a->position_valid && time - a->position_time <= kReferenceAgeS;
    const LatLon* ref = own_ref ? &a->position : t.have_site ? &t.site : nullptr;
    const int other = 1 - f.format;
    const char* reason = other ? "waiting for an odd frame" : "waiting for an even frame";
    if (a->have_cpr[other] && a->cpr_surface[other] == surface &&
        std::fabs(time - a->cpr_time[other]) <= (surface ? kSurfacePairS : kAirbornePairS)) {
        LatLon pos;
        if (surface && ref == nullptr) {
            reason = "a surface position needs a reference (--site)";
        } else if (cpr_global(a->cpr[0], a->cpr[1], f.format, surface, ref, &pos)) {
            return {FixSource::kGlobal, pos, nullptr};
        } else {
            reason = "even and odd frame in different latitude bands";
        }
    }
    if (own_ref) return {FixSource::kLocalAircraft, cpr_local(f, surface, a->position), nullptr};
    if (t.have_site) return {FixSource::kLocalSite, cpr_local(f, surface, t.site), nullptr};
    return {FixSource::kNone, {0, 0}, reason};
}

std::string clock_text(double t) {
    const time_t sec = static_cast<time_t>(std::floor(t));
    struct tm tm_utc;
    gmtime_r(&sec, &tm_utc);
    char buf[32];
    snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm_utc.tm_hour, tm_utc.tm_min, tm_utc.tm_sec);
    return buf;
}

std::string date_text(double t) {
    const time_t sec = static_cast<time_t>(std::floor(t));
    struct tm tm_utc;
    gmtime_r(&sec, &tm_utc);
    char buf[48];
    snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02dZ", tm_utc.tm_year + 1900,
             tm_utc.tm_mon + 1, tm_utc.tm_mday, tm_utc.tm_hour, tm_utc.tm_min, tm_utc.tm_sec);
    return buf;
}

// The table's columns, for the header and the rows alike: 80 characters.
constexpr char kRowFormat[] = "%-6s %-8s %4s %5s %8s %9s %5s %5s %4s %-8s %-8s\n";

std::string table_row(const Aircraft& a) {
    char addr[8], alt[16] = "-", lat[16] = "-", lon[16] = "-", spd[16] = "-", trk[16] = "-";
    char sqk[16] = "-", msgs[24];
    snprintf(addr, sizeof addr, "%06X", static_cast<unsigned>(a.address));
    if (a.position_valid && a.on_ground) {
        snprintf(alt, sizeof alt, "gnd");
    } else if (a.altitude_valid) {
        snprintf(alt, sizeof alt, "%d", a.altitude_ft);
    }
    if (a.position_valid) {
        snprintf(lat, sizeof lat, "%.4f", a.position.lat);
        snprintf(lon, sizeof lon, "%.4f", a.position.lon);
    }
    if (a.ground_speed_valid) {
        snprintf(spd, sizeof spd, "%.0f", a.ground_speed_kt);
        snprintf(trk, sizeof trk, "%.0f", a.track_deg);
    } else if (a.airspeed_valid) {
        snprintf(spd, sizeof spd, "%d%c", a.airspeed_kt, a.true_airspeed ? 'T' : 'I');
        if (a.heading_valid) snprintf(trk, sizeof trk, "%.0fh", a.heading_deg);
    }
    if (a.squawk >= 0) snprintf(sqk, sizeof sqk, "%04o", static_cast<unsigned>(a.squawk));
    snprintf(msgs, sizeof msgs, "%ld", a.messages);
    char row[256];
    snprintf(row, sizeof row, kRowFormat, addr, a.callsign.empty() ? "-" : a.callsign.c_str(), sqk,
             alt, lat, lon, spd, trk, msgs, clock_text(a.first_seen).c_str(),
             clock_text(a.last_seen).c_str());
    return row;
}

}  // namespace

PositionFix tracker_update(Tracker* t, const Squitter& s, double time) {
    auto it = t->aircraft.find(s.address);
    if (it == t->aircraft.end())
        it = t->aircraft.emplace(s.address, new_aircraft(s.address, time)).first;
    Aircraft* a = &it->second;
    a->messages++;
    t->messages++;
    a->last_seen = std::max(a->last_seen, time);
    PositionFix fix{FixSource::kNone, {0, 0}, nullptr};
    switch (s.kind) {
        case SquitterKind::kIdentification:
            a->callsign = s.ident.callsign;
            a->category_set = s.ident.category_set;
            a->category = s.ident.category;
            break;
        case SquitterKind::kAirbornePosition:
        case SquitterKind::kSurfacePosition:
            if (s.kind == SquitterKind::kAirbornePosition && s.pos.altitude_valid) {
                a->altitude_valid = true;
                a->altitude_ft = s.pos.altitude_ft;
            }
            if (s.kind == SquitterKind::kSurfacePosition && s.pos.speed_valid) {
                a->ground_speed_valid = s.pos.track_valid;
                a->ground_speed_kt = s.pos.ground_speed_kt;
                a->track_deg = s.pos.track_deg;
            }
            fix = resolve_position(*t, a, s, time);
            if (fix.source != FixSource::kNone) {
                a->position_valid = true;
                a->position = fix.pos;
                a->position_time = time;
                a->on_ground = s.kind == SquitterKind::kSurfacePosition;
            }
            break;
        case SquitterKind::kVelocity:
            if (s.vel.ground_speed_valid) {
                a->ground_speed_valid = true;
                a->ground_speed_kt = s.vel.ground_speed_kt;
                a->track_deg = s.vel.track_deg;
            }
            if (s.vel.airspeed_valid) {
                a->airspeed_valid = true;
                a->airspeed_kt = s.vel.airspeed_kt;
                a->true_airspeed = s.vel.true_airspeed;
                a->heading_valid = s.vel.heading_valid;
                a->heading_deg = s.vel.heading_deg;
            }
            break;
        case SquitterKind::kAircraftStatus:
            if (s.status.squawk >= 0) a->squawk = s.status.squawk;
            break;
        default:
            break;
    }
    return fix;
}

bool tracker_reply(Tracker* t, const Reply& r, double time) {
    if (!r.length_ok || !r.parity_ok) return false;
    auto it = t->aircraft.find(r.address);
    if (it == t->aircraft.end()) {
        if (!r.address_in_clear) return false;
        it = t->aircraft.emplace(r.address, new_aircraft(r.address, time)).first;
    }
    Aircraft* a = &it->second;
    a->messages++;
    t->messages++;
    a->last_seen = std::max(a->last_seen, time);
    if (r.altitude_valid) {
        a->altitude_valid = true;
        a->altitude_ft = r.altitude_ft;
    }
    if (r.squawk >= 0) a->squawk = r.squawk;
    return true;
}

std::string fix_text(const PositionFix& fix) {
    static const char* const kSources[] = {"", "global", "local to the aircraft's last position",
                                           "local to the site"};
    char buf[160];
    if (fix.source == FixSource::kNone) {
        snprintf(buf, sizeof buf, "  (no position: %s)", fix.reason ? fix.reason : "?");
    } else {
        snprintf(buf, sizeof buf, "  lat %.5f lon %.5f (%s)", fix.pos.lat, fix.pos.lon,
                 kSources[static_cast<int>(fix.source)]);
    }
    return buf;
}

std::string aircraft_table(const Tracker& t) {
    std::vector<const Aircraft*> list;
    double first = 0, last = 0;
    for (const auto& [address, a] : t.aircraft) {
        list.push_back(&a);
        if (list.size() == 1 || a.first_seen < first) first = a.first_seen;
        if (list.size() == 1 || a.last_seen > last) last = a.last_seen;
    }
    std::stable_sort(list.begin(), list.end(), [](const Aircraft* x, const Aircraft* y) {
        return x->last_seen > y->last_seen;
    });
    char title[160];
    if (list.empty()) {
        snprintf(title, sizeof title, "aircraft: 0, messages: %ld\n", t.messages);
        return title;
    }
    snprintf(title, sizeof title, "aircraft: %zu, messages: %ld, %s .. %s\n", list.size(),
             t.messages, date_text(first).c_str(), date_text(last).c_str());
    std::string out = title;
    char header[160];
    snprintf(header, sizeof header, kRowFormat, "addr", "callsign", "sqk", "alt", "lat", "lon",
             "spd", "trk", "msgs", "first", "last");
    out += header;
    for (const Aircraft* a : list) out += table_row(*a);
    return out;
}
